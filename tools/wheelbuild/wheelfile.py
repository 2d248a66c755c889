"""A wheel written directly from built modules, for targets whose modules are not built by pip and CMake."""

import base64
import hashlib
import re
import zipfile

from .common import ROOT, run

PACKAGE = ROOT / "src" / "pixelmend"


def prepared_metadata(tools_python, scratch):
    into = scratch / "metadata"
    into.mkdir()
    name = run([tools_python, "-c", "import sys; from scikit_build_core import build; print(build.prepare_metadata_for_build_wheel(sys.argv[1]))", into],
               cwd=ROOT).strip().splitlines()[-1]
    return into / name


def record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}\n"


def package_files():
    for path in sorted(PACKAGE.rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix not in (".pyc", ".so", ".pyd"):
            yield f"pixelmend/{path.relative_to(PACKAGE).as_posix()}", path.read_bytes()


def write_wheel(version, platform, built, dist_info, out):
    tag = f"cp{version.replace('.', '')}"
    metadata = (dist_info / "METADATA").read_text()
    project_version = re.search(r"^Version: (\S+)$", metadata, re.MULTILINE).group(1)
    wheel = out / f"pixelmend-{project_version}-{tag}-{tag}-{platform}.whl"
    members = list(package_files())
    members.append((f"pixelmend/{built['main'].name}", built["main"].read_bytes()))
    members.append((f"pixelmend/utils/{built['utils'].name}", built["utils"].read_bytes()))
    prefix = f"pixelmend-{project_version}.dist-info"
    for path in sorted(dist_info.rglob("*")):
        if path.is_file() and path.name not in ("WHEEL", "RECORD"):
            members.append((f"{prefix}/{path.relative_to(dist_info).as_posix()}", path.read_bytes()))
    wheel_text = f"Wheel-Version: 1.0\nGenerator: pixelmend tools/build_wheels.py\nRoot-Is-Purelib: false\nTag: {tag}-{tag}-{platform}\n"
    members.append((f"{prefix}/WHEEL", wheel_text.encode()))
    record = "".join(record_line(path, data) for path, data in members) + f"{prefix}/RECORD,,\n"
    members.append((f"{prefix}/RECORD", record.encode()))
    with zipfile.ZipFile(wheel, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for path, data in members:
            archive.writestr(path, data)
    return wheel
