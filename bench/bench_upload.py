from common import GIB, MIB
from transfer import measure, parse_arguments

PAYLOAD = {"success": True, "filenames": [], "message": ""}


def prepare(service, scratch, data):
    service.command("answer_unread", payload={**PAYLOAD, "path": service.url + "/results/none"})
    return data


def check(service, work, data, size):
    record = service.command("last")["record"]
    received = record["reply"]["received_bytes"]
    if record["status"] != 200 or received < size:
        raise SystemExit(f"the service got {received} bytes of a {size}-byte file")


if __name__ == "__main__":
    arguments = parse_arguments("Upload of one large image: pixelmend against plain requests + MultipartEncoder", GIB)
    measure(arguments, f"upload of {arguments.size // MIB} MiB", prepare, check)
