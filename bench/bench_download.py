from pathlib import Path

from common import GIB, MIB
from transfer import measure, parse_arguments, same_bytes

NAME = "big.bin"


def prepare(service, scratch, data):
    published = service.command("publish", source=str(data), name=NAME)
    service.command("answer_unread", payload={"success": True, "filenames": [NAME], "path": published["path"], "message": ""})
    small = scratch.path / "small.jpg"
    if not small.exists():
        small.write_bytes(b"\xff\xd8\xff\xe0" + bytes(1020))
    return small


def check(service, work, data, size):
    result = Path(work) / "results" / "small.jpg" / NAME
    if not result.is_file() or not same_bytes(result, data):
        raise SystemExit(f"{result} is missing or differs from the published file")


if __name__ == "__main__":
    arguments = parse_arguments("Download of one large result file: pixelmend against plain requests", GIB)
    measure(arguments, f"download of {arguments.size // MIB} MiB", prepare, check)
