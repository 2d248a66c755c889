import argparse
import os
import re
import shutil
import subprocess
import sys
import time

from common import median, parse_command_line, print_machine, save_figures

TIMED = (
    "import time; w = time.perf_counter(); c = time.process_time(); {imports}; "
    "print(time.perf_counter() - w, time.process_time() - c)"
)
# "dependencies" adds argparse, which pixelmend.main must import at start-up to hold it in its namespace:
# pixelmend / dependencies is what the two extension modules themselves cost.
SUBJECTS = {
    "baseline": "import requests, requests_toolbelt, urllib3",
    "dependencies": "import requests, requests_toolbelt, urllib3, argparse",
    "pixelmend": "import pixelmend.main",
}


def one_run(imports):
    started = time.perf_counter()
    completed = subprocess.run([sys.executable, "-c", TIMED.format(imports=imports)], capture_output=True, text=True, check=True)
    process = time.perf_counter() - started
    wall, cpu = (float(x) for x in completed.stdout.split())
    return wall, cpu, process


def import_times(imports):
    completed = subprocess.run([sys.executable, "-X", "importtime", "-c", imports], capture_output=True, text=True, check=True)
    times = {}
    for line in completed.stderr.splitlines():
        if not line.startswith("import time:") or "imported package" in line:
            continue
        self_us, cumulative_us, name = (part.strip() for part in line[len("import time:"):].split("|"))
        times[name] = (int(self_us), int(cumulative_us))
    return times


def instructions(imports):
    completed = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c", imports],
        capture_output=True,
        text=True,
        check=True,
        env=dict(os.environ, PYTHONHASHSEED="0"),
    )
    return int(re.search(r"I\s+refs:\s+([\d,]+)", completed.stderr).group(1).replace(",", ""))


def counted_instructions():
    empty = instructions("pass")
    return {name: instructions(imports) - empty for name, imports in SUBJECTS.items()}


def extra_modules():
    both = import_times("import requests, requests_toolbelt, urllib3; import pixelmend.main")
    baseline = import_times(SUBJECTS["baseline"])
    return sorted(((name, t) for name, t in both.items() if name not in baseline), key=lambda item: -item[1][0])


def main():
    parser = argparse.ArgumentParser(description="Import time of pixelmend.main against requests, requests_toolbelt and urllib3")
    parser.add_argument("--runs", type=int, default=60)
    arguments = parse_command_line(parser, quick="10 runs, no instruction counts")
    runs = min(arguments.runs, 10) if arguments.quick else arguments.runs
    print_machine()
    for imports in SUBJECTS.values():
        one_run(imports)
    samples = {name: [] for name in SUBJECTS}
    for run in range(runs):
        names = list(SUBJECTS)[run % len(SUBJECTS):] + list(SUBJECTS)[: run % len(SUBJECTS)]
        for name in names:
            samples[name].append(one_run(SUBJECTS[name]))
    figures = {"runs": runs}
    print(f"fresh interpreters, {runs} runs each, interleaved; medians (and minima) in ms")
    print(f"  {'':10s} {'import wall':>17s} {'import CPU':>17s} {'whole python -c':>17s}")
    for name, imports in SUBJECTS.items():
        columns = {}
        for index, column in enumerate(("import_wall_ms", "import_cpu_ms", "process_ms")):
            values = [s[index] * 1000 for s in samples[name]]
            columns[column] = median(values)
            columns[column.replace("_ms", "_min_ms")] = min(values)
        figures[name] = columns
        print(
            f"  {name:10s} "
            + " ".join(f"{columns[c]:8.1f} ({columns[c.replace('_ms', '_min_ms')]:6.1f})" for c in ("import_wall_ms", "import_cpu_ms", "process_ms"))
            + f"   {imports}"
        )
    for column in ("import_wall_ms", "import_cpu_ms", "process_ms"):
        figures[column.replace("_ms", "_ratio")] = figures["pixelmend"][column] / figures["baseline"][column]
        figures[column.replace("_ms", "_ratio_dependencies")] = figures["pixelmend"][column] / figures["dependencies"][column]
    print(
        f"  pixelmend / baseline: import wall {figures['import_wall_ratio']:.3f}, import CPU {figures['import_cpu_ratio']:.3f} "
        f"(goal <= 1.05), whole process {figures['process_ratio']:.3f}"
    )
    print(
        f"  pixelmend / dependencies: import wall {figures['import_wall_ratio_dependencies']:.3f}, "
        f"import CPU {figures['import_cpu_ratio_dependencies']:.3f}"
    )
    if shutil.which("valgrind") and not arguments.quick:
        counted = counted_instructions()
        figures["instructions"] = counted
        figures["instructions_ratio"] = counted["pixelmend"] / counted["baseline"]
        figures["instructions_ratio_dependencies"] = counted["pixelmend"] / counted["dependencies"]
        print(
            "  instructions executed by the imports (callgrind, minus an empty interpreter): "
            + ", ".join(f"{name} {count / 1e6:.1f} M" for name, count in counted.items())
            + f"; pixelmend / baseline {figures['instructions_ratio']:.3f}, / dependencies {figures['instructions_ratio_dependencies']:.3f}"
        )
    extra = extra_modules()
    figures["extra_modules_us"] = {name: {"self": s, "cumulative": c} for name, (s, c) in extra}
    print("  modules only pixelmend.main imports (python -X importtime, one run; self / cumulative microseconds):")
    for name, (self_us, cumulative_us) in extra:
        print(f"    {name:28s} {self_us:7d} {cumulative_us:9d}")
    save_figures(arguments.json, figures)


if __name__ == "__main__":
    main()
