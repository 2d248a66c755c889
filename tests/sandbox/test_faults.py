import io
import os
import time

import pytest
import requests
from PIL import Image
from requests_toolbelt import MultipartEncoder

BLACK_WHITE = "/vision/v0/black-white"


@pytest.fixture
def upload(png_bytes):
    return [("api_key", "k"), ("option", "1"), ("image", ("photo.png", png_bytes((300, 200)), "image/png"))]


@pytest.fixture
def good_reply(post, upload):
    def send():
        reply = post(BLACK_WHITE, upload).json()
        assert reply["success"] is True
        return reply

    return send


@pytest.mark.parametrize("status, body", [(500, "internal trouble"), (503, ""), (401, "no entry"), (200, "ok")])
def test_next_post_status_and_body(service, post, upload, status, body):
    service.faults.fail_next_post(status, body)
    response = post(BLACK_WHITE, upload)
    assert (response.status_code, response.text) == (status, body)
    assert post(BLACK_WHITE, upload).json()["success"] is True


@pytest.mark.parametrize(
    "payload",
    [
        {"success": False},
        {"success": False, "message": "quota exceeded"},
        ["success", True],
        42,
        None,
        {"success": "yes", "filenames": "photo_bw.png", "path": 7},
    ],
)
def test_next_post_arbitrary_json(service, post, upload, payload):
    service.faults.answer_next_post(payload)
    assert post(BLACK_WHITE, upload).json() == payload


@pytest.mark.parametrize("message", [None, "", "quota exceeded"])
def test_refusal_with_and_without_message(service, post, upload, message):
    service.faults.refuse_next_post(message)
    reply = post(BLACK_WHITE, upload).json()
    assert reply["success"] is False
    assert ("message" in reply) == (message is not None)
    assert reply.get("message") == message


@pytest.mark.parametrize("body", ["<html>gateway</html>", "", "{not json", "\x00\xff"])
def test_non_json_reply(service, post, upload, body):
    service.faults.answer_next_post_raw(body)
    response = post(BLACK_WHITE, upload)
    assert response.status_code == 200
    with pytest.raises(ValueError):
        response.json()


@pytest.mark.parametrize("keys", [("success",), ("filenames",), ("path",), ("success", "filenames", "path", "message")])
def test_reply_missing_keys_still_processes(service, post, upload, fetch, keys):
    service.faults.drop_from_next_reply(*keys)
    reply = post(BLACK_WHITE, upload).json()
    assert not set(keys) & set(reply)
    assert set(reply) | set(keys) == {"success", "filenames", "path", "message"}


def test_override_keeps_the_real_results(service, post, upload, fetch):
    service.faults.override_next_reply(success=1, message="odd")
    reply = post(BLACK_WHITE, upload).json()
    assert reply["success"] == 1 and reply["message"] == "odd"
    assert fetch(reply, reply["filenames"][0]).status_code == 200


def test_faults_apply_in_order_one_per_post(service, post, upload):
    service.faults.fail_next_post(502)
    service.faults.refuse_next_post("second")
    statuses = [post(BLACK_WHITE, upload) for _ in range(3)]
    assert statuses[0].status_code == 502
    assert statuses[1].json() == {"success": False, "message": "second"}
    assert statuses[2].json()["success"] is True


UNSAFE_NAMES = ["../evil.png", "/etc/x", "a/b.png", "..", "", "a\\b", "../../../../tmp/evil"]


def test_planted_unsafe_filenames_are_served(service, post, upload):
    service.faults.plant_filenames(UNSAFE_NAMES, content=b"PLANTED")
    reply = post(BLACK_WHITE, upload).json()
    assert reply["success"] is True and reply["filenames"] == UNSAFE_NAMES
    for name in UNSAFE_NAMES:
        response = requests.get(reply["path"] + "/" + name, verify=False)
        assert (response.status_code, response.content) == (200, b"PLANTED")


def test_missing_download_is_404_once(service, good_reply, fetch):
    reply = good_reply()
    service.faults.missing_download("photo_bw.png")
    assert fetch(reply, "photo_bw.png").status_code == 404
    assert fetch(reply, "photo_bw.png").status_code == 200


@pytest.fixture
def noisy_reply(post):
    noise = Image.frombytes("RGB", (300, 200), os.urandom(300 * 200 * 3))
    buffer = io.BytesIO()
    noise.save(buffer, "PNG")
    reply = post(BLACK_WHITE, [("api_key", "k"), ("option", "1"), ("image", ("noise.png", buffer.getvalue(), "image/png"))])
    return reply.json()


@pytest.mark.parametrize("after_bytes", [0, 1, 100, 20_000, 10**9])
def test_cut_download_breaks_the_transfer(service, noisy_reply, fetch, after_bytes):
    full = fetch(noisy_reply, "noise_bw.png").content
    assert len(full) > 50_000
    service.faults.cut_download("noise_bw.png", after_bytes)
    response = requests.get(noisy_reply["path"] + "/noise_bw.png", stream=True, verify=False)
    assert response.status_code == 200
    assert int(response.headers["Content-Length"]) == len(full)
    received = bytearray()
    with pytest.raises((requests.exceptions.ChunkedEncodingError, requests.exceptions.ConnectionError)):
        for chunk in response.iter_content(chunk_size=8192):
            received += chunk
    assert full.startswith(bytes(received))
    assert len(received) <= after_bytes
    assert fetch(noisy_reply, "noise_bw.png").content == full


def test_delays(service, good_reply, post, upload, fetch):
    service.faults.delay_next_post(0.4)
    started = time.monotonic()
    reply = post(BLACK_WHITE, upload).json()
    assert time.monotonic() - started >= 0.4
    service.faults.delay_download("photo_bw.png", 0.4)
    started = time.monotonic()
    assert fetch(reply, "photo_bw.png").status_code == 200
    assert time.monotonic() - started >= 0.4


@pytest.mark.xdist_group("measuring")
def test_clear_drops_every_pending_fault(service, good_reply, post, upload, fetch):
    reply = good_reply()
    service.faults.fail_next_post(500)
    service.faults.delay_next_post(5)
    service.faults.missing_download("photo_bw.png")
    service.faults.serve_unknown_downloads(b"x")
    service.faults.clear()
    started = time.monotonic()
    assert post(BLACK_WHITE, upload).status_code == 200
    assert fetch(reply, "photo_bw.png").status_code == 200
    assert fetch(reply, "../evil.png").status_code == 404
    assert time.monotonic() - started < 4


def test_unread_post_drains_the_body_and_counts_it(service, post):
    body = os.urandom(3 * 1024 * 1024 + 5)
    fields = [("api_key", "k"), ("image", ("big.bin", body, "application/octet-stream"))]
    service.faults.answer_next_post_unread({"success": True, "filenames": [], "path": "p"})
    reply = post(BLACK_WHITE, fields).json()
    assert reply["success"] is True and reply["received_bytes"] > len(body)
    assert post(BLACK_WHITE, fields).json()["success"] is False


@pytest.mark.xdist_group("measuring")
def test_stalled_post_reads_the_upload_then_answers_nothing_until_released(service, post, upload):
    service.faults.stall_next_post()
    encoder = MultipartEncoder(fields=upload)
    started = time.monotonic()
    with pytest.raises(requests.exceptions.ReadTimeout):
        requests.post(service.url + BLACK_WHITE, data=encoder, headers={"Content-Type": encoder.content_type},
                      verify=False, timeout=0.5)
    assert time.monotonic() - started < 4
    service.faults.release_stalls()
    assert post(BLACK_WHITE, upload).json()["success"] is True


@pytest.mark.parametrize("after_bytes", [None, 0, 20_000])
def test_stalled_download_sends_nothing_or_its_first_bytes(service, noisy_reply, fetch, after_bytes):
    full = fetch(noisy_reply, "noise_bw.png").content
    service.faults.stall_download("noise_bw.png", after_bytes)
    url = noisy_reply["path"] + "/noise_bw.png"
    if after_bytes is None:
        with pytest.raises(requests.exceptions.ReadTimeout):
            requests.get(url, stream=True, verify=False, timeout=0.5)
    else:
        response = requests.get(url, stream=True, verify=False, timeout=0.5)
        assert int(response.headers["Content-Length"]) == len(full)
        received = bytearray()
        with pytest.raises(requests.exceptions.ConnectionError, match="timed out"):
            for chunk in response.iter_content(chunk_size=8192):
                received += chunk
        # What the client read into an unfinished chunk is lost with the timeout.
        assert full.startswith(bytes(received)) and after_bytes - 8192 < len(received) <= after_bytes
    service.faults.clear()
    assert fetch(noisy_reply, "noise_bw.png").content == full
