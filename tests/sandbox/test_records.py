import hashlib
import io
import time

import pytest
from PIL import Image

from pixelmend.sandbox import FileRecord

DETECTION = "/vision/v0/smart-object-detection"


def test_fields_files_and_part_order_are_recorded(service, post, png_bytes):
    first, second = png_bytes((10, 10)), png_bytes((20, 20), "blue")
    fields = [
        ("api_key", "k"),
        ("option", "3"),
        ("image", ("one.png", first, "image/png")),
        ("confidence_threshold", "0.5"),
        ("display", "Masks"),
        ("image", ("two.jpg", second, "image/jpeg")),
        ("color", "#00ff00"),
    ]
    post(DETECTION, fields)
    record = service.received()[-1]
    assert (record.method, record.path, record.status) == ("POST", DETECTION, 200)
    assert record.fields == (
        ("api_key", "k"),
        ("option", "3"),
        ("confidence_threshold", "0.5"),
        ("display", "Masks"),
        ("color", "#00ff00"),
    )
    assert record.files == (
        FileRecord("image", "one.png", "image/png", len(first), hashlib.sha256(first).hexdigest()),
        FileRecord("image", "two.jpg", "image/jpeg", len(second), hashlib.sha256(second).hexdigest()),
    )
    assert [kind for kind, _ in record.parts] == ["field", "field", "file", "field", "field", "file", "field"]
    assert record.reply["success"] is True


def test_downloads_and_refusals_are_recorded(service, post, fetch, png_bytes):
    reply = post("/vision/v0/black-white", [("api_key", "k"), ("option", "1"), ("image", ("p.png", png_bytes(), "image/png"))]).json()
    fetch(reply, "p_bw.png")
    fetch(reply, "nothing.png")
    post("/vision/v0/black-white", [("api_key", ""), ("option", "1")])
    records = service.received()[-4:]
    assert [(r.method, r.status) for r in records] == [("POST", 200), ("GET", 200), ("GET", 404), ("POST", 200)]
    assert records[1].path.endswith("/p_bw.png")
    assert records[3].reply == {"success": False, "message": "api_key is missing or empty"}


def test_reset_forgets_records(service, post):
    post("/vision/v0/black-white", [("api_key", "k")])
    service.reset()
    assert service.received() == []


@pytest.mark.parametrize("value", ["naïve ✓", "line\r\nbreak", "  spaced  ", "x" * 5000])
def test_field_values_arrive_unchanged(service, post, value):
    post("/vision/v0/black-white", [("api_key", value)])
    assert service.received()[-1].fields == (("api_key", value),)


@pytest.mark.xdist_group("measuring")
def test_large_upload_is_streamed_to_disk(service, post, tmp_path):
    size = 200 * 1024 * 1024
    path = tmp_path / "large.png"
    buffer = io.BytesIO()
    Image.new("RGB", (4, 4), "green").save(buffer, "PNG")
    with open(path, "wb") as handle:
        handle.write(buffer.getvalue())
        handle.truncate(size)
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    resource = pytest.importorskip("resource", reason="the peak resident size is read through POSIX's getrusage")
    peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with open(path, "rb") as handle:
        reply = post("/vision/v0/black-white", [("api_key", "k"), ("option", "1"), ("image", ("large.png", handle, "image/png"))]).json()
    peak_growth_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak_before
    assert reply["success"] is True
    assert service.received()[-1].files[0].size == size
    assert service.received()[-1].files[0].sha256 == digest.hexdigest()
    assert peak_growth_kib < 100 * 1024
    assert not any((service.workspace / "uploads").iterdir())


def test_server_failures_are_kept_on_the_handle(service, post, monkeypatch):
    def broken(*args, **kwargs):
        raise RuntimeError("operation crashed")

    monkeypatch.setattr("pixelmend.sandbox.app.perform", broken)
    assert post("/vision/v0/black-white", [("api_key", "k")]).status_code == 500
    deadline = time.monotonic() + 5
    while not service.errors and time.monotonic() < deadline:
        time.sleep(0.01)
    assert any("operation crashed" in error for error in service.errors)
    service.reset()
