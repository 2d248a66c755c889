import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path

from common import print_machine

HERE = Path(__file__).resolve().parent
SCRIPTS = ("bench_upload.py", "bench_download.py", "bench_many_files.py", "bench_import.py", "bench_binding.py")


def main():
    parser = argparse.ArgumentParser(description="Runs every benchmark, one after the other")
    parser.add_argument("--quick", action="store_true", help="small sizes and few runs, to check that the scripts work")
    parser.add_argument("--json", help="write every script's figures into this file")
    arguments = parser.parse_args()
    print_machine()
    collected = {}
    failed = []
    with tempfile.TemporaryDirectory(prefix="pixelmend-bench-figures-") as directory:
        for script in SCRIPTS:
            print(f"\n== {script}", flush=True)
            figures = Path(directory) / (script + ".json")
            command = [sys.executable, str(HERE / script), "--json", str(figures)] + (["--quick"] if arguments.quick else [])
            if subprocess.run(command).returncode != 0:
                failed.append(script)
                continue
            collected[script] = json.loads(figures.read_text())
    if arguments.json:
        Path(arguments.json).write_text(json.dumps(collected, indent=2))
    if failed:
        print(f"\nfailed: {', '.join(failed)}")
        sys.exit(1)


if __name__ == "__main__":
    main()
