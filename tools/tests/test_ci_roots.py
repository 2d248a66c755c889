import io
import os
import platform
import shutil
import subprocess
import sys
import tarfile
import uuid
from pathlib import Path

import pytest

CI = Path(__file__).resolve().parents[2] / ".ci"
SID_ROOT = CI / "sid_root"

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the CI roots are made on Linux"),
    pytest.mark.skipif(shutil.which("bash") is None or not SID_ROOT.is_file(), reason="bash or .ci/sid_root is missing"),
    pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="ownership checks need root"),
]


def sid_root_function(*command):
    script = f'set +e; source "{SID_ROOT}"; set -e; ' + " ".join(f"'{part}'" for part in command)
    return subprocess.run(["bash", "-c", script], capture_output=True, text=True)


def can_unshare(*options):
    if shutil.which("unshare") is None:
        return False
    try:
        return subprocess.run(["unshare", *options, "true"], capture_output=True, timeout=30).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


needs_private_mounts = pytest.mark.skipif(
    not can_unshare("--mount", "--propagation", "private"), reason="no private mount namespace here"
)


# Runs a bash script in a private mount namespace over a fresh, empty
# /var/cache: what the CI scripts make there is seen by nothing else, and
# the machine's own cache is never touched. The namespace starts with a copy
# of the machine's mounts, among them those a CI run beside the tests keeps
# in its roots; they are detached from the copy first, or the scripts would
# find them and take them for their own leftovers. With own_pids, in a
# private PID namespace too, where whatever the script leaves running ends
# with it.
PRIVATE_CACHE = """set -e
findmnt -r -n -o TARGET | awk 'index($0, "/var/cache/") == 1' | sort -r | while read -r target; do
    umount -l "$target"
done
mount -t tmpfs -o mode=0755 tmpfs /var/cache
"""


def with_private_cache(script, own_pids=False):
    pids = ["--pid", "--fork", "--mount-proc"] if own_pids else []
    return subprocess.run(
        ["unshare", "--mount", "--propagation", "private", *pids, "bash", "-c", PRIVATE_CACHE + script],
        capture_output=True, text=True, timeout=120,
    )


# Programs put first on PATH in place of the real ones, each a shell script.
def stand_ins(tmp_path, **programs):
    bin = tmp_path / "bin"
    bin.mkdir(exist_ok=True)
    for name, body in programs.items():
        program = bin / name.replace("_", "-")
        program.write_text("#!/bin/sh\n" + body + "\n")
        program.chmod(0o755)
    return bin


def directory(path, mode=0o755, owner=0):
    path.mkdir(parents=True, exist_ok=True)
    path.chmod(mode)
    os.chown(path, owner, owner)
    return path


@pytest.mark.parametrize(
    "make, trusted, says",
    [
        (lambda tmp: directory(tmp / "ok"), True, ""),
        (lambda tmp: directory(tmp / "group-writable", 0o775), False, "writable by others"),
        (lambda tmp: directory(tmp / "world-writable", 0o1777), False, "writable by others"),
        (lambda tmp: directory(tmp / "someone-elses", owner=65534), False, "not root"),
        (lambda tmp: (tmp / "link").symlink_to(directory(tmp / "ok")) or tmp / "link", False, "symbolic link"),
    ],
    ids=["root-0755", "group-writable", "world-writable-sticky", "other-owner", "symlink"],
)
def test_only_a_root_owned_unshared_real_directory_is_trusted(tmp_path, make, trusted, says):
    path = make(tmp_path)
    checked = sid_root_function("check_trusted_directory", str(path))
    assert (checked.returncode == 0) is trusted, checked.stderr
    assert says in checked.stderr


def test_host_files_are_never_copied_through_a_link_inside_the_root(tmp_path):
    outside = directory(tmp_path / "outside")
    (outside / "ca-certificates.crt").write_text("kept")
    root = directory(tmp_path / "root")
    directory(root / "etc" / "ssl")
    (root / "etc" / "ssl" / "certs").symlink_to(outside)
    copied = sid_root_function("copy_into_root", str(root), "/etc/ssl/certs/ca-certificates.crt")
    assert copied.returncode != 0 and "symbolic link" in copied.stderr
    assert (outside / "ca-certificates.crt").read_text() == "kept"


def test_a_link_at_the_destination_is_replaced_not_written_through(tmp_path):
    victim = tmp_path / "victim"
    victim.write_text("kept")
    root = directory(tmp_path / "root")
    directory(root / "etc")
    (root / "etc" / "hostname").symlink_to(victim)
    copied = sid_root_function("copy_into_root", str(root), "/etc/hostname")
    assert copied.returncode == 0, copied.stderr
    assert victim.read_text() == "kept"
    assert not (root / "etc" / "hostname").is_symlink()
    assert (root / "etc" / "hostname").read_bytes() == Path("/etc/hostname").read_bytes()


def test_a_mount_point_that_is_a_link_is_refused(tmp_path):
    root = directory(tmp_path / "root")
    (root / "proc").symlink_to("/proc")
    checked = sid_root_function("mount_point", str(root), "proc")
    assert checked.returncode != 0 and "symbolic link" in checked.stderr


def in_a_chroot():
    try:
        here, init = os.stat("/"), os.stat("/proc/1/root/.")
        return (here.st_dev, here.st_ino) != (init.st_dev, init.st_ino)
    except OSError:
        return True


@pytest.mark.skipif(shutil.which("findmnt") is None, reason="findmnt is missing")
@pytest.mark.skipif(in_a_chroot(), reason="inside a chroot the mount table names mounts as the host sees them")
def test_leftover_mounts_are_unmounted_before_the_tree_is_removed(tmp_path):
    root = directory(tmp_path / "root")
    kept = directory(tmp_path / "kept")
    (kept / "file").write_text("kept")
    target = directory(root / "dev" / "inner")
    if subprocess.run(["mount", "--bind", str(kept), str(target)], capture_output=True).returncode != 0:
        pytest.skip("bind mounts are not allowed here")
    try:
        removed = sid_root_function("remove_tree", str(root))
        assert removed.returncode == 0, removed.stderr
        assert "unmounting" in removed.stderr
        assert not root.exists()
        assert (kept / "file").read_text() == "kept"
    finally:
        subprocess.run(["umount", "-l", str(target)], capture_output=True)


@pytest.mark.parametrize(
    "arguments",
    [["--python", "3", "arm64"], ["--python", "3.13"], ["--python"], ["sparc"], []],
    ids=["version-without-minor", "no-arch", "no-version", "unknown-arch", "nothing"],
)
def test_bad_arguments_are_refused_before_anything_is_touched(arguments):
    refused = subprocess.run(["bash", str(SID_ROOT), *arguments], capture_output=True, text=True)
    assert refused.returncode == 2
    assert "usage" in refused.stderr or "ARCH is amd64 or arm64" in refused.stderr


# A flock that fails with this status stops each script as soon as it is
# past making its directories; a mkdir slow to make a missing one lets
# every script find it missing before any of them has made it.
STOPPED = 75
JOBS = {
    "sid-amd64": f'"{SID_ROOT}" amd64',
    "sid-arm64": f'"{SID_ROOT}" --python 3.13 arm64',
    "musl-cpython": f'"{CI / "musl_cpython"}"',
}


@needs_private_mounts
@pytest.mark.parametrize("present", [[], ["/var/cache/pixelmend"]], ids=["empty", "cache-without-roots"])
def test_jobs_started_together_each_make_or_take_the_shared_directories(tmp_path, present):
    bin = stand_ins(
        tmp_path,
        mkdir=f'for path; do :; done; [ -e "$path" ] || sleep 0.5; exec {shutil.which("mkdir")} "$@"',
        flock=f"exit {STOPPED}",
        musl_gcc="exit 1",
        tclsh="exit 1",
    )
    script = "".join(f"mkdir -m 0755 {path}\n" for path in present) + f'set +e\nexport PATH="{bin}:$PATH"\n'
    for name, command in JOBS.items():
        script += f'{{ {command}; echo $? >"{tmp_path / name}.status"; }} 2>"{tmp_path / name}.err" &\n'
    script += "wait\nstat -c '%n %u %a' /var/cache/pixelmend /var/cache/pixelmend/roots\n"
    ran = with_private_cache(script)
    assert ran.returncode == 0, ran.stderr
    for name in JOBS:
        assert (tmp_path / f"{name}.status").read_text().strip() == str(STOPPED), (tmp_path / f"{name}.err").read_text()
    assert ran.stdout.split("\n")[:2] == ["/var/cache/pixelmend 0 755", "/var/cache/pixelmend/roots 0 755"]


needs_private_pids = pytest.mark.skipif(
    not can_unshare("--pid", "--fork", "--mount-proc"), reason="no private PID namespace here"
)

# Each scenario leaves a background job of .ci/shared.sh ended and reaped,
# then forces its number onto a stranger that leads a group of its own
# (ns_last_pid picks the next PID in the namespace), or keeps a job running.
# The EXIT path of .ci/run, stop_all_background, then runs.
REUSE_BY_THIS_SHELL = 'echo $((job - 1)) >/proc/sys/kernel/ns_last_pid; setsid sleep 60 & stranger=$!'
REUSE_ELSEWHERE = '( echo $((job - 1)) >/proc/sys/kernel/ns_last_pid; setsid sleep 60 & ); stranger=$job'
ENDED = 'while kill -0 "$job" 2>/dev/null || kill -0 -- "-$job" 2>/dev/null; do sleep 0.05; done'
LEADING = 'until [ "$(cut -d" " -f5 "/proc/$job/stat")" = "$job" ]; do sleep 0.01; done'


@needs_private_pids
@pytest.mark.parametrize(
    "command, then, stranger_left",
    [
        ("true", f"{ENDED}; {REUSE_BY_THIS_SHELL}", True),
        ("sleep 60", f'{LEADING}; kill -KILL -- "-$job"; {ENDED}; {REUSE_ELSEWHERE}', True),
        ("bash -c 'sleep 60 & sleep 60'", f"{LEADING}; sleep 0.2; stranger=", False),
    ],
    ids=["ended-on-its-own", "killed-leaving-no-mark", "still-running"],
)
def test_stopping_background_jobs_signals_only_groups_still_theirs(tmp_path, command, then, stranger_left):
    script = f"""
        . "{CI / 'shared.sh'}"
        background_dir="{tmp_path}"
        start_background job {command}
        job=${{background[job]}}
        {then}
        leads() {{ [ "$(cut -d' ' -f5 "/proc/$job/stat" 2>/dev/null)" = "$job" ]; }}
        for _ in $(seq 100); do [ -z "$stranger" ] || leads && break; sleep 0.02; done
        [ -z "$stranger" ] || {{ [ "$stranger" = "$job" ] && leads; }} || echo "no stranger leads group $job"
        started=$SECONDS
        stop_all_background >/dev/null
        echo "took $((SECONDS - started))"
        if [ -n "$stranger" ] && kill -0 "$stranger" 2>/dev/null; then echo "stranger left"; kill "$stranger"; fi
        # The group has been signalled; its members end in their own time.
        for _ in $(seq 250); do kill -0 -- "-$job" 2>/dev/null || break; sleep 0.02; done
        [ -n "$stranger" ] || ! kill -0 -- "-$job" 2>/dev/null || echo "group $job left"
    """
    # The script must not be the namespace's first process, to which orphans
    # such as the stranger made elsewhere are handed.
    ran = subprocess.run(
        ["unshare", "--pid", "--fork", "--mount-proc", "bash", "-c", 'bash -c "$0"; exit $?', script],
        capture_output=True, text=True, timeout=60,
    )
    assert ran.returncode == 0, ran.stderr
    lines = ran.stdout.splitlines()
    assert not [line for line in lines if line.startswith("no stranger")], ran.stdout
    assert ("stranger left" in lines) is stranger_left, ran.stdout
    assert not [line for line in lines if line.startswith("group")], ran.stdout
    assert int(lines[0].split()[1]) < 5, ran.stdout


# A kept tree as each script finds it, with what would run from it: the
# musl CPython's interpreter, and the programs chroot runs in a root. A
# trusted root still holds what Debian's own has: a user's file in its
# sticky /tmp, apt's directories owned by _apt, the mail spool its group
# writes, and device nodes anyone may write.
KEPT_TREES = {
    "musl-cpython": (
        f'"{CI / "musl_cpython"}"',
        """t=/var/cache/pixelmend/musl-cpython-3.13
        mkdir -p "$t/bin" "$t/lib/python3.13/site-packages"
        sed -n 's/^recipe=//p' "{ci}/musl_cpython" >"$t/.pixelmend-recipe"
        printf '#!/bin/sh\\ntouch "{ran}"\\n' >"$t/bin/python3.13"
        chmod 755 "$t/bin/python3.13"
        site="$t/lib/python3.13/site-packages"
        """,
    ),
    "sid-root": (
        f'"{SID_ROOT}" amd64',
        """t=/var/cache/pixelmend/roots/sid-amd64
        mkdir -p "$t/usr/lib/python3/dist-packages" "$t/tmp" "$t/var/mail" "$t/var/lib/apt/lists/partial" "$t/dev" "$t/etc"
        touch "$t/.pixelmend-sid-root" "$t/tmp/someones"
        chown 1000:1000 "$t/tmp/someones"
        chmod 1777 "$t/tmp"
        chgrp 8 "$t/var/mail"
        chmod 2775 "$t/var/mail"
        chown 42 "$t/var/lib/apt/lists/partial"
        chmod 700 "$t/var/lib/apt/lists/partial"
        mknod -m 666 "$t/dev/null" c 1 3
        site="$t/usr/lib/python3/dist-packages"
        """,
    ),
}
PLANTED = {
    "trusted": "",
    "a-users-file": 'touch "$site/planted.pth"; chown 1000:1000 "$site/planted.pth"',
    "writable-by-a-users-group": 'chgrp 1000 "$site"; chmod 775 "$site"',
    "writable-by-everyone": 'touch "$site/planted.pth"; chmod 666 "$site/planted.pth"',
}


@needs_private_mounts
@pytest.mark.parametrize("planted", PLANTED, ids=list(PLANTED))
@pytest.mark.parametrize("kept", KEPT_TREES, ids=list(KEPT_TREES))
def test_nothing_runs_from_a_kept_tree_before_the_whole_tree_is_found_trusted(tmp_path, kept, planted):
    ran = tmp_path / "ran"
    bin = stand_ins(tmp_path, musl_gcc="exit 1", tclsh="exit 1", chroot=f'touch "{ran}"; echo "install ok installed"')
    command, tree = KEPT_TREES[kept]
    script = (
        "umask 022\n" + tree.format(ci=CI, ran=ran) + PLANTED[planted]
        + f'\nexport PATH="{bin}:$PATH"\n{command} </dev/null\n'
    )
    result = with_private_cache(script)
    if planted == "trusted":
        assert result.returncode == 0, result.stderr
        assert ran.exists()
    else:
        assert result.returncode != 0
        assert not ran.exists(), result.stderr
        assert any(f"{offender} is not owned" in result.stderr or f"{offender} belongs" in result.stderr
                   for offender in ("planted.pth", "-packages")), result.stderr


needs_private_mounts_and_pids = pytest.mark.skipif(
    not can_unshare("--mount", "--propagation", "private", "--pid", "--fork", "--mount-proc"),
    reason="no private mount and PID namespaces here",
)
LOCK = "/var/cache/pixelmend/roots/sid-amd64.lock"


@needs_private_mounts_and_pids
@pytest.mark.parametrize("arguments", ["amd64", "amd64 true"], ids=["completing-the-root", "running-a-command"])
def test_what_is_left_running_in_the_root_does_not_hold_its_lock(tmp_path, arguments):
    bin = stand_ins(tmp_path, chroot='sleep 60 </dev/null >/dev/null 2>&1 &\necho "install ok installed"')
    script = (
        "umask 022\n" + KEPT_TREES["sid-root"][1]
        + f'export PATH="{bin}:$PATH"\n"{SID_ROOT}" {arguments}\nflock -n {LOCK} true || echo "the lock is held"\n'
    )
    result = with_private_cache(script, own_pids=True)
    assert result.returncode == 0, result.stderr
    assert "the lock is held" not in result.stdout


@pytest.mark.skipif(platform.machine() == "aarch64", reason="an aarch64 machine registers no emulator")
@pytest.mark.parametrize(
    "mark, taken_over",
    [("this-boot", True), ("an-earlier-boot", False), ("", False), (None, False)],
    ids=["made-this-boot", "made-an-earlier-boot", "made-with-no-boot", "none"],
)
def test_a_qemu_entry_is_removed_only_when_this_script_registered_it_in_this_boot(tmp_path, mark, taken_over):
    binfmt = directory(tmp_path / "binfmt_misc")
    (binfmt / "register").write_text("")
    (binfmt / "qemu-aarch64").write_text("enabled\n")
    boot = Path("/proc/sys/kernel/random/boot_id").read_text().strip()
    marked = tmp_path / "qemu-aarch64.registered"
    if mark is not None:
        marked.write_text({"this-boot": boot, "an-earlier-boot": str(uuid.uuid4())}.get(mark, mark))
    script = (
        f'set +e; source "{SID_ROOT}"; set -e\n'
        f'arch=arm64 binfmt_misc="{binfmt}" binfmt_mark="{marked}"\nregister_qemu\nundo_all\n'
    )
    result = subprocess.run(["bash", "-c", script], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert ((binfmt / "qemu-aarch64").read_text() == "-1\n") is taken_over
    assert not marked.exists()


# musl_leg with a kept musl CPython and sid root, a wheel already built, and
# a chroot that only notes whether the root was locked for it and who owns
# the work directory it is given. The root holds the interpreter an earlier
# run put there, which only what runs inside the locked root may replace,
# and, in its /tmp, a user's directories under every name a process of this
# PID namespace could have made from its number.
@needs_private_mounts_and_pids
@pytest.mark.skipif(
    shutil.which("git") is None or not (CI.parent / ".git").exists(), reason="musl_leg copies the sources with git"
)
def test_the_musl_leg_touches_the_sid_root_only_while_it_is_locked_and_in_its_own_directory(tmp_path):
    calls = tmp_path / "chroot-calls"
    bin = stand_ins(
        tmp_path,
        musl_gcc="exit 1",
        tclsh="exit 1",
        chroot=f'flock -n {LOCK} true && state=unlocked || state=locked\n'
        'for a in "$@"; do case "$a" in /tmp/pixelmend-*/*) ;; /tmp/*) state="$state $(stat -c %u:%a "$1$a")" ;; esac; done\n'
        f'echo "$state: $*" | tr "\\n" " " >>"{calls}"; echo >>"{calls}"\n'
        'echo "install ok installed"',
    )
    wheels = directory(tmp_path / "wheels")
    (wheels / "pixelmend-1.0-cp313-cp313-musllinux_1_2_x86_64.whl").write_bytes(b"")
    script = (
        "umask 022\n" + KEPT_TREES["musl-cpython"][1].format(ci=CI, ran=tmp_path / "ran") + KEPT_TREES["sid-root"][1]
        + 'mkdir -p "$t/etc/ld-musl-x86_64.d" "$t/var/cache/pixelmend/musl-cpython-3.13"\n'
        + 'touch "$t/var/cache/pixelmend/musl-cpython-3.13/kept"\n'
        + 'for n in $(seq 2000); do echo "$t/tmp/pixelmend-musl.$n" "$t/tmp/pixelmend-ci.$n"; done | xargs mkdir -m 777\n'
        + 'chown 1000 "$t"/tmp/pixelmend-*\n'
        + f'export PATH="{bin}:$PATH"\n"{CI / "musl_leg"}" /var/cache/pixelmend "{wheels}"\n'
        + 'ls "$t/var/cache/pixelmend/musl-cpython-3.13"\n'
    )
    result = with_private_cache(script, own_pids=True)
    assert result.returncode == 0, result.stderr
    made = calls.read_text().splitlines()
    assert made and all(call.startswith("locked") for call in made), made
    assert "musl_inside" in made[-1] and made[-1].startswith("locked 0:755:"), made[-1]
    assert result.stdout.splitlines()[-1] == "kept"


# A musl CPython build cut short, whose partial directory another user could
# have changed, is not resumed: it starts again, and here stops at fetching
# the sources.
@needs_private_mounts
@pytest.mark.parametrize(
    "planted",
    ['chown 1000 "$p/sources.done"', 'chmod 777 "$p/archives"'],
    ids=["a-users-stamp", "archives-writable-by-everyone"],
)
def test_a_partial_musl_build_that_cannot_be_trusted_starts_again(tmp_path, planted):
    bin = stand_ins(tmp_path, musl_gcc="exit 1", tclsh="exit 1", apt_get='echo "stopped at the sources" >&2; exit 1')
    script = (
        "umask 022\np=/var/cache/pixelmend/musl-cpython-3.13.partial\n"
        'mkdir -p "$p/archives"\n'
        f'sed -n "s/^recipe=//p" "{CI / "musl_cpython"}" >"$p/.pixelmend-recipe"\n'
        'touch "$p/sources.done"\n' + planted
        + f'\nexport PATH="{bin}:$PATH"\n"{CI / "musl_cpython"}" && exit 1\nls -a "$p"\n'
    )
    result = with_private_cache(script)
    assert result.returncode == 0, result.stderr
    assert "building afresh" in result.stderr and "stopped at the sources" in result.stderr
    assert "sources.done" not in result.stdout.split()


# Files a login account owns and everyone may write, as Debian's zlib
# tarball records its members' owners, each in a directory everyone may
# write: an upstream archive that musl_cpython unpacks, and a checkout that
# the legs copy into a root.
def account_archive(tmp_path):
    archives = directory(tmp_path / "archives")
    with tarfile.open(archives / "zlib_1.3.1.orig.tar.gz", "w:gz") as archive:
        for name, mode, data in [("zlib-1.3.1", 0o777, None), ("zlib-1.3.1/src", 0o777, None),
                                 ("zlib-1.3.1/configure", 0o777, b"#!/bin/sh\n"), ("zlib-1.3.1/src/deflate.c", 0o666, b"")]:
            member = tarfile.TarInfo(name)
            member.uid = member.gid = 1000
            member.mode = mode
            if data is None:
                member.type = tarfile.DIRTYPE
                archive.addfile(member)
            else:
                member.size = len(data)
                archive.addfile(member, io.BytesIO(data))
    return f'source "{CI / "musl_cpython"}"; unpack "{archives}" "$into" zlib'


def account_checkout(tmp_path):
    checkout = directory(tmp_path / "checkout")
    subprocess.run(["git", "init", "-q", str(checkout)], check=True)
    for name, mode in [("configure", 0o777), ("src/deflate.c", 0o666)]:
        (checkout / name).parent.mkdir(exist_ok=True)
        (checkout / name).write_text("")
        (checkout / name).chmod(mode)
    (checkout / "src").chmod(0o777)
    subprocess.run(["git", "-C", str(checkout), "add", "configure"], check=True)
    subprocess.run(["chown", "-R", "1000:1000", str(checkout / "configure"), str(checkout / "src")], check=True)
    return f'. "{CI / "shared.sh"}"; copy_checkout "{checkout}" "$into"'


@needs_private_mounts
@pytest.mark.skipif(shutil.which("git") is None, reason="the checkout is listed with git")
@pytest.mark.parametrize("extraction", [account_archive, account_checkout], ids=["musl-sources", "checkout"])
def test_what_root_extracts_is_roots_and_writable_by_root_only(tmp_path, extraction):
    script = (
        "umask 000\ninto=/var/cache/pixelmend/extracted\nmkdir -m 0755 -p $into\n" + extraction(tmp_path)
        + '\ncheck_tree_trusted "$into"\ncd "$into" && find . -mindepth 1 -printf "%p %U:%G %m\\n"\n'
    )
    result = with_private_cache(script)
    assert result.returncode == 0, result.stderr
    extracted = dict(line.split(" ", 1) for line in result.stdout.splitlines())
    assert sorted(extracted) == ["./configure", "./src", "./src/deflate.c"]
    owners_and_modes = [found.split() for found in extracted.values()]
    assert all(owner == "0:0" and int(mode, 8) & 0o022 == 0 for owner, mode in owners_and_modes), extracted
    assert extracted["./configure"].endswith(" 755")
