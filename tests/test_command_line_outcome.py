import importlib.metadata
import io
import os
import shutil
import struct
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import pytest
import tqdm

import pixelmend
import pixelmend.main as pm
from pixelmend._cli import exit_status, run

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")

KEY = "outcome-key"
EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
STREET = str(EXAMPLES / "street.jpg")


# Wide enough that no progress line is cut to the terminal's width.
@pytest.fixture
def sandbox(sandbox, monkeypatch):
    monkeypatch.setenv("COLUMNS", "400")
    return sandbox


def no_fault(service):
    pass


@pytest.mark.parametrize(
    ("argv", "arrange", "status", "out"),
    [
        (["--list"], no_fault, 0, "Available methods:\n"),
        ([KEY, STREET, "segment_image"], no_fault, 0, "Files downloaded to " + os.path.join("results", "street.jpg") + "\n"),
        ([], no_fault, 1, "usage: pixelmend"),
        ([KEY, STREET, "nope"], no_fault, 1, "Method nope not found in Pixelmend class.\n"),
        ([KEY, STREET, "get_identity_data"], no_fault, 1, "Country code is required for get_identity_data method.\n"),
        ([KEY, STREET, "face_id_verification"], no_fault, 1,
         "Image to compare is required for face_id_verification method.\n"),
        ([KEY, "no-such.jpg", "segment_image"], no_fault, 1, "File does not exist: no-such.jpg\n"),
        (["wrong-key", STREET, "segment_image"], no_fault, 1,
         "('Error:', Exception('API responded with an error: api_key is not valid'))\n"),
        ([KEY, STREET, "segment_image"], lambda s: s.faults.fail_next_post(503, "down"), 1,
         "('Error:', Exception('HT Error: 503, down'))\n"),
        ([KEY, STREET, "smart_object_detection"], lambda s: s.faults.missing_download("street_detection.png"), 1,
         "Failed to download street_detection.png\nFiles downloaded to " + os.path.join("results", "street.jpg") + "\n"),
    ],
    ids=["list", "success", "no-key", "unknown-method", "no-country", "no-to-compare", "missing-file", "refused",
         "http-error", "failed-download"],
)
def test_main_keeps_whether_the_command_did_its_work(sandbox, monkeypatch, capsys, argv, arrange, status, out):
    arrange(sandbox)
    monkeypatch.setattr(sys, "argv", ["pixelmend", *argv])
    assert pm.main() is None
    captured = capsys.readouterr()
    assert captured.out.startswith(out) and captured.err == ""
    assert exit_status() == status
    arrange(sandbox)
    assert run() == status


def test_library_failures_leave_the_command_line_outcome_alone(sandbox, monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["pixelmend", "--list"])
    pm.main()
    sandbox.faults.missing_download("street_detection.png")
    assert pm.Pixelmend(KEY).smart_object_detection(STREET) == "Files downloaded to " + os.path.join("results", "street.jpg")
    assert pm.Pixelmend(KEY).segment_image("no-such.jpg") == "File does not exist: no-such.jpg"
    assert exit_status() == 0


def console_script(name):
    script = shutil.which(name, path=sysconfig.get_path("scripts"))
    if script is None:
        pytest.skip(f"the {name} console script is not installed next to this interpreter")
    return [script]


RUN_AS_MAIN = (
    "import importlib.util, sys\n"
    "spec = importlib.util.find_spec('pixelmend.main')\n"
    "module = importlib.util.module_from_spec(spec)\n"
    "module.__name__ = '__main__'\n"
    "spec.loader.exec_module(module)\n"
)

ENTRY_POINTS = {
    "script": lambda: console_script("pixelmend"),
    "module": lambda: [sys.executable, "-m", "pixelmend"],
    "module-as-main": lambda: [sys.executable, "-c", RUN_AS_MAIN],
    "sandbox": lambda: [sys.executable, "-m", "pixelmend.sandbox"],
}


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_entry_points_exit_with_the_outcome(entry, tmp_path):
    environment = {**os.environ, "COLUMNS": "400"}
    launched = [*ENTRY_POINTS[entry](), KEY, str(tmp_path / "gone.jpg"), "segment_image"]
    failed = subprocess.run(launched, capture_output=True, text=True, env=environment, timeout=120)
    assert (failed.returncode, failed.stdout, failed.stderr) == (1, f"File does not exist: {tmp_path / 'gone.jpg'}\n", "")
    listed = subprocess.run([*ENTRY_POINTS[entry](), "--list"], capture_output=True, text=True, env=environment,
                            timeout=120)
    assert (listed.returncode, listed.stdout.startswith("Available methods:\n"), listed.stderr) == (0, True, "")


# The variable that holds the command line's runs can be reached and set by
# anyone; an impostor laid out like its holder is taken for no run at all.
IMPOSTOR_IN_THE_CONTEXT = """
import contextvars, sys
import pixelmend.main as pm
sys.argv = ["pixelmend", "--list"]
pm.main()
variable = next(v for v in contextvars.copy_context() if v.name == "pixelmend.main.command_line_runs")
class Impostor:
    __slots__ = ("owner", "records", "more")
context = contextvars.copy_context()
def attack():
    impostor = Impostor()
    impostor.owner = context
    variable.set(impostor)
    pm.main()
    assert type(variable.get()) is not Impostor
context.run(attack)
"""


def test_an_impostor_in_the_context_variable_is_no_run():
    ran = subprocess.run([sys.executable, "-c", IMPOSTOR_IN_THE_CONTEXT], capture_output=True, text=True, timeout=120)
    assert (ran.returncode, ran.stdout.count("Available methods:"), ran.stderr) == (0, 2, "")


KEY_AT_THE_PROMPT = "import sys, pixelmend._cli as c; sys.argv = ['pixelmend', '-', sys.argv[1], 'black_white']; sys.exit(c.run())"


# Ctrl-C at the key's prompt, or while the service works, ends the command
# with the shell's status for it and one line, no traceback.
@pytest.mark.parametrize("moment", ["prompt", "waiting"])
def test_ctrl_c_ends_the_command_with_one_line(sandbox, tmp_path, moment):
    signal = pytest.importorskip("signal")
    if not hasattr(signal, "SIGINT") or os.name != "posix":
        pytest.skip("POSIX signals")
    environment = {**os.environ, "PIXELMEND_BASE_URL": sandbox.url, "PIXELMEND_API_KEY": ""}

    # A pytest-xdist worker ignores SIGINT, and a child would inherit that.
    def default_sigint():
        signal.signal(signal.SIGINT, signal.SIG_DFL)

    if moment == "prompt":
        controller, terminal = pseudo_terminal()
        process = subprocess.Popen([sys.executable, "-c", KEY_AT_THE_PROMPT, STREET], cwd=tmp_path, env=environment,
                                   stdin=terminal, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   start_new_session=True, preexec_fn=default_sigint)
        os.close(terminal)
        typed_at_the_prompt(process, controller, b"")
    else:
        sandbox.faults.stall_next_post()
        process = subprocess.Popen([*ENTRY_POINTS["module"](), KEY, STREET, "black_white"], cwd=tmp_path,
                                   env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   preexec_fn=default_sigint)
        # The stall is taken once the upload has arrived, and the service then holds its answer.
        deadline = time.monotonic() + 60
        while sandbox.faults._post_stalls and time.monotonic() < deadline:
            time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=60)
    sandbox.faults.release_stalls()
    if moment == "prompt":
        os.close(controller)
    assert (process.returncode, out, err) == (130, b"", b"Interrupted\n")



INTERRUPT_IN_A_FINALIZER = """
import signal, sys, time

# Started as a background job (or by an xdist worker), the child would ignore Ctrl-C.
signal.signal(signal.SIGINT, signal.default_int_handler)

class ClosedByTheCollector:
    def __del__(self):
        raise KeyboardInterrupt

def waits_for_a_reply():
    ClosedByTheCollector()
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        time.sleep(0.01)
    return 0

%s
sys.exit(run())
"""


# Ctrl-C landing in a finalizer (urllib3's pools and sockets are closed by
# the garbage collector) would be printed as ignored and lost, and the
# command would go on waiting.
@pytest.mark.parametrize("entry", [
    "import pixelmend._cli as cli; cli._client = type('Client', (), {'main': staticmethod(waits_for_a_reply)}); run = cli.run",
    "import pixelmend.sandbox.cli as cli; cli._serve_and_run_client = waits_for_a_reply; run = cli.run",
], ids=["pixelmend", "pixelmend-sandbox"])
def test_an_interrupt_that_lands_in_a_finalizer_still_ends_the_command(entry):
    ran = subprocess.run([sys.executable, "-c", INTERRUPT_IN_A_FINALIZER % entry], capture_output=True, text=True, timeout=60)
    assert (ran.returncode, ran.stdout, ran.stderr) == (130, "", "Interrupted\n")

def black_white_of_the_examples(tmp_path, stderr):
    return subprocess.Popen(
        [sys.executable, "-m", "pixelmend.sandbox", KEY, str(EXAMPLES), "black_white"],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=stderr,
    )


def read_to_end(descriptor):
    chunks = []
    while True:
        try:
            chunk = os.read(descriptor, 65536)
        except OSError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks).decode()


# A pseudo-terminal pair, or a skip where the system does not take its
# terminal end for a terminal: under qemu-user, os.isatty is false on one,
# since the emulator does not translate the request glibc's isatty makes.
def pseudo_terminal():
    pty = pytest.importorskip("pty", reason="a pseudo-terminal is POSIX's")
    controller, terminal = pty.openpty()
    if not os.isatty(terminal):
        os.close(controller)
        os.close(terminal)
        pytest.skip("this system does not take a pseudo-terminal for a terminal")
    return controller, terminal


def test_progress_is_drawn_on_a_terminal(tmp_path):
    fcntl = pytest.importorskip("fcntl", reason="a pseudo-terminal is POSIX's")
    termios = pytest.importorskip("termios")
    controller, terminal = pseudo_terminal()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
    process = black_white_of_the_examples(tmp_path, terminal)
    os.close(terminal)
    drawn = read_to_end(controller)
    os.close(controller)
    out = process.stdout.read()
    assert process.wait(timeout=120) == 0
    assert out == b"Files downloaded to results/examples\n"
    images = len([name for name in os.listdir(EXAMPLES) if not name.endswith(".py")])
    uploaded = drawn.split("Uploading: 100%|", 1)[1].split("\r", 1)[0]
    assert "B/s]" in uploaded and "[00:" in uploaded
    assert "Downloading: 100%|" in drawn and f"{images}/{images} [" in drawn


def test_a_pipe_gets_no_progress(tmp_path):
    process = black_white_of_the_examples(tmp_path, subprocess.PIPE)
    out, err = process.communicate(timeout=120)
    assert (process.returncode, out, err) == (0, b"Files downloaded to results/examples\n", b"")


def test_version_comes_from_the_metadata_and_imports_stay_lazy():
    assert pixelmend.__version__ == importlib.metadata.version("pixelmend")
    code = "import sys, pixelmend; a = set(sys.modules); import pixelmend.main; print('pixelmend.main' in a, 'tqdm' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout == "False False\n"


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_only_the_command_line_draws_progress_and_failures_keep_their_lines(sandbox, monkeypatch, capsys):
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert pm.Pixelmend(KEY).segment_image(STREET) == "Files downloaded to " + os.path.join("results", "street.jpg")
    assert terminal.getvalue() == ""
    sandbox.faults.missing_download("street_detection.png")
    monkeypatch.setattr(sys, "argv", ["pixelmend", KEY, STREET, "smart_object_detection"])
    pm.main()
    assert capsys.readouterr().out == "Failed to download street_detection.png\nFiles downloaded to " + os.path.join("results", "street.jpg") + "\n"
    drawn = terminal.getvalue()
    assert "Uploading: 100%" in drawn and "Downloading:" in drawn and "1/2 [" in drawn
    assert exit_status() == 1


class RecordingBar(tqdm.tqdm):
    events: list = []

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.events.append(("open", self.desc, self.total, time.monotonic()))

    def update(self, n=1):
        self.events.append(("update", self.desc, n, time.monotonic()))
        return super().update(n)

    def close(self):
        if not self.disable:
            self.events.append(("close", self.desc, self.format_dict["elapsed"], time.monotonic()))
        super().close()


@pytest.mark.xdist_group("measuring")
def test_the_upload_bar_ends_with_its_last_byte_and_the_wait_has_its_own_line(sandbox, monkeypatch, tmp_path):
    from PIL import Image

    Image.effect_noise((1200, 1200), 60).convert("RGB").save(tmp_path / "noise.png")
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    monkeypatch.setattr(tqdm, "tqdm", RecordingBar)
    monkeypatch.setattr(RecordingBar, "events", [])
    monkeypatch.setattr(sys, "argv", ["pixelmend", KEY, "noise.png", "segment_image"])
    sandbox.faults.delay_next_post(1.6)
    started = time.monotonic()
    pm.main()
    assert exit_status() == 0
    events = RecordingBar.events
    assert [(kind, desc) for kind, desc, *_ in events if kind != "update"] == [
        ("open", "Uploading"), ("close", "Uploading"),
        ("open", "Waiting for the service"), ("close", "Waiting for the service"),
        ("open", "Downloading"), ("close", "Downloading"),
    ]
    total = events[0][2]
    assert total > 3 << 20
    assert sum(n for kind, desc, n, _ in events if (kind, desc) == ("update", "Uploading")) == total
    closed = {desc: (elapsed, at) for kind, desc, elapsed, at in events if kind == "close"}
    upload_elapsed, upload_closed = closed["Uploading"]
    assert upload_elapsed <= upload_closed - started < 1.6 <= closed["Waiting for the service"][1] - upload_closed
    drawn = terminal.getvalue()
    assert "Waiting for the service: 00:01" in drawn
    assert "Uploading: 100%" in drawn and "1/1 [" in drawn


KEY_FROM_ELSEWHERE = """
import sys
import pixelmend.main as pm
from pixelmend._cli import exit_status
from pixelmend.sandbox import running
with running(accepted_keys=[sys.argv[1]], module=pm):
    sys.argv = ["pixelmend", "-", sys.argv[2], "black_white"]
    pm.main()
sys.exit(exit_status())
"""

MISSING_ARGUMENTS = "error: the following arguments are required: key, image_path\n"
STREET_DOWNLOADED = f"Files downloaded to {os.path.join('results', 'street.jpg')}\n"


NOT_TEXT = "The API key is not valid UTF-8 text.\n"
SECRET = "sk-TOPSECRET"


def typed_at_the_prompt(process, controller, typed):
    prompt = b""
    while not prompt.endswith(b"API key: "):
        character = process.stderr.read(1)
        assert character, f"no prompt for the key, only {prompt!r}"
        prompt += character
    os.write(controller, typed)


KEY_SOURCES = {
    "environment": (KEY, None, None, 0, STREET_DOWNLOADED),
    "pipe": ("", "pipe", f"{KEY}\r\nsecond line\n".encode(), 0, STREET_DOWNLOADED),
    "pipe-lone-return": ("", "pipe", f"{KEY}\rsecond line\n".encode(), 0, STREET_DOWNLOADED),
    "pipe-then-binary": (None, "pipe", f"{KEY}\n".encode() + b"\xff\xfe garbage\n" + bytes(range(256)) * 64, 0,
                         STREET_DOWNLOADED),
    "terminal": (None, "terminal", KEY.encode() + b"\n", 0, STREET_DOWNLOADED),
    "empty-input": ("", "pipe", b"", 1, MISSING_ARGUMENTS),
    "empty-line": (None, "pipe", b"\n", 1, MISSING_ARGUMENTS),
    "terminal-end-of-input": (None, "terminal", b"\x04", 1, MISSING_ARGUMENTS),
    "environment-not-text": (SECRET + "\udcff", None, None, 1, NOT_TEXT),
    "pipe-not-text": (None, "pipe", SECRET.encode() + b"\xff\n", 1, NOT_TEXT),
    "pipe-too-long": (None, "pipe", SECRET.encode() * 400, 1,
                      "The API key on standard input is longer than 4096 characters.\n"),
}
# Under these locales standard input and the environment escape undecodable
# bytes; with its encoding set, standard input refuses them. Only where such
# bytes come is the outcome the locale's to decide: elsewhere one locale
# shows all there is.
LOCALES = {"C": {"LC_ALL": "C"}, "C.UTF-8": {"LC_ALL": "C.UTF-8"},
           "strict-utf-8": {"LC_ALL": "C.UTF-8", "PYTHONIOENCODING": "utf-8"}}
UNDECODABLE = {"pipe-then-binary", "environment-not-text", "pipe-not-text"}


# A key given as "-" is never printed, whatever bytes it holds, and no more
# of standard input is read than a key could need.
@pytest.mark.parametrize(
    ("environment", "source", "stdin", "status", "out", "locale"),
    [
        pytest.param(*KEY_SOURCES[name], LOCALES[locale], id=f"{locale}-{name}")
        for name in KEY_SOURCES
        for locale in (LOCALES if name in UNDECODABLE else ["C.UTF-8"])
    ],
)
def test_a_key_of_dash_comes_from_the_environment_or_standard_input(
    tmp_path, environment, source, stdin, status, out, locale
):
    if stdin and b"\xff" in stdin and sys.platform == "win32":
        pytest.skip("Windows decodes a pipe with its ANSI code page, where every byte is text")
    env = {**os.environ, "PYTHONWARNINGS": "ignore", **locale}
    env.pop("PIXELMEND_API_KEY", None)
    if environment is not None:
        env["PIXELMEND_API_KEY"] = environment
    controller = None
    if source == "terminal":
        controller, terminal = pseudo_terminal()
        stdin_file = terminal
    else:
        stdin_file = subprocess.PIPE if source == "pipe" else subprocess.DEVNULL
    # A session of its own has no controlling terminal, so getpass reads the
    # pseudo-terminal given as standard input, not the one running the tests.
    process = subprocess.Popen(
        [sys.executable, "-c", KEY_FROM_ELSEWHERE, KEY, STREET],
        cwd=tmp_path, env=env, stdin=stdin_file, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        start_new_session=True,
    )
    if controller is not None:
        os.close(terminal)
        typed_at_the_prompt(process, controller, stdin)
    piped = stdin if source == "pipe" else None
    out_bytes, err = process.communicate(piped, timeout=120)
    assert process.returncode == status
    assert out_bytes.decode().replace("\r\n", "\n").endswith(out)
    assert b"Traceback" not in err and SECRET.encode() not in out_bytes + err
    if controller is not None:
        assert err.startswith(b"\n"), "the prompt's line is ended before anything else is printed"
        os.set_blocking(controller, False)
        assert KEY.encode() not in read_to_end(controller).encode()
        os.close(controller)


WIDE = "\U0001f511"


# Standard input replaced in the process: a text stream with no binary layer
# under it is read as text, one with a binary layer as bytes; either way the
# key is the first line, of at most 4096 characters however many bytes.
@pytest.mark.parametrize(
    ("given", "out"),
    [
        (f"{KEY}\nsecond line\n", STREET_DOWNLOADED),
        (f"{KEY}\r\n".encode() + b"\xff\xfe garbage\n", STREET_DOWNLOADED),
        (f"{KEY}\rsecond line\n", STREET_DOWNLOADED),
        (f"{KEY}\r".encode() + b"\xff" * 20000 + b"\n", STREET_DOWNLOADED),
        (KEY.encode() + b"\xff\n", NOT_TEXT),
        ("x" * 4097 + "\n", "The API key on standard input is longer than 4096 characters.\n"),
        ((WIDE * 4097 + "\n").encode(), "The API key on standard input is longer than 4096 characters.\n"),
        ((WIDE * 4096 + "\n").encode(), "('Error:', Exception('API responded with an error: api_key is not valid'))\n"),
        (WIDE * 4096, "('Error:', Exception('API responded with an error: api_key is not valid'))\n"),
        (b"", MISSING_ARGUMENTS),
    ],
    ids=["text", "bytes-then-binary", "text-lone-return", "bytes-lone-return-then-binary", "bytes-not-text",
         "text-too-long", "bytes-too-long", "bytes-wide-longest",
         "text-wide-longest", "bytes-empty"],
)
def test_a_key_of_dash_from_a_replaced_standard_input(sandbox, monkeypatch, capsys, given, out):
    if isinstance(given, bytes):
        stream = io.TextIOWrapper(io.BytesIO(given), encoding="utf-8", errors="strict")
    else:
        stream = io.StringIO(given)
    monkeypatch.delenv("PIXELMEND_API_KEY", raising=False)
    monkeypatch.setattr(sys, "stdin", stream)
    monkeypatch.setattr(sys, "argv", ["pixelmend", "-", STREET, "black_white"])
    pm.main()
    assert capsys.readouterr().out.endswith(out)
    assert exit_status() == (0 if out == STREET_DOWNLOADED else 1)


class FileReply:
    status_code = 200

    def json(self):
        return {"success": True, "filenames": ["a.png", "b.png"], "path": "http://127.0.0.1:9"}

    def iter_content(self, chunk_size):
        yield b"result"


# A terminal whose other end goes away (a dropped SSH session, a disowned
# job) in any phase of the call: stdout, the result files and the exit
# status are those of a call with no terminal.
@pytest.mark.parametrize("phase", ["start", "upload", "wait", "download"])
def test_a_terminal_that_goes_away_leaves_the_work_as_with_no_terminal(monkeypatch, fake_requests, tmp_path, capsys, phase):
    monkeypatch.chdir(tmp_path)
    controller, terminal = pseudo_terminal()
    stream = open(terminal, "w")
    open_ends = [controller]

    def hang_up(now):
        if now == phase and open_ends:
            os.close(open_ends.pop())

    def post(data):
        data.read(8192)
        hang_up("upload")
        while data.read(8192):
            pass
        hang_up("wait")
        time.sleep(0.6)
        return FileReply()

    def get(url, stream, verify):
        hang_up("download")
        return FileReply()

    fake_requests(post, get)
    monkeypatch.setattr(sys, "stderr", stream)
    monkeypatch.setattr(sys, "argv", ["pixelmend", KEY, STREET, "segment_image"])
    hang_up("start")
    try:
        pm.main()
    finally:
        monkeypatch.setattr(sys, "stderr", sys.__stderr__)
        try:
            stream.close()
        except OSError:
            pass
    assert capsys.readouterr().out == "Files downloaded to " + os.path.join("results", "street.jpg") + "\n"
    assert exit_status() == 0
    assert sorted(os.listdir(tmp_path / "results" / "street.jpg")) == ["a.png", "b.png"]


# A terminal that reports no width gets bars as wide as COLUMNS says, or 80.
@pytest.mark.parametrize(("columns", "width"), [(None, 80), ("50", 50), ("junk", 80)])
def test_a_terminal_of_no_width_gets_bars_of_the_fallback_width(
    monkeypatch, fake_requests, tmp_path, capsys, columns, width
):
    monkeypatch.chdir(tmp_path)
    if columns is None:
        monkeypatch.delenv("COLUMNS", raising=False)
    else:
        monkeypatch.setenv("COLUMNS", columns)
    controller, terminal = pseudo_terminal()
    assert os.get_terminal_size(terminal).columns == 0
    stream = open(terminal, "w")

    def post(data):
        while data.read(8192):
            pass
        return FileReply()

    fake_requests(post, lambda url, stream, verify: FileReply())
    monkeypatch.setattr(sys, "stderr", stream)
    monkeypatch.setattr(sys, "argv", ["pixelmend", KEY, STREET, "segment_image"])
    try:
        pm.main()
    finally:
        monkeypatch.setattr(sys, "stderr", sys.__stderr__)
        stream.close()
    os.set_blocking(controller, False)
    drawn = read_to_end(controller)
    os.close(controller)
    lines = [line for line in drawn.replace("\r\n", "\r").split("\r") if line.startswith(("Uploading", "Downloading"))]
    assert lines and all(len(line) == width for line in lines if "100%" in line)
