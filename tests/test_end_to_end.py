import hashlib
import os
import shutil
import sys
from pathlib import Path

import pytest
import requests

import pixelmend.main as pm

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")

KEY = "end-to-end-key"
EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def example(name):
    return str(EXAMPLES / name)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def the_post(service):
    [record] = [r for r in service.received() if r.method == "POST"]
    return record


def served_bytes(service, reply, name):
    request_id = reply["path"].rsplit("/", 1)[1]
    return (service.workspace / "results" / request_id / name).read_bytes()


def listing(directory):
    return sorted(os.listdir(directory))


OPERATIONS = [
    pytest.param(
        lambda c: c.segment_image(example("street.jpg")),
        "/vision/v0/segmention-masks",
        [("api_key", KEY), ("option", "0")],
        [("image", "street.jpg")],
        ["street_mask.png"],
        id="segment_image",
    ),
    pytest.param(
        lambda c: c.black_white(example("street.jpg")),
        "/vision/v0/black-white",
        [("api_key", KEY), ("option", "1")],
        [("image", "street.jpg")],
        ["street_bw.png"],
        id="black_white",
    ),
    pytest.param(
        lambda c: c.colorization(example("portrait_gray.jpg")),
        "/vision/v0/colorization",
        [("api_key", KEY), ("option", "2")],
        [("image", "portrait_gray.jpg")],
        ["portrait_gray_color.png"],
        id="colorization",
    ),
    pytest.param(
        lambda c: c.smart_object_detection(
            example("street.jpg"), display="Masks", confidence_threshold="0.5", option="2", color="#ff0000"
        ),
        "/vision/v0/smart-object-detection",
        [("api_key", KEY), ("option", "2"), ("confidence_threshold", "0.5"), ("display", "Masks"), ("color", "#ff0000")],
        [("image", "street.jpg")],
        ["street_detection.png", "street_detection.json"],
        id="smart_object_detection",
    ),
    pytest.param(
        lambda c: c.get_identity_data(example("id_card.png"), "cm"),
        "/vision/v0/getIdentityData",
        [("api_key", KEY), ("country", "CM")],
        [("image", "id_card.png")],
        ["id_card_identity.json"],
        id="get_identity_data",
    ),
    pytest.param(
        lambda c: c.face_id_verification(example("face_a.png"), example("face_b.png")),
        "/vision/v0/faceIdVerification",
        [("api_key", KEY)],
        [("image", "face_a.png"), ("image_to_compare", "face_b.png")],
        ["verification.json"],
        id="face_id_verification",
    ),
]


@pytest.mark.parametrize("call, endpoint, fields, uploads, results", OPERATIONS)
def test_operation_over_https(sandbox, call, endpoint, fields, uploads, results):
    save_dir = os.path.join("results", uploads[0][1])
    assert call(pm.Pixelmend(KEY)) == "Files downloaded to " + save_dir

    record = the_post(sandbox)
    assert (record.path, record.status, list(record.fields)) == (endpoint, 200, fields)
    assert list(record.parts) == [("field", name) for name, _ in fields] + [("file", f) for f, _ in uploads]
    for sent, (field, name) in zip(record.files, uploads):
        assert (sent.field, sent.filename) == (field, name)
        assert sent.sha256 == sha256((EXAMPLES / name).read_bytes())
        assert sent.content_type == ("image/png" if name.endswith(".png") else "image/jpeg")

    reply = record.reply
    assert reply["filenames"] == results
    assert listing(save_dir) == sorted(results)
    for name in results:
        assert Path(save_dir, name).read_bytes() == served_bytes(sandbox, reply, name)
    assert sandbox.routed_urls() == [("POST", sandbox.url + endpoint)] + [
        ("GET", reply["path"] + "/" + name) for name in results
    ]
    assert sandbox.errors == []


def test_directory_upload_and_repeated_run(sandbox):
    os.mkdir("batch")
    for name in ("street.jpg", "portrait_gray.jpg", "id_card.png"):
        shutil.copy(EXAMPLES / name, "batch")
    Path("batch", "notes.txt").write_text("not an image")
    client = pm.Pixelmend(KEY)

    assert client.black_white("batch") == "Files downloaded to " + os.path.join("results", "batch")
    record = the_post(sandbox)
    assert sorted(f.filename for f in record.files) == ["id_card.png", "portrait_gray.jpg", "street.jpg"]
    expected = ["id_card_bw.png", "portrait_gray_bw.png", "street_bw.png"]
    assert listing("results/batch") == expected
    first = {name: Path("results/batch", name).read_bytes() for name in expected}
    for name in expected:
        assert first[name] == served_bytes(sandbox, record.reply, name)

    Path("results/batch/mine.txt").write_bytes(b"kept")
    sandbox.reset()
    assert client.black_white("batch/") == "Files downloaded to " + os.path.join("results", "")
    assert listing("results") == ["batch"] + expected
    assert Path("results/batch/mine.txt").read_bytes() == b"kept"


def test_large_result_arrives_whole(sandbox):
    body = os.urandom(6 * 1024 * 1024 + 12345)
    sandbox.plant_results({"large.bin": body, "small.json": b"{}"})
    assert pm.Pixelmend(KEY).segment_image(example("street.jpg")) == "Files downloaded to " + os.path.join("results", "street.jpg")
    assert listing("results/street.jpg") == ["large.bin", "small.json"]
    assert sha256(Path("results/street.jpg/large.bin").read_bytes()) == sha256(body)
    assert Path("results/street.jpg/small.json").read_bytes() == b"{}"


@pytest.mark.parametrize("earlier", [False, True])
def test_download_cut_midway_leaves_no_torn_file(sandbox, earlier):
    client = pm.Pixelmend(KEY)
    old = os.urandom(3 * 1024 * 1024)
    if earlier:
        sandbox.plant_results({"large.bin": old})
        client.black_white(example("street.jpg"))
        assert Path("results/street.jpg/large.bin").read_bytes() == old

    sandbox.plant_results({"large.bin": os.urandom(4 * 1024 * 1024), "after.json": b"{}"})
    sandbox.faults.cut_download("large.bin", after_bytes=1024 * 1024)
    with pytest.raises(requests.exceptions.ChunkedEncodingError):
        client.black_white(example("street.jpg"))

    assert listing("results/street.jpg") == (["large.bin"] if earlier else [])
    if earlier:
        assert Path("results/street.jpg/large.bin").read_bytes() == old
    assert [url for method, url in sandbox.routed_urls() if url.endswith("after.json")] == []


def test_names_with_reserved_characters_fetch_their_own_file(sandbox):
    files = {"a#frag.png": b"hash", "a": b"plain a", "q?x=1.png": b"query", "q": b"plain q",
             "50%41.png": b"percent", "50A.png": b"decoded", "é ü.png": b"accents"}
    sandbox.plant_results(files)
    assert pm.Pixelmend(KEY).segment_image(example("street.jpg")) == "Files downloaded to " + os.path.join("results", "street.jpg")
    assert {name: Path("results/street.jpg", name).read_bytes() for name in files} == files


def test_unsafe_names_from_the_service(sandbox, capsys):
    unsafe = ["../escape.png", "/tmp/absolute.png", "..", ".", "", "a\\b.png", "nested/x.png"]
    if sys.platform == "win32":
        unsafe += ["C:drive.png", "NUL", "con.png", "trailing.", "trailing "]
    sandbox.faults.plant_filenames(unsafe + ["fine.png"], content=b"planted")
    client = pm.Pixelmend(KEY)
    assert client.colorization(example("portrait_gray.jpg")) == "Files downloaded to " + os.path.join("results", "portrait_gray.jpg")

    out = capsys.readouterr().out
    assert out == "".join(f"Failed to download {name}\n" for name in unsafe)
    gets = [url for method, url in sandbox.routed_urls() if method == "GET"]
    assert len(gets) == 1 and gets[0].endswith("/fine.png")
    found = [p.as_posix() for p in Path(".").rglob("*")]
    assert sorted(found) == ["results", "results/portrait_gray.jpg", "results/portrait_gray.jpg/fine.png"]
    assert Path("results/portrait_gray.jpg/fine.png").read_bytes() == b"planted"
    assert not Path("/tmp/absolute.png").exists()


def test_missing_download_is_reported_and_the_rest_kept(sandbox, capsys):
    sandbox.faults.missing_download("street_detection.png")
    client = pm.Pixelmend(KEY)
    assert client.smart_object_detection(example("street.jpg")) == "Files downloaded to " + os.path.join("results", "street.jpg")
    assert capsys.readouterr().out == "Failed to download street_detection.png\n"
    assert listing("results/street.jpg") == ["street_detection.json"]
    record = the_post(sandbox)
    assert Path("results/street.jpg/street_detection.json").read_bytes() == served_bytes(
        sandbox, record.reply, "street_detection.json"
    )


@pytest.mark.parametrize(
    "arrange, key, message",
    [
        (lambda s: s.faults.refuse_next_post("quota exceeded"), KEY, "API responded with an error: quota exceeded"),
        (lambda s: s.faults.refuse_next_post(), KEY, "API responded with an error: No error message provided"),
        (lambda s: None, "wrong-key", "API responded with an error: api_key is not valid"),
        (lambda s: s.faults.fail_next_post(503, "maintenance"), KEY, "HT Error: 503, maintenance"),
        (lambda s: s.faults.fail_next_post(500, ""), KEY, "HT Error: 500, "),
    ],
)
def test_refusals_over_https(sandbox, arrange, key, message):
    arrange(sandbox)
    with pytest.raises(Exception) as raised:
        pm.Pixelmend(key).segment_image(example("street.jpg"))
    assert type(raised.value) is Exception and raised.value.args == (message,)
    assert not os.path.exists("results")
    assert [method for method, _ in sandbox.routed_urls()] == ["POST"]


@pytest.mark.parametrize(
    "arrange, error",
    [
        (lambda s: s.faults.answer_next_post_raw("<html>gateway</html>"), ValueError),
        (lambda s: s.faults.answer_next_post([1, 2]), TypeError),
        (lambda s: s.faults.drop_from_next_reply("filenames"), KeyError),
    ],
)
def test_malformed_replies_over_https(sandbox, arrange, error):
    arrange(sandbox)
    with pytest.raises(error):
        pm.Pixelmend(KEY).segment_image(example("street.jpg"))


def test_missing_image_sends_nothing(sandbox):
    client = pm.Pixelmend(KEY)
    assert client.segment_image("nowhere.jpg") == "File does not exist: nowhere.jpg"
    assert client.face_id_verification(example("face_a.png"), "nowhere.png") == "File does not exist: nowhere.png"
    assert client.face_id_verification("gone.png", "nowhere.png") == "File does not exist: gone.png"
    assert sandbox.routed_urls() == [] and not os.path.exists("results")
