import os
import signal
import stat
import sys
from urllib.parse import quote

import pytest

import pixelmend.main as pm
from pixelmend.utils.utils import handle_image_path, handle_image_path_id

URL = "https://api.pixelmend.ai/vision/v0/black-white"
CONTENT_TYPE = "multipart/form-data; boundary=fixed"
HELPER_RESULT = [("api_key", "K"), ("option", "1"), ("image", ("img.png", b"px", "image/png"))]


class TransportError(Exception):
    pass


class Response:
    def __init__(self, events, label, status=200, text="", payload=None, chunks=()):
        self.events = events
        self.label = label
        self.status = status
        self.body_text = text
        self.payload = payload
        self.chunks = chunks

    @property
    def status_code(self):
        self.events.append((self.label, "status_code"))
        return self.status

    @property
    def text(self):
        self.events.append((self.label, "text"))
        return self.body_text

    def json(self):
        self.events.append((self.label, "json"))
        if isinstance(self.payload, BaseException):
            raise self.payload
        return self.payload

    def iter_content(self, *args, **kwargs):
        self.events.append((self.label, "iter_content", args, kwargs))
        for chunk in self.chunks:
            if isinstance(chunk, BaseException):
                raise chunk
            if callable(chunk):
                chunk = chunk()
            yield chunk


class Session:
    def __init__(self, service):
        self.service = service

    def __enter__(self):
        self.service.events.append("enter")
        return self

    def __exit__(self, *exc_info):
        self.service.events.append(("exit", exc_info))
        if self.service.exit_raises is not None:
            raise self.service.exit_raises
        return self.service.exit_result

    def post(self, *args, **kwargs):
        self.service.events.append(("post", args, kwargs))
        if isinstance(self.service.reply, BaseException):
            raise self.service.reply
        return self.service.reply


class Service:
    def __init__(self):
        self.events = []
        self.reply = None
        self.files = {}
        self.exit_result = None
        self.exit_raises = None

    def answer(self, payload, status=200, text=""):
        self.reply = Response(self.events, "reply", status, text, payload)

    def serve(self, url, status=200, chunks=()):
        self.files[url] = Response(self.events, url, status, chunks=chunks)

    def Session(self):
        self.events.append("Session")
        return Session(self)

    def get(self, *args, **kwargs):
        self.events.append(("get", args, kwargs))
        return self.files[args[0]]

    def gets(self):
        return [event[1][0] for event in self.events if event[0] == "get"]


class Encoder:
    def __init__(self, *args, **kwargs):
        self.events.append(("encoder", args, kwargs))
        self.content_type = CONTENT_TYPE


class Helper:
    def __init__(self, events, result):
        self.events = events
        self.result = result

    def __call__(self, *args, **kwargs):
        self.events.append(("helper", args, kwargs))
        return self.result


@pytest.fixture
def service(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    fake = Service()
    monkeypatch.setattr(pm, "requests", fake)
    monkeypatch.setattr(Encoder, "events", fake.events, raising=False)
    monkeypatch.setattr(pm, "MultipartEncoder", Encoder)
    fake.helper = Helper(fake.events, list(HELPER_RESULT))
    monkeypatch.setattr(pm, "handle_image_path", fake.helper)
    return fake


def run(image_path="img.png"):
    return pm.Pixelmend("K").black_white(image_path)


# The reply names the save directory as os.path.join makes it.
DOWNLOADED = "Files downloaded to " + os.path.join("results", "img.png")


# A path as os.path.join makes it on this system.
def native(path):
    return path.replace("/", os.sep)


def ok(filenames, path="https://files.example/r1"):
    return {"success": True, "filenames": filenames, "path": path}


def tree(root="."):
    found = set()
    for directory, dirs, files in os.walk(root):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(directory, name), root).replace(os.sep, "/"))
    return found


def test_whole_exchange_in_order(service, capsys):
    service.answer(ok(["a.png", "b.json"]))
    service.serve("https://files.example/r1/a.png", chunks=[b"\x89PNG", b"rest"])
    service.serve("https://files.example/r1/b.json", status=404)

    assert run() == DOWNLOADED

    encoder = service.events[4][2]["data"]
    assert isinstance(encoder, Encoder)
    assert service.events[:2] == [
        ("helper", ([("api_key", "K"), ("option", "1")], "img.png"), {}),
        ("encoder", (), {"fields": HELPER_RESULT}),
    ]
    assert service.events[2:] == [
        "Session",
        "enter",
        ("post", (URL,), {"data": encoder, "headers": {"Content-Type": CONTENT_TYPE}, "verify": False}),
        ("exit", (None, None, None)),
        ("reply", "status_code"),
        ("reply", "json"),
        ("get", ("https://files.example/r1/a.png",), {"stream": True, "verify": False}),
        ("https://files.example/r1/a.png", "status_code"),
        ("https://files.example/r1/a.png", "iter_content", (), {"chunk_size": 8192}),
        ("get", ("https://files.example/r1/b.json",), {"stream": True, "verify": False}),
        ("https://files.example/r1/b.json", "status_code"),
    ]
    assert capsys.readouterr().out == "Failed to download b.json\n"
    assert tree() == {"results", "results/img.png", "results/img.png/a.png"}
    assert open("results/img.png/a.png", "rb").read() == b"\x89PNGrest"


@pytest.mark.parametrize("result", [False, 0, 0.0])
def test_nothing_to_upload(service, result):
    service.helper.result = result
    assert run("no/such.png") == "File does not exist: no/such.png"
    assert [e[0] for e in service.events] == ["helper"]
    assert tree() == set()


@pytest.mark.parametrize("result", [[], None, "", (("only", "this"),)])
def test_results_that_are_not_equal_to_false_are_uploaded_as_they_are(service, result):
    service.helper.result = result
    service.answer(ok([]))
    assert run() == DOWNLOADED
    assert service.events[1] == ("encoder", (), {"fields": result})
    assert service.events[1][2]["fields"] is result


# The upload fails with a transport error; returns the error.
def refused_upload(service):
    service.reply = TransportError("refused")
    return service.reply


@pytest.mark.parametrize("suppress", [None, False, 0, ""])
def test_transport_error_of_post_goes_through_exit_and_out(service, suppress):
    error = refused_upload(service)
    service.exit_result = suppress
    with pytest.raises(TransportError) as raised:
        run()
    assert raised.value is error
    kind, (exc_type, exc_value, exc_tb) = service.events[-1]
    assert (kind, exc_type, exc_value) == ("exit", TransportError, error)
    assert exc_tb is error.__traceback__ or exc_tb is not None
    assert tree() == set()


def test_exit_that_suppresses_leaves_no_response(service):
    refused_upload(service)
    service.exit_result = True
    with pytest.raises(UnboundLocalError, match="response"):
        run()
    assert service.events[-1][0] == "exit"


def test_error_raised_by_exit_replaces_the_post_error_and_keeps_it_as_context(service):
    post_error = refused_upload(service)
    exit_error = RuntimeError("close failed")
    service.exit_raises = exit_error
    with pytest.raises(RuntimeError) as raised:
        run()
    assert raised.value is exit_error
    assert exit_error.__context__ is post_error


def test_exit_sees_the_post_error_as_the_one_being_handled(service, monkeypatch):
    seen = []
    monkeypatch.setattr(Session, "__exit__", lambda self, *exc: seen.append(sys.exc_info()[1]))
    error = refused_upload(service)
    with pytest.raises(TransportError):
        run()
    service.reply = None
    service.answer(ok([]))
    run()
    assert seen == [error, None]


def test_exit_error_after_a_good_reply_stops_before_the_reply_is_read(service):
    service.answer(ok([]))
    service.exit_raises = RuntimeError("close failed")
    with pytest.raises(RuntimeError):
        run()
    assert ("reply", "status_code") not in service.events


@pytest.mark.parametrize(
    "status, text, message",
    [
        (500, "boom", "HT Error: 500, boom"),
        (404, "", "HT Error: 404, "),
        (201, "created", "HT Error: 201, created"),
        ("200", "x", "HT Error: 200, x"),
        (None, None, "HT Error: None, None"),
    ],
)
def test_status_other_than_200(service, status, text, message):
    service.answer(ok([]), status=status, text=text)
    with pytest.raises(Exception) as raised:
        run()
    assert type(raised.value) is Exception
    assert raised.value.args == (message,)
    assert ("reply", "json") not in service.events
    assert tree() == set()


@pytest.mark.parametrize("status", [200, 200.0])
def test_status_equal_to_200_is_accepted(service, status):
    service.answer(ok([]), status=status)
    assert run() == DOWNLOADED


@pytest.mark.parametrize(
    "payload, error",
    [
        (ValueError("Expecting value"), ValueError),
        ([1, 2], TypeError),
        (42, TypeError),
        ("text", TypeError),
        (None, TypeError),
        ({}, KeyError),
        ({"message": "m"}, KeyError),
    ],
)
def test_malformed_replies_raise_library_errors(service, payload, error):
    service.answer(payload)
    with pytest.raises(error) as raised:
        run()
    if isinstance(payload, BaseException):
        assert raised.value is payload
    assert tree() == set()


@pytest.mark.parametrize(
    "payload, message",
    [
        ({"success": False, "message": "quota"}, "API responded with an error: quota"),
        ({"success": False}, "API responded with an error: No error message provided"),
        ({"success": False, "message": None}, "API responded with an error: None"),
        ({"success": 0, "message": 7}, "API responded with an error: 7"),
        ({"success": "", "message": ""}, "API responded with an error: "),
        ({"success": [], "message": ["a"]}, "API responded with an error: ['a']"),
        ({"success": None, "message": {"k": 1}}, "API responded with an error: {'k': 1}"),
    ],
)
def test_refusal(service, payload, message):
    service.answer(payload)
    with pytest.raises(Exception) as raised:
        run()
    assert type(raised.value) is Exception and raised.value.args == (message,)
    assert tree() == set()


@pytest.mark.parametrize("success", [True, 1, "false", "0", [0], {"x": 0}])
def test_truthy_success_is_success(service, success):
    service.answer({"success": success, "filenames": [], "path": "p"})
    assert run() == DOWNLOADED


def test_missing_filenames_fails_after_the_directory_is_made(service):
    service.answer({"success": True, "path": "p"})
    with pytest.raises(KeyError):
        run()
    assert tree() == {"results", "results/img.png"}


class CountingReply(dict):
    def __init__(self, *args):
        super().__init__(*args)
        self.reads = []

    def __getitem__(self, key):
        self.reads.append(key)
        return super().__getitem__(key)


def test_path_is_read_anew_for_each_safe_name_only(service):
    reply = CountingReply(ok(["a", "..", "b", "c/d", "c"], path="P"))
    service.answer(reply)
    for name in "abc":
        service.serve("P/" + name, status=404)
    run()
    assert reply.reads == ["success", "filenames", "path", "path", "path"]

    service.answer({"success": True, "filenames": ["..", ""]})
    assert run() == DOWNLOADED
    service.answer({"success": True, "filenames": ["..", "ok.png"]})
    with pytest.raises(KeyError, match="path"):
        run()


@pytest.mark.parametrize(
    "path, name, url",
    [
        ("https://h/r/", "a.png", "https://h/r//a.png"),
        ("", "a.png", "/a.png"),
        (7, "a.png", "7/a.png"),
        (None, "a.png", "None/a.png"),
        ("https://h/r", "é ü.png", "https://h/r/%C3%A9%20%C3%BC.png"),
        ("https://h/r", "a?b#c", "https://h/r/a%3Fb%23c"),
        ("https://h/r", "100%25 ~_.-", "https://h/r/100%2525%20~_.-"),
        ("https://h/r", "a;b=c&d+e:f@g", "https://h/r/a%3Bb%3Dc%26d%2Be%3Af%40g"),
    ],
)
def test_download_address(service, capsys, path, name, url):
    service.answer(ok([name], path=path))
    service.serve(url, status=404)
    run()
    assert service.gets() == [url]
    assert capsys.readouterr().out == f"Failed to download {name}\n"


@pytest.mark.parametrize("name", [5, None, 1.5])
def test_names_that_are_not_text_are_requested_then_refused_by_join(service, name):
    service.answer(ok([name], path="P"))
    service.serve(f"P/{name}", chunks=[b"never"])
    with pytest.raises(TypeError):
        run()
    assert service.gets() == [f"P/{name}"]
    assert not any(e[1] == "iter_content" for e in service.events if isinstance(e, tuple) and len(e) > 2)
    assert tree() == {"results", "results/img.png"}


# Names that climb out, that the file system cannot hold, or that would
# drive the terminal they are printed on: each fails alone, its control
# characters printed as escapes, and the next name is still fetched.
@pytest.mark.parametrize(
    ("name", "printed"),
    [
        *[(name, name) for name in ["", ".", "..", "../evil.png", "/etc/evil.png", "a/b.png", "a\\b.png",
                                    "..\\evil.png", "/", "x" * 256]],
        ("\ud800.png", "\\ud800.png"),
        ("a\udcffb", "a\\udcffb"),
        ("a\x00b.png", "a\\x00b.png"),
        ("tab\there", "tab\\there"),
        ("\x1b]0;owned\x07\x1b[2J\rFiles downloaded to /etc", "\\x1b]0;owned\\x07\\x1b[2J\\rFiles downloaded to /etc"),
        ("del\x7f\x85\x9f\n.png", "del\\x7f\\x85\\x9f\\n.png"),
        # Bidirectional controls show a name in another order: this one as photoexe.png.
        ("photo\u202egnp.exe", "photo\\u202egnp.exe"),
        ("\u202a\u202b\u202c\u202d.png", "\\u202a\\u202b\\u202c\\u202d.png"),
        ("a\u2066b\u2067c\u2068d\u2069.png", "a\\u2066b\\u2067c\\u2068d\\u2069.png"),
    ],
)
def test_unsafe_names_are_never_requested_or_written(service, capsys, name, printed):
    service.answer(ok([name, "good.png"], path="P"))
    service.serve("P/good.png", chunks=[b"good"])
    assert run() == DOWNLOADED
    assert service.gets() == ["P/good.png"]
    assert capsys.readouterr().out == f"Failed to download {printed}\n"
    assert tree() == {"results", "results/img.png", "results/img.png/good.png"}


@pytest.mark.parametrize(
    "name",
    ["..a", ".hidden", "a b", "ü", "x" * 100, "~", "CONSOLE", "COM10", "nul_x.png", "a.con", "LPT",
     # Zero-width non-joiner and joiner, as Persian and Indic names spell them.
     "\u0645\u06cc\u200c\u062e\u0648\u0627\u0647\u0645.png", "\u0915\u094d\u200d\u0937.png"],
)
def test_odd_but_plain_names_are_saved(service, name):
    service.answer(ok([name], path="P"))
    service.serve("P/" + quote(name, safe=""), chunks=[b"body"])
    run()
    with open(os.path.join("results", "img.png", name), "rb") as saved:
        assert saved.read() == b"body"


# A drive or stream colon, a device name, or a trailing dot or space that
# Windows would drop: plain names elsewhere.
@pytest.mark.parametrize(
    "name",
    ["a:b", "...", ". .", "a..", "name.", "name ", "CON", "nul", "Aux.txt", "prn .png", "COM1", "lpt9.tar.gz",
     "COM\u00b9", "CONOUT$", "q?x=1.png", "*.png", "a<b>", 'say"so"', "a|b"],
)
def test_names_unsafe_on_windows_only(service, capsys, name):
    service.answer(ok([name, "good.png"], path="P"))
    service.serve("P/" + quote(name, safe=""), chunks=[b"body"])
    service.serve("P/good.png", chunks=[b"good"])
    assert run() == DOWNLOADED
    if sys.platform == "win32":
        assert service.gets() == ["P/good.png"]
        assert capsys.readouterr().out == f"Failed to download {name}\n"
        assert tree() == {"results", "results/img.png", "results/img.png/good.png"}
    else:
        with open(os.path.join("results", "img.png", name), "rb") as saved:
            assert saved.read() == b"body"


@pytest.mark.parametrize(
    "filenames, expected",
    [
        ([], set()),
        ("ab", {"a", "b"}),
        ({"k1": 0, "k2": 1}, {"k1", "k2"}),
        (("t",), {"t"}),
        (5, TypeError),
        (None, TypeError),
    ],
)
def test_filenames_are_iterated_as_given(service, filenames, expected):
    service.answer(ok(filenames, path="P"))
    if expected is TypeError:
        with pytest.raises(TypeError):
            run()
        return
    for name in expected:
        service.serve("P/" + name, chunks=[name.encode()])
    assert run() == DOWNLOADED
    assert set(os.listdir("results/img.png")) == expected


def test_all_downloads_failing_still_reports_the_directory(service, capsys):
    service.answer(ok(["a", "b"], path="P"))
    service.serve("P/a", status=500)
    service.serve("P/b", status="200")
    assert run() == DOWNLOADED
    assert capsys.readouterr().out == "Failed to download a\nFailed to download b\n"
    assert tree() == {"results", "results/img.png"}


@pytest.mark.parametrize(
    "chunks, body",
    [
        ([b"", b"ab", b"", b"cd", b""], b"abcd"),
        ([], b""),
        ([b""], b""),
        ([bytearray(b"xy"), memoryview(b"zw")], b"xyzw"),
        ([b"\x00" * 20000, b"\xff"], b"\x00" * 20000 + b"\xff"),
        ([0, "", None, b"k"], b"k"),
    ],
    # pytest puts the test's id in an environment variable, which Windows
    # limits to 32767 characters; the 20000 bytes would overflow it.
    ids=["empty chunks between", "no chunks", "one empty chunk", "bytearray and memoryview", "20000 bytes then one",
         "falsy chunks skipped"],
)
def test_body_is_written_from_the_chunks(service, chunks, body):
    service.answer(ok(["f.bin"], path="P"))
    service.serve("P/f.bin", chunks=chunks)
    run()
    assert open("results/img.png/f.bin", "rb").read() == body


def test_later_file_of_the_same_name_replaces_the_earlier(service):
    service.answer(ok(["f", "f"], path="P"))
    responses = iter([Response(service.events, n, chunks=[n.encode()]) for n in ("first", "2nd")])
    service.get = lambda url, **kwargs: next(responses)
    run()
    assert os.listdir("results/img.png") == ["f"]
    assert open("results/img.png/f", "rb").read() == b"2nd"


@pytest.mark.parametrize(
    "image_path, save_dir",
    [
        ("img.png", "results/img.png"),
        ("/abs/dir/img.png", "results/img.png"),
        ("scans/", "results/"),
        ("a/b/scans", "results/scans"),
        ("", "results/"),
        ("with space.jpg", "results/with space.jpg"),
    ],
)
def test_save_directory_comes_from_the_last_path_component(service, image_path, save_dir):
    service.answer(ok(["f"], path="P"))
    service.serve("P/f", chunks=[b"v"])
    assert run(image_path) == "Files downloaded to " + native(save_dir)
    assert open(os.path.join(save_dir, "f"), "rb").read() == b"v"
    assert not os.path.exists(os.path.join(os.path.dirname(image_path) or "none", "f"))


@pytest.mark.parametrize(
    "image_path, save_dir",
    [(".", "results/here"), ("..", "results/work"), ("sub/.", "results/sub"), ("sub/..", "results/here"),
     ("sub/../..", "results/work"), ("/", "results/")],
)
def test_dot_paths_save_under_the_directory_they_name(service, image_path, save_dir):
    os.makedirs("work/here/sub")
    os.chdir("work/here")
    service.answer(ok(["f"], path="P"))
    service.serve("P/f", chunks=[b"v"])
    assert run(image_path) == "Files downloaded to " + native(save_dir)
    assert tree() == {"results", save_dir.rstrip("/"), save_dir.rstrip("/") + "/f", "sub"}


# The module's os, with another caller creating the save directory (or
# putting something else there) just before makedirs runs.
class RacingOs:
    def __init__(self, create):
        self.path = os.path
        self.create = create
        self.calls = []

    def makedirs(self, path):
        self.calls.append(path)
        self.create(path)
        return os.makedirs(path)


def make_dir(path):
    os.makedirs(path)


def make_file(path):
    os.makedirs(os.path.dirname(path))
    open(path, "wb").close()


@pytest.mark.parametrize("create, error", [(make_dir, None), (make_file, FileExistsError)])
def test_save_directory_created_by_another_caller_meanwhile(service, monkeypatch, create, error):
    racing = RacingOs(create)
    monkeypatch.setattr(pm, "os", racing)
    service.answer(ok(["f"], path="P"))
    service.serve("P/f", chunks=[b"v"])
    if error:
        with pytest.raises(error):
            run()
        assert service.gets() == []
    else:
        assert run() == DOWNLOADED
        assert open("results/img.png/f", "rb").read() == b"v"
    assert racing.calls == [native("results/img.png")]


def test_existing_directory_is_reused_and_its_other_files_kept(service):
    os.makedirs("results/img.png")
    with open("results/img.png/keep.txt", "wb") as kept:
        kept.write(b"mine")
    with open("results/img.png/f", "wb") as old:
        old.write(b"old result that is longer")
    service.answer(ok(["f"], path="P"))
    service.serve("P/f", chunks=[b"new"])
    run()
    assert sorted(os.listdir("results/img.png")) == ["f", "keep.txt"]
    assert open("results/img.png/keep.txt", "rb").read() == b"mine"
    assert open("results/img.png/f", "rb").read() == b"new"


def test_final_name_appears_only_once_the_body_is_complete(service):
    seen = []

    def look():
        seen.append(sorted(os.listdir("results/img.png")))
        return b"more"

    service.answer(ok(["f"], path="P"))
    service.serve("P/f", chunks=[b"start", look, look])
    run()
    assert len(seen) == 2
    for listing in seen:
        [temporary] = listing
        assert temporary.startswith(".pixelmend-") and temporary.endswith(".part")
    assert os.listdir("results/img.png") == ["f"]
    assert open("results/img.png/f", "rb").read() == b"startmoremore"


@pytest.mark.parametrize("earlier", [None, b"earlier complete file"])
@pytest.mark.parametrize("bad", [TransportError("reset by peer"), "text", 5, object()], ids=["reset", "text", "int", "object"])
def test_broken_body_leaves_no_torn_file(service, earlier, bad):
    if earlier is not None:
        os.makedirs("results/img.png")
        with open("results/img.png/f", "wb") as old:
            old.write(earlier)
    service.answer(ok(["f", "next"], path="P"))
    service.serve("P/f", chunks=[b"half", bad])
    service.serve("P/next", chunks=[b"never"])
    with pytest.raises(TransportError if isinstance(bad, TransportError) else TypeError) as raised:
        run()
    if isinstance(bad, TransportError):
        assert raised.value is bad
    assert service.gets() == ["P/f"]
    expected = {"results", "results/img.png"} | ({"results/img.png/f"} if earlier else set())
    assert tree() == expected
    if earlier is not None:
        assert open("results/img.png/f", "rb").read() == earlier


def test_write_error_mid_body_leaves_no_torn_file(service):
    os.makedirs("results/img.png")
    with open("results/img.png/f", "wb") as old:
        old.write(b"earlier")
    service.answer(ok(["f"], path="P"))
    service.serve("P/f", chunks=[b"a" * 4096, b"b" * 8192])
    resource = pytest.importorskip("resource", reason="file size limits are POSIX's")
    previous_handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (6000, hard))
    try:
        with pytest.raises(OSError) as raised:
            run()
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, previous_handler)
    assert raised.value.errno == 27
    assert sorted(os.listdir("results/img.png")) == ["f"]
    assert open("results/img.png/f", "rb").read() == b"earlier"


def test_final_name_taken_by_a_directory(service):
    os.makedirs("results/img.png/f/inner")
    service.answer(ok(["f"], path="P"))
    service.serve("P/f", chunks=[b"v"])
    with pytest.raises(OSError) as raised:
        run()
    assert raised.value.filename == native("results/img.png/f")
    assert tree() == {"results", "results/img.png", "results/img.png/f", "results/img.png/f/inner"}


@pytest.mark.parametrize("umask, mode", [(0o022, 0o644), (0o077, 0o600), (0o002, 0o664), (0, 0o666)])
def test_file_mode_follows_the_umask(service, umask, mode):
    service.answer(ok(["f"], path="P"))
    service.serve("P/f", chunks=[b"v"])
    previous = os.umask(umask)
    try:
        run()
    finally:
        os.umask(previous)
    assert stat.S_IMODE(os.stat("results/img.png/f").st_mode) == mode


def test_print_is_looked_up_in_the_module_first(service, monkeypatch, capsys):
    lines = []
    monkeypatch.setattr(pm, "print", lambda *args: lines.append(args), raising=False)
    service.answer(ok(["x/y"], path="P"))
    run()
    assert lines == [("Failed to download x/y",)]
    assert capsys.readouterr().out == ""


@pytest.fixture
def real_upload(service, monkeypatch):
    with open("img.png", "wb") as image:
        image.write(b"\x89PNG pixels")
    kept = []

    def helper(fields, image_path):
        result = handle_image_path(fields, image_path)
        kept.append(result)
        return result

    monkeypatch.setattr(pm, "handle_image_path", helper)
    return kept


def readers(kept):
    [fields] = kept
    return [value[1] for _, value in fields if isinstance(value, tuple)]


@pytest.mark.parametrize(
    "outcome",
    ["success", "refusal", "status", "transport", "json", "download"],
)
def test_upload_readers_are_closed_whatever_the_outcome(service, real_upload, outcome):
    service.answer(ok(["f"], path="P"))
    service.serve("P/f", chunks=[b"v"])
    if outcome == "refusal":
        service.answer({"success": False})
    elif outcome == "status":
        service.answer(ok([]), status=502)
    elif outcome == "transport":
        service.reply = TransportError("down")
    elif outcome == "json":
        service.answer(ValueError("not json"))
    elif outcome == "download":
        service.serve("P/f", chunks=[TransportError("cut")])
    if outcome == "success":
        run()
    else:
        with pytest.raises(Exception) as raised:
            run()
        assert raised.traceback
    [reader] = readers(real_upload)
    assert type(reader).__name__ == "UploadFile" and reader.closed


class Stream:
    closed = False

    def close(self):
        self.closed = True


# A class can take the reader's very name; only the helper module's own type
# is closed by the exchange.
@pytest.mark.parametrize("name", ["Stream", "pixelmend.utils.utils.UploadFile"])
def test_only_upload_readers_are_closed(service, name):
    stream = type(name, (Stream,), {})()
    service.helper.result = [("api_key", "K"), ("image", ("img.png", stream, "image/png"))]
    service.answer(ok([]))
    run()
    assert stream.closed is False


def test_both_readers_of_a_face_pair_are_closed(service, monkeypatch):
    for name in ("a.png", "b.png"):
        with open(name, "wb") as image:
            image.write(b"\x89PNG face")
    kept = []

    def helper(fields, image_path, to_compare):
        kept.append(handle_image_path_id(fields, image_path, to_compare))
        return kept[-1]

    monkeypatch.setattr(pm, "handle_image_path_id", helper)
    service.answer({"success": False})
    with pytest.raises(Exception, match="API responded"):
        pm.Pixelmend("K").face_id_verification("a.png", "b.png")
    files = readers(kept)
    assert len(files) == 2 and all(f.closed for f in files)


def test_symlink_at_the_final_name_is_replaced_not_followed(service, tmp_path):
    outside = tmp_path / "outside.txt"
    outside.write_bytes(b"not yours")
    os.makedirs("results/img.png")
    os.symlink(outside, "results/img.png/f")
    service.answer(ok(["f"], path="P"))
    service.serve("P/f", chunks=[b"result"])
    run()
    assert outside.read_bytes() == b"not yours"
    assert not os.path.islink("results/img.png/f")
    assert open("results/img.png/f", "rb").read() == b"result"


class Boom(Exception):
    pass


# Whichever protocol the exchange uses on it (==, truth, str, iteration), it raises.
class Hostile:
    def __eq__(self, other):
        raise Boom("==")

    def __bool__(self):
        raise Boom("bool")

    def __str__(self):
        raise Boom("str")

    def __iter__(self):
        raise Boom("iter")

    __hash__ = None


def hostile_in_reply(**changes):
    def arrange(service):
        service.answer(dict(ok(["f"], path="P"), **changes))
        service.serve("P/f", chunks=[b"v"])

    return arrange


def hostile_reply_status(service):
    service.answer(ok([]), status=Hostile())


def hostile_error_text(service):
    service.answer(ok([]), status=500, text=Hostile())


def hostile_helper_result(service):
    service.helper.result = Hostile()


def hostile_chunk(service):
    service.answer(ok(["f"], path="P"))
    service.serve("P/f", chunks=[b"v", Hostile()])


def hostile_download_status(service):
    service.answer(ok(["f"], path="P"))
    service.serve("P/f", status=Hostile())


def hostile_exit_result(service):
    service.reply = TransportError()
    service.exit_result = Hostile()


@pytest.mark.parametrize(
    "arrange",
    [
        hostile_helper_result,
        hostile_reply_status,
        hostile_error_text,
        hostile_exit_result,
        hostile_in_reply(success=Hostile()),
        hostile_in_reply(success=False, message=Hostile()),
        hostile_in_reply(path=Hostile()),
        hostile_in_reply(filenames=Hostile()),
        hostile_in_reply(filenames=[Hostile()]),
        hostile_download_status,
        hostile_chunk,
    ],
)
def test_errors_of_objects_from_the_helper_and_the_service_propagate(service, arrange):
    arrange(service)
    with pytest.raises(Boom):
        run()
    assert not [name for name in tree() if name.endswith(".part")]
