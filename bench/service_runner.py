import json
import os
import resource
import sys
import uuid
import warnings

import pixelmend.sandbox.server
from pixelmend.sandbox import serve


def publish(service, source, names):
    request_id = uuid.uuid4().hex
    directory = service.workspace / "results" / request_id
    directory.mkdir(parents=True)
    for name in names:
        # A hard link puts the prepared file in the store without copying 1 GiB.
        try:
            os.link(source, directory / name)
        except OSError:
            os.symlink(os.path.abspath(source), directory / name)
    return {"path": f"{service.url}/results/{request_id}"}


def last_record(service):
    records = service.received()
    if not records:
        return {"record": None}
    record = records[-1]
    return {"record": {"method": record.method, "path": record.path, "status": record.status, "reply": record.reply}}


def handle(service, command):
    op = command["op"]
    if op == "answer_unread":
        service.faults.answer_next_post_unread(command["payload"])
        return {}
    if op == "unreliable":
        service.faults.unreliable_downloads(failing=command["failing"], cut=command["cut"], seed=command["seed"])
        return {}
    if op == "tries":
        # Each result file's tries, for the files tried more than once: (status, range, fault) each.
        tries = {}
        for record in service.received():
            if record.method == "GET":
                tries.setdefault(record.path.rsplit("/", 1)[-1], []).append((record.status, record.range, record.fault))
        return {"tries": {name: each for name, each in tries.items() if len(each) > 1}}
    if op == "publish":
        return publish(service, command["source"], command.get("names") or [command["name"]])
    if op == "last":
        return last_record(service)
    if op == "count":
        return {"count": len(service.received())}
    if op == "cpu":
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return {"cpu_seconds": usage.ru_utime + usage.ru_stime}
    if op == "errors":
        return {"errors": list(service.errors)}
    if op == "reset":
        service.reset()
        return {}
    raise ValueError(f"unknown command {op!r}")


def main():
    if "--nagle" in sys.argv[1:]:
        # Accepted connections keep Nagle's algorithm, as they did before TCP_NODELAY was set.
        pixelmend.sandbox.server.NO_DELAY = False
    warnings.simplefilter("ignore")
    with serve() as service:
        print(json.dumps({"url": service.url, "workspace": str(service.workspace)}), flush=True)
        for line in sys.stdin:
            if not line.strip():
                continue
            try:
                answer = handle(service, json.loads(line))
            except Exception as error:
                answer = {"error": f"{type(error).__name__}: {error}"}
            print(json.dumps(answer), flush=True)


if __name__ == "__main__":
    main()
