import json
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from requests_toolbelt.multipart.encoder import MultipartEncoder

import pixelmend.main as pm
from pixelmend.utils.utils import handle_image_path, handle_image_path_id

BOUNDARY = "pixelmend-test-boundary"
MIB = 1024 * 1024


def drain(encoder, chunk):
    if chunk is None:
        return encoder.read()
    parts = []
    while True:
        part = encoder.read(chunk)
        if not part:
            return b"".join(parts)
        parts.append(part)


def encode(fields, chunk=None):
    encoder = MultipartEncoder(fields=fields, boundary=BOUNDARY)
    body = drain(encoder, chunk)
    assert encoder.len == len(body)
    return body


def with_open_files(fields):
    handles = []
    copied = []
    for field, value in fields:
        if isinstance(value, tuple) and not isinstance(value[1], str):
            handles.append(open(value[1].name, "rb"))
            value = (value[0], handles[-1], value[2])
        copied.append((field, value))
    return copied, handles


def reference_body(fields, chunk=None):
    copied, handles = with_open_files(fields)
    try:
        return encode(copied, chunk)
    finally:
        for handle in handles:
            handle.close()


def populate(directory, sizes):
    for index, size in enumerate(sizes):
        (directory / f"img{index:03d}.jpg").write_bytes(os.urandom(size))
    return directory


@pytest.mark.parametrize(
    "sizes, chunk",
    [
        ([0], None),
        ([10], None),
        ([3 * MIB + 17], None),
        ([3 * MIB + 17], 16384),
        ([5, 0, 70000, 1], None),
        ([5, 0, 70000, 1], 16384),
        ([5, 0, 3000, 1], 1),
        ([5, 0, 3000, 1], 7),
        ([2 * MIB, MIB + 1], 1_000_003),
    ],
)
def test_body_matches_the_one_built_from_open_files(tmp_path, sizes, chunk):
    fields = handle_image_path([("model", "v2"), ("note", "héllo")], populate(tmp_path, sizes))
    assert encode(fields, chunk) == reference_body(fields, chunk)


def test_id_helper_body_matches_the_one_built_from_open_files(tmp_path):
    first, second = tmp_path / "first", tmp_path / "second"
    first.mkdir()
    second.mkdir()
    populate(first, [100, 200])
    populate(second, [300])
    fields = handle_image_path_id([("k", "v")], first, second)
    assert encode(fields, 4096) == reference_body(fields, 4096)


@settings(max_examples=40, deadline=None)
@given(
    sizes=st.lists(st.integers(min_value=0, max_value=5000), min_size=1, max_size=4),
    chunk=st.one_of(st.none(), st.integers(min_value=1, max_value=9000)),
)
def test_any_files_read_in_any_chunks_encode_exactly(sizes, chunk):
    with tempfile.TemporaryDirectory() as directory:
        fields = handle_image_path([("a", "b")], populate(pathlib.Path(directory), sizes))
        assert encode(fields, chunk) == reference_body(fields, chunk)


def encode_in_thread(fields):
    outcome = {}

    def run():
        try:
            outcome["body"] = encode(fields, 8192)
        except Exception as error:
            outcome["error"] = error

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(timeout=30)
    assert not worker.is_alive(), "encoding did not finish"
    return outcome


@pytest.mark.parametrize(
    "change, error",
    [
        (lambda path: os.truncate(path, 600), OSError),
        (lambda path: os.truncate(path, 0), OSError),
        (os.unlink, FileNotFoundError),
    ],
)
def test_a_changed_file_stops_the_encoder_instead_of_hanging(tmp_path, change, error):
    path = tmp_path / "photo.jpg"
    path.write_bytes(b"x" * 100_000)
    fields = handle_image_path([], path)
    change(path)
    outcome = encode_in_thread(fields)
    assert isinstance(outcome.get("error"), error)
    assert str(path) in str(outcome["error"])


def test_a_grown_file_sends_exactly_its_listed_size(tmp_path):
    path = tmp_path / "photo.jpg"
    original = os.urandom(50_000)
    path.write_bytes(original)
    fields = handle_image_path([], path)
    with open(path, "ab") as handle:
        handle.write(b"appended")
    expected = encode([("image", ("photo.jpg", original, "image/jpeg"))], 8192)
    assert encode_in_thread(fields)["body"] == expected


BOUNDED_ENCODING = textwrap.dedent(
    """
    import json, os, pathlib, resource, sys
    from requests_toolbelt.multipart.encoder import MultipartEncoder
    from pixelmend.utils.utils import handle_image_path

    directory = sys.argv[1]
    fields = handle_image_path([], directory)
    expected = MultipartEncoder(
        fields=[(f, (n, pathlib.Path(r.name).read_bytes(), t)) for f, (n, r, t) in fields], boundary="b"
    ).read()
    resource.setrlimit(resource.RLIMIT_NOFILE, (32, 32))
    baseline = len(os.listdir("/proc/self/fd"))
    encoder = MultipartEncoder(fields=fields, boundary="b")
    peak, parts = baseline, []
    while True:
        part = encoder.read(1000)
        peak = max(peak, len(os.listdir("/proc/self/fd")))
        if not part:
            break
        parts.append(part)
    print(json.dumps({"files": len(fields), "growth": peak - baseline,
                      "same": b"".join(parts) == expected}))
    """
)


@pytest.mark.xdist_group("measuring")
def test_hundreds_of_files_encode_under_a_low_descriptor_limit(tmp_path):
    populate(tmp_path, [(index * 37) % 3000 for index in range(300)])
    completed = subprocess.run(
        [sys.executable, "-c", BOUNDED_ENCODING, str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert completed.returncode == 0, completed.stderr
    assert json.loads(completed.stdout) == {"files": 300, "growth": 1, "same": True}


class Unreachable:
    def Session(self):
        raise AssertionError("nothing may be sent")


@pytest.mark.parametrize("names", [[b"a\xff.png"], [b"good.png", b"z\xfe\xfd.jpg"]])
def test_an_undecodable_file_name_is_named_by_the_upload_error(tmp_path, monkeypatch, names):
    for name in names:
        (pathlib.Path(os.fsdecode(os.path.join(os.fsencode(tmp_path), name)))).write_bytes(b"px")
    monkeypatch.setattr(pm, "requests", Unreachable())
    with pytest.raises(UnicodeEncodeError) as raised:
        pm.Pixelmend("K").black_white(str(tmp_path))
    culprit = os.fsdecode(names[-1])
    error = raised.value
    assert repr(culprit) in str(error) and error.object == culprit
    assert error.object[error.start:error.end] == culprit[1:-4]
    assert isinstance(error.__cause__, UnicodeEncodeError) and "Content-Disposition" in error.__cause__.object
