import os
import sys

from .cli import run

if __name__ == "__main__":
    # Usage lines should name the command that was typed, not "__main__.py".
    sys.argv[0] = os.path.basename(sys.executable) + " -m pixelmend.sandbox"
    raise SystemExit(run())
