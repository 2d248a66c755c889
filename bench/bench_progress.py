import bench_download
import bench_upload
from common import GIB, MIB
from transfer import measure, parse_arguments

# The command line with standard error on a pseudo-terminal (progress drawn)
# against the same command with standard error not a terminal (no progress).
CLIENTS = ("command_line", "command_line_on_terminal")

if __name__ == "__main__":
    arguments = parse_arguments("Cost of the command line's progress display on a 1 GiB upload and download", GIB)
    json_path = arguments.json
    for name, module in (("upload", bench_upload), ("download", bench_download)):
        arguments.json = json_path and json_path.replace(".json", f"-{name}.json")
        measure(arguments, f"{name} of {arguments.size // MIB} MiB through the command line", module.prepare,
                module.check, CLIENTS)
