# Prints this machine's newest CPython 3.X, as the wheel tools find it, or
# nothing when it has none; .ci/shared.sh's host_python runs it.
#
#     python3 tools/host_python.py 3.X

import argparse
import re

from wheelbuild.common import find_python


def minor_version(text):
    if not re.fullmatch(r"3\.\d+", text):
        raise argparse.ArgumentTypeError(f"{text!r} is not a version 3.X")
    return text


def main():
    parser = argparse.ArgumentParser(description="Print this machine's newest CPython 3.X, or nothing")
    parser.add_argument("version", type=minor_version, help="3.X")
    print(find_python(parser.parse_args().version) or "")


if __name__ == "__main__":
    main()
