import types

import pytest
import requests

from pixelmend.sandbox import Service, running, serve

DETECTION = "/vision/v0/smart-object-detection"


def image(png_bytes, field="image", name="photo.png", content_type="image/png", data=None):
    return (field, (name, png_bytes() if data is None else data, content_type))


def detection(png_bytes, **overrides):
    fields = {"api_key": "k", "option": "0", "confidence_threshold": "0.25", "display": "Boxes"}
    fields.update(overrides)
    return [(name, value) for name, value in fields.items() if value is not None] + [image(png_bytes)]


@pytest.mark.parametrize(
    "overrides, complaint",
    [
        ({"api_key": None}, "api_key"),
        ({"api_key": ""}, "api_key"),
        ({"option": "one"}, "option"),
        ({"option": "6"}, "option"),
        ({"option": "00"}, "option"),
        ({"option": "9" * 5000}, "option"),
        ({"option": None}, "option"),
        ({"confidence_threshold": "0.2"}, "confidence_threshold"),
        ({"confidence_threshold": "0.30"}, "confidence_threshold"),
        ({"confidence_threshold": "0.95"}, "confidence_threshold"),
        ({"confidence_threshold": "high"}, "confidence_threshold"),
        ({"display": "boxes"}, "display"),
        ({"color": "#12"}, "color"),
        ({"color": "ff00zz"}, "color"),
        ({"color": "##ff0000"}, "color"),
        ({"colour": "#ff0000"}, "colour"),
    ],
)
def test_detection_refuses_bad_fields(post, png_bytes, overrides, complaint):
    response = post(DETECTION, detection(png_bytes, **overrides))
    assert response.status_code == 200
    reply = response.json()
    assert reply["success"] is False
    assert complaint in reply["message"]


@pytest.mark.parametrize("color", ["#ff0000", "ff0000", "#F0a", "0F0", None])
@pytest.mark.parametrize("threshold", ["0.25", "0.55", "0.9"])
def test_detection_accepts_good_fields(post, png_bytes, color, threshold):
    reply = post(DETECTION, detection(png_bytes, color=color, confidence_threshold=threshold)).json()
    assert reply["success"] is True, reply


@pytest.mark.parametrize(
    "path, fields, complaint",
    [
        ("/vision/v0/segmention-masks", [("api_key", "k"), ("option", "1")], "option"),
        ("/vision/v0/black-white", [("api_key", "k"), ("option", "0")], "option"),
        ("/vision/v0/colorization", [("api_key", "k")], "option"),
        ("/vision/v0/black-white", [("api_key", "k"), ("option", "1"), ("option", "1")], "2 times"),
        ("/vision/v0/getIdentityData", [("api_key", "k"), ("country", "cm")], "country"),
        ("/vision/v0/getIdentityData", [("api_key", "k"), ("country", "US")], "country"),
        ("/vision/v0/getIdentityData", [("api_key", "k")], "country"),
        ("/vision/v0/faceIdVerification", [("api_key", "k"), ("country", "DE")], "country"),
    ],
)
def test_fixed_fields_are_checked(post, png_bytes, path, fields, complaint):
    reply = post(path, fields + [image(png_bytes), image(png_bytes, "image_to_compare")]).json()
    assert reply["success"] is False
    assert complaint in reply["message"]


@pytest.mark.parametrize(
    "file_fields, complaint",
    [
        ([], "no file"),
        (["image"], "no file"),
        (["image_to_compare"], "no file"),
        (["image", "image", "image_to_compare"], "exactly 1"),
        (["image", "image_to_compare", "image_to_compare"], "exactly 1"),
        (["image", "image_to_compare", "other"], "unexpected file field"),
    ],
)
def test_face_verification_wants_one_image_of_each(post, png_bytes, file_fields, complaint):
    parts = [image(png_bytes, field) for field in file_fields]
    reply = post("/vision/v0/faceIdVerification", [("api_key", "k"), *parts]).json()
    assert reply["success"] is False
    assert complaint in reply["message"]


@pytest.mark.parametrize(
    "name, content_type, data, complaint",
    [
        ("clip.mp4", "application/octet-stream", b"\0\0\0\x18ftypmp42", "video"),
        ("clip.MOV", "image/png", b"\0" * 64, "video"),
        ("clip.bin", "video/x-matroska", b"\0" * 64, "video"),
        ("empty.png", "image/png", b"", "empty"),
        ("notes.png", "image/png", b"this is plain text, not pixels", "not an image"),
        ("broken.png", "image/png", b"\x89PNG\r\n\x1a\n" + b"\0" * 40, "not an image"),
    ],
)
def test_unusable_files_are_refused(service, post, png_bytes, name, content_type, data, complaint):
    fields = [("api_key", "k"), ("option", "1"), image(png_bytes), image(png_bytes, name=name, content_type=content_type, data=data)]
    reply = post("/vision/v0/black-white", fields).json()
    assert reply["success"] is False
    assert complaint in reply["message"]
    assert name in reply["message"]
    assert "part-" not in reply["message"] and str(service.workspace) not in reply["message"]


def test_image_sent_as_plain_field_is_not_a_file(post, png_bytes):
    reply = post("/vision/v0/black-white", [("api_key", "k"), ("option", "1"), ("image", "photo.png")]).json()
    assert reply["success"] is False


def test_refused_request_leaves_no_result_directory(post, service, png_bytes):
    results = service.workspace / "results"
    before = set(results.iterdir())
    post("/vision/v0/black-white", [("api_key", "k"), ("option", "0"), image(png_bytes)])
    post("/vision/v0/black-white", [("api_key", "k"), ("option", "1"), image(png_bytes, data=b"text")])
    assert set(results.iterdir()) == before


@pytest.mark.parametrize(
    "method, path, status",
    [
        ("POST", "/vision/v0/segmentation-masks", 404),
        ("POST", "/vision/v1/black-white", 404),
        ("GET", "/vision/v0/black-white", 405),
        ("PUT", "/vision/v0/colorization", 405),
        ("POST", "/results/0123456789abcdef0123456789abcdef/x.png", 405),
        ("GET", "/results/0123456789abcdef0123456789abcdef/x.png", 404),
        ("GET", "/results/not-an-id/x.png", 404),
        ("GET", "/", 404),
    ],
)
def test_unknown_paths_and_wrong_methods(service, method, path, status):
    assert requests.request(method, service.url + path, verify=False).status_code == status


@pytest.mark.parametrize(
    "headers, body",
    [
        ({"Content-Type": "application/json"}, b'{"api_key": "k"}'),
        ({"Content-Type": "multipart/form-data"}, b"--x\r\n"),
        ({"Content-Type": "multipart/form-data; boundary=x"}, b"--x\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nunterminated"),
    ],
)
def test_unreadable_bodies_get_400(service, headers, body):
    response = requests.post(service.url + "/vision/v0/black-white", data=body, headers=headers, verify=False)
    assert response.status_code == 400
    assert response.json()["success"] is False


@pytest.fixture(scope="module")
def strict_service():
    with serve(accepted_keys={"good-key"}) as strict:
        yield strict


@pytest.mark.parametrize("key, accepted", [("good-key", True), ("bad-key", False), ("good-key ", False)])
def test_configured_keys_are_enforced(post, strict_service, png_bytes, key, accepted):
    reply = post("/vision/v0/black-white", [("api_key", key), ("option", "1"), image(png_bytes)], base=strict_service.url).json()
    assert reply["success"] is accepted


STARTS = {
    "serve": lambda keys: serve(accepted_keys=keys),
    "running": lambda keys: running(accepted_keys=keys, module=types.ModuleType("unused_client")),
    "Service": lambda keys: Service(accepted_keys=keys),
}


# A text is one key, never the set of its characters.
@pytest.mark.parametrize("start", STARTS.values(), ids=STARTS.keys())
@pytest.mark.parametrize(
    "keys, accepted, refused",
    [
        ("test-key", ["test-key"], ["t", "test"]),
        (["test-key", "other"], ["test-key", "other"], ["t", "o"]),
        (frozenset({"test-key"}), ["test-key"], ["t"]),
    ],
    ids=["text", "list", "set"],
)
def test_accepted_keys_are_whole_texts(post, png_bytes, start, keys, accepted, refused):
    with start(keys) as strict:
        answers = {key: post("/vision/v0/black-white", [("api_key", key), ("option", "1"), image(png_bytes)],
                             base=strict.url).json()["success"] for key in accepted + refused}
    assert answers == {**dict.fromkeys(accepted, True), **dict.fromkeys(refused, False)}


@pytest.mark.parametrize("keys", [b"test-key", [b"test-key"], ["test-key", 7]], ids=["bytes", "bytes-in-list", "number"])
def test_accepted_keys_that_are_not_texts_are_refused(keys):
    with pytest.raises(TypeError, match="accepted_keys"):
        Service(accepted_keys=keys)
