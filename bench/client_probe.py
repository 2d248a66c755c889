import importlib.util
import json
import os
import resource
import sys
import time


def load_routing():
    # Loaded from its file so that the client process does not import the
    # rest of the local service (werkzeug, Pillow), which would blur its RSS.
    package = importlib.util.find_spec("pixelmend").submodule_search_locations[0]
    spec = importlib.util.spec_from_file_location("bench_routing", os.path.join(package, "sandbox", "routing.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def on_terminal():
    # Standard error becomes a pseudo-terminal (so the command line draws its
    # progress), drained by a separate process as a terminal emulator would.
    import fcntl
    import pty
    import struct
    import subprocess
    import termios

    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
    subprocess.Popen(["cat"], stdin=controller, stdout=subprocess.DEVNULL)
    os.close(controller)
    sys.stderr.flush()
    os.dup2(terminal, 2)
    os.close(terminal)


def run_command_line(key, image):
    sys.argv = ["pixelmend", key, image, "segment_image"]
    pixelmend.main.main()
    from pixelmend._cli import exit_status

    return exit_status()


def main():
    job = json.loads(sys.argv[1])
    if job.get("nofile"):
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        resource.setrlimit(resource.RLIMIT_NOFILE, (job["nofile"], hard))
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

    import requests  # noqa: F401
    import requests_toolbelt  # noqa: F401
    import urllib3

    global pixelmend
    import pixelmend.main
    import baseline

    if job["client"] == "command_line_on_terminal":
        on_terminal()

    urllib3.disable_warnings()
    routing = load_routing()
    router = routing.Router(job["origin"])
    report = {"client": job["client"]}
    if job["client"] != "idle":
        before = resource.getrusage(resource.RUSAGE_SELF)
        started = time.perf_counter()
        try:
            if job["client"] == "pixelmend":
                with routing.routed(router, pixelmend.main):
                    result = pixelmend.main.Pixelmend(job["key"]).segment_image(job["image"])
            elif job["client"].startswith("command_line"):
                with routing.routed(router, pixelmend.main):
                    result = run_command_line(job["key"], job["image"])
            elif job["client"] == "peer":
                result = baseline.segment_image_peer(routing.RequestsProxy(router), job["key"], job["image"])
            elif job["client"] == "tuned":
                result = baseline.segment_image_tuned(routing.RequestsProxy(router), job["key"], job["image"])
            else:
                result = baseline.segment_image(routing.RequestsProxy(router), job["key"], job["image"])
            report["result"] = result
        except Exception as error:
            report["error"] = f"{type(error).__name__}: {error}"
        report["seconds"] = time.perf_counter() - started
        after = resource.getrusage(resource.RUSAGE_SELF)
        report["cpu_seconds"] = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    report["maxrss_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps(report))


if __name__ == "__main__":
    main()
