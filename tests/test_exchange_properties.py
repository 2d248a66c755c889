import os
import tempfile
from urllib.parse import quote

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pixelmend.main as pm


class TransportError(Exception):
    pass


BREAK = "break the connection here"


class Reply:
    def __init__(self, status, text, payload):
        self.status_code = status
        self.text = text
        self.payload = payload

    def json(self):
        if self.payload is BREAK:
            raise ValueError("Expecting value: line 1 column 1 (char 0)")
        return self.payload


class Download:
    def __init__(self, status, chunks):
        self.status_code = status
        self.chunks = chunks

    def iter_content(self, chunk_size):
        assert chunk_size == 8192
        for chunk in self.chunks:
            if chunk is BREAK:
                raise TransportError("connection reset mid-body")
            yield chunk

    def outcome(self):
        body = b""
        for chunk in self.chunks:
            if chunk is BREAK:
                return TransportError
            if chunk and not isinstance(chunk, (bytes, bytearray)):
                return TypeError
            body += bytes(chunk or b"")
        return body


class Service:
    def __init__(self, reply, downloads):
        self.reply = reply
        self.downloads = list(downloads)
        self.served = []

    def post(self, url, data, headers, verify):
        if self.reply is BREAK:
            raise TransportError("connection refused")
        return self.reply

    def get(self, url, stream, verify):
        response = self.downloads.pop(0) if self.downloads else Download(404, [])
        self.served.append((url, response))
        return response


class Encoder:
    content_type = "multipart/form-data; boundary=x"

    def __init__(self, fields):
        self.fields = fields


def unprintable(c):
    return (ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F or 0xD800 <= ord(c) <= 0xDFFF
            or 0x202A <= ord(c) <= 0x202E or 0x2066 <= ord(c) <= 0x2069)


def unsafe(name):
    return isinstance(name, str) and (
        name in ("", ".", "..") or any(c in name for c in "/\\") or any(map(unprintable, name))
    )


# A name as its failure line shows it: control characters as escapes.
def shown(name):
    escapes = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}
    return "".join(
        escapes.get(c, f"\\x{ord(c):02x}" if ord(c) <= 0xFF else f"\\u{ord(c):04x}") if unprintable(c) else c
        for c in format(name, "")
    )


def mostly(common, rare, weight=4):
    return st.sampled_from([True] * weight + [False]).flatmap(lambda usual: common if usual else rare)


scalars = st.one_of(st.none(), st.booleans(), st.integers(-2, 300), st.text(max_size=4), st.lists(st.integers(), max_size=2))
names = mostly(
    mostly(st.sampled_from(["ok.png", "dup", "r.json"]), st.text(alphabet="abé -.\u200c", min_size=1, max_size=6), weight=2),
    st.one_of(
        st.sampled_from(["", ".", "..", "../up.png", "/abs.png", "a\\b", "nul\x00.png", "sub/x", "x\u202egnp.exe"]),
        st.text(alphabet="ab./\\\x00", min_size=1, max_size=6),
        st.integers(-2, 9),
        st.none(),
    ),
    weight=3,
)
chunks = mostly(
    st.one_of(st.binary(min_size=1, max_size=40), st.builds(bytearray, st.binary(max_size=8))),
    st.sampled_from([b"", "text", "", 0, 5, None, BREAK]),
    weight=6,
)
downloads = st.builds(Download, mostly(st.just(200), st.sampled_from([404, 500, "200"])), st.lists(chunks, max_size=5))
well_formed = st.fixed_dictionaries(
    {"success": st.just(True), "filenames": st.lists(names, max_size=5), "path": st.text(max_size=6)}
)
loose = st.fixed_dictionaries(
    {},
    optional={
        "success": scalars,
        "filenames": st.one_of(st.lists(names, max_size=4), scalars),
        "path": scalars,
        "message": scalars,
    },
)
payloads = mostly(well_formed, st.one_of(loose, scalars, st.just(BREAK)), weight=2)
replies = mostly(
    st.builds(Reply, mostly(st.just(200), st.sampled_from([404, 500, "200", 200.0])), st.text(max_size=5), payloads),
    st.just(BREAK),
    weight=6,
)
image_paths = mostly(
    st.sampled_from(["img.png", "/abs/dir/img.png", "scans/", "", ".", "dir/photo.jpg"]),
    st.one_of(st.text(alphabet="ab./é\x00", max_size=8), st.none(), st.integers(), st.binary(max_size=3)),
)
arguments = mostly(st.text(max_size=4), st.one_of(st.none(), st.integers()))
helper_results = mostly(st.just("fields"), st.sampled_from([False, 0]), weight=6)

OPERATIONS = {
    "segment_image": lambda c, path, extra: c.segment_image(path),
    "black_white": lambda c, path, extra: c.black_white(path),
    "colorization": lambda c, path, extra: c.colorization(path),
    "smart_object_detection": lambda c, path, extra: c.smart_object_detection(path, *extra),
    "get_identity_data": lambda c, path, extra: c.get_identity_data(path, extra[0]),
    "face_id_verification": lambda c, path, extra: c.face_id_verification(path, extra[0]),
}

LIBRARY_ERRORS = (TypeError, KeyError, AttributeError, ValueError, TransportError, OSError)


def walk(root):
    found_dirs, found_files = set(), set()
    for directory, dirs, files in os.walk(root):
        found_dirs.update(os.path.realpath(os.path.join(directory, d)) for d in dirs)
        found_files.update(os.path.realpath(os.path.join(directory, f)) for f in files)
    return found_dirs, found_files


def contents(files):
    saved = {}
    for path in files:
        with open(path, "rb") as result:
            saved[os.path.basename(path)] = result.read()
    return saved


def predicted_downloads(payload, served, seeded):
    files = dict(seeded)
    printed = []
    served = iter(served)
    for name in payload["filenames"]:
        if unsafe(name):
            printed.append(f"Failed to download {shown(name)}")
            continue
        if "path" not in payload:
            return files, printed, KeyError
        _, response = next(served)
        if response.status_code != 200:
            printed.append(f"Failed to download {shown(name)}")
            continue
        if not isinstance(name, str):
            return files, printed, TypeError
        body = response.outcome()
        if not isinstance(body, bytes):
            return files, printed, body
        files[name] = body
    assert next(served, None) is None
    return files, printed, None


def reaches_downloads(operation, image_path, extra, helper_result, reply):
    return (
        helper_result == "fields"
        and isinstance(image_path, str)
        and "\x00" not in os.path.basename(image_path)
        and os.path.basename(image_path) != ".."
        and (operation != "get_identity_data" or isinstance(extra[0], str))
        and isinstance(reply, Reply)
        and reply.status_code == 200
        and isinstance(reply.payload, dict)
        and "success" in reply.payload
        and bool(reply.payload["success"])
        and isinstance(reply.payload.get("filenames"), (list, str))
    )


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    operation=st.sampled_from(sorted(OPERATIONS)),
    image_path=image_paths,
    extra=st.lists(arguments, min_size=4, max_size=4),
    helper_result=helper_results,
    reply=replies,
    served=st.lists(downloads, max_size=6),
    seed_name=st.sampled_from([None, "ok.png", "dup"]),
)
def test_random_replies_have_only_documented_outcomes(
    tmp_path, answering_requests, operation, image_path, extra, helper_result, reply, served, seed_name
):
    root = tempfile.mkdtemp(dir=tmp_path)
    service = Service(reply, served)
    lines = []

    def helper(fields, *paths):
        return list(fields) + [("image", ("x.png", b"x", "image/png"))] if helper_result == "fields" else helper_result

    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(root)
        patch.setattr(pm, "requests", answering_requests(service.post, service.get))
        patch.setattr(pm, "MultipartEncoder", Encoder)
        patch.setattr(pm, "handle_image_path", helper)
        patch.setattr(pm, "handle_image_path_id", helper)
        patch.setattr(pm, "print", lines.append, raising=False)

        save_dir = None
        seeded = {}
        if isinstance(image_path, str):
            last = os.path.basename(image_path)
            if last in (".", ".."):
                last = os.path.basename(os.path.abspath(image_path))
            save_dir = os.path.join("results", last)
            if seed_name and "\x00" not in save_dir and os.path.basename(image_path) not in ("", ".", ".."):
                os.makedirs(save_dir)
                with open(os.path.join(save_dir, seed_name), "wb") as earlier:
                    earlier.write(b"earlier result")
                seeded[seed_name] = b"earlier result"

        before = walk(root)
        client = pm.Pixelmend("key")
        try:
            outcome = OPERATIONS[operation](client, image_path, extra)
        except Exception as error:
            outcome = error

    dirs, files = walk(root)
    assert not [f for f in files if f.endswith(".part")]

    if isinstance(outcome, str):
        if helper_result != "fields":
            assert outcome == f"File does not exist: {image_path}"
            assert (dirs, files) == before and contents(files) == seeded
            return
        assert outcome == f"Files downloaded to {save_dir}"
    elif type(outcome) is Exception:
        message = outcome.args[0]
        assert len(outcome.args) == 1
        if message.startswith("HT Error: "):
            assert reply.status_code != 200
            assert message == f"HT Error: {reply.status_code}, {reply.text}"
        else:
            assert not reply.payload["success"]
            assert message == f"API responded with an error: {reply.payload.get('message', 'No error message provided')}"
        assert (dirs, files) == before and contents(files) == seeded
        return
    else:
        assert isinstance(outcome, LIBRARY_ERRORS), repr(outcome)

    if save_dir is None:
        assert (dirs, files) == before and contents(files) == seeded
        return
    if "\x00" in save_dir:
        assert dirs <= before[0] | {os.path.realpath(os.path.join(root, "results"))} and files == before[1]
        return
    real_save_dir = os.path.realpath(os.path.join(root, save_dir))
    assert dirs <= {os.path.realpath(os.path.join(root, "results")), real_save_dir}
    assert all(os.path.dirname(f) == real_save_dir for f in files)

    if not reaches_downloads(operation, image_path, extra, helper_result, reply):
        assert not service.served
        assert all(f in before[1] for f in files) and contents(files) == seeded
        return
    payload = reply.payload
    for (url, _), name in zip(service.served, [n for n in payload["filenames"] if not unsafe(n)]):
        assert url == f"{payload['path']}/{quote(format(name, ''), safe='')}"
    expected, printed, error = predicted_downloads(payload, service.served, seeded)
    if error is None:
        assert outcome == f"Files downloaded to {save_dir}"
    else:
        assert type(outcome) is error
    assert lines == printed
    assert contents(files) == expected
