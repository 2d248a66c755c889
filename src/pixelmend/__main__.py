import os
import sys

from pixelmend._cli import run

if __name__ == "__main__":
    # Usage lines should name the command that was typed, not "__main__.py";
    # argparse works this out by itself only from Python 3.14 on.
    sys.argv[0] = os.path.basename(sys.executable) + " -m pixelmend"
    sys.exit(run())
