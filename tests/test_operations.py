import os
import pathlib

import pytest

import pixelmend.main as pm

SERVICE = "https://api.pixelmend.ai"


class Reply:
    status_code = 200
    text = ""

    def json(self):
        return {"success": True, "filenames": [], "path": "p"}


class Requests:
    def __init__(self):
        self.log = []

    def post(self, *args, **kwargs):
        self.log.append(("post", args, kwargs))
        return Reply()

    def get(self, *args, **kwargs):
        raise AssertionError("no download expected")


class Encoder:
    content_type = "multipart/form-data; boundary=b"

    def __init__(self, **kwargs):
        self.fields = kwargs["fields"]


class Helper:
    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        fields = list(args[0])
        return fields if self.result is None else self.result


@pytest.fixture
def bind_requests(monkeypatch, answering_requests):
    def bind(requests):
        monkeypatch.setattr(pm, "requests", answering_requests(requests.post, requests.get))

    return bind


@pytest.fixture
def fakes(monkeypatch, tmp_path, bind_requests):
    monkeypatch.chdir(tmp_path)
    requests = Requests()
    helpers = {"handle_image_path": Helper(), "handle_image_path_id": Helper()}
    bind_requests(requests)
    monkeypatch.setattr(pm, "MultipartEncoder", Encoder)
    for name, helper in helpers.items():
        monkeypatch.setattr(pm, name, helper)
    return requests, helpers


def key_field(key="K"):
    return ("api_key", key)


DETECTION_DEFAULTS = [key_field(), ("option", "0"), ("confidence_threshold", "0.25"), ("display", "Boxes")]

OPERATIONS = [
    pytest.param(
        lambda c: c.segment_image("img.png"),
        "/vision/v0/segmention-masks",
        "handle_image_path",
        [key_field(), ("option", "0")],
        ("img.png",),
        id="segment_image",
    ),
    pytest.param(
        lambda c: c.black_white("img.png"),
        "/vision/v0/black-white",
        "handle_image_path",
        [key_field(), ("option", "1")],
        ("img.png",),
        id="black_white",
    ),
    pytest.param(
        lambda c: c.colorization("img.png"),
        "/vision/v0/colorization",
        "handle_image_path",
        [key_field(), ("option", "2")],
        ("img.png",),
        id="colorization",
    ),
    pytest.param(
        lambda c: c.smart_object_detection("img.png"),
        "/vision/v0/smart-object-detection",
        "handle_image_path",
        DETECTION_DEFAULTS,
        ("img.png",),
        id="detection-defaults",
    ),
    pytest.param(
        lambda c: c.smart_object_detection("img.png", "Masks", 0.5, 3, "#f00"),
        "/vision/v0/smart-object-detection",
        "handle_image_path",
        [key_field(), ("option", 3), ("confidence_threshold", 0.5), ("display", "Masks"), ("color", "#f00")],
        ("img.png",),
        id="detection-positional",
    ),
    pytest.param(
        lambda c: c.smart_object_detection(color="ff0000", option="7", display=None, image_path="img.png"),
        "/vision/v0/smart-object-detection",
        "handle_image_path",
        [key_field(), ("option", "7"), ("confidence_threshold", "0.25"), ("display", None), ("color", "ff0000")],
        ("img.png",),
        id="detection-keywords",
    ),
    pytest.param(
        lambda c: c.get_identity_data("img.png", " cm "),
        "/vision/v0/getIdentityData",
        "handle_image_path",
        [key_field(), ("country", " CM ")],
        ("img.png",),
        id="get_identity_data",
    ),
    pytest.param(
        lambda c: c.face_id_verification("a.png", "b.png"),
        "/vision/v0/faceIdVerification",
        "handle_image_path_id",
        [key_field()],
        ("a.png", "b.png"),
        id="face_id_verification",
    ),
    pytest.param(
        lambda c: c.face_id_verification("a.png", to_compare=pathlib.Path("b.png")),
        "/vision/v0/faceIdVerification",
        "handle_image_path_id",
        [key_field()],
        ("a.png", pathlib.Path("b.png")),
        id="face_id_verification-any-second-path",
    ),
]


@pytest.mark.parametrize("call, endpoint, helper_name, fields, paths", OPERATIONS)
def test_operation_fields_endpoint_and_helper(fakes, call, endpoint, helper_name, fields, paths):
    requests, helpers = fakes
    assert call(pm.Pixelmend("K")) == "Files downloaded to " + os.path.join("results", paths[0])
    [(args, kwargs)] = helpers[helper_name].calls
    other = [h for name, h in helpers.items() if name != helper_name]
    assert other[0].calls == []
    assert kwargs == {}
    assert type(args[0]) is list and args[0] == fields
    assert all(type(entry) is tuple for entry in args[0])
    assert args[1:] == paths
    [(_, post_args, _)] = requests.log
    assert post_args == (SERVICE + endpoint,)


def test_detection_values_are_forwarded_as_the_same_objects(fakes):
    _, helpers = fakes
    display, threshold, option, color = object(), object(), object(), object()
    pm.Pixelmend("K").smart_object_detection("img.png", display, threshold, option, color)
    [((fields, _), _)] = helpers["handle_image_path"].calls
    assert [value for _, value in fields[1:]] == [option, threshold, display, color]
    assert all(sent is given for (_, sent), given in zip(fields[1:], [option, threshold, display, color]))


@pytest.mark.parametrize(
    "color, sent",
    [("", False), (None, False), (0, False), ([], False), ("#fff", True), (1, True), (["x"], True), (" ", True)],
)
def test_color_goes_out_only_when_truthy(fakes, color, sent):
    _, helpers = fakes
    pm.Pixelmend("K").smart_object_detection("img.png", color=color)
    [((fields, _), _)] = helpers["handle_image_path"].calls
    assert (fields[-1] == ("color", color)) is sent
    assert len(fields) == 4 + sent


class Shouting:
    def upper(self):
        return "LOUD"


@pytest.mark.parametrize("country, sent", [("cm", "CM"), ("Sen", "SEN"), ("ß", "SS"), ("", ""), (Shouting(), "LOUD")])
def test_country_is_upper_cased_before_the_helper(fakes, country, sent):
    _, helpers = fakes
    pm.Pixelmend("K").get_identity_data("img.png", country)
    [((fields, _), _)] = helpers["handle_image_path"].calls
    assert fields == [key_field(), ("country", sent)]


@pytest.mark.parametrize("country", [None, 5, b"cm"[0]])
def test_country_without_upper_stops_before_the_helper(fakes, country):
    requests, helpers = fakes
    with pytest.raises(AttributeError):
        pm.Pixelmend("K").get_identity_data("img.png", country)
    assert helpers["handle_image_path"].calls == [] and requests.log == []


class TextSubclass(str):
    pass


TYPED_CALLS = [
    pytest.param(lambda c, p: c.segment_image(p), id="segment_image"),
    pytest.param(lambda c, p: c.black_white(p), id="black_white"),
    pytest.param(lambda c, p: c.colorization(p), id="colorization"),
    pytest.param(lambda c, p: c.smart_object_detection(p), id="smart_object_detection"),
    pytest.param(lambda c, p: c.get_identity_data(p, "cm"), id="get_identity_data"),
    pytest.param(lambda c, p: c.face_id_verification(p, "b.png"), id="face_id_verification"),
]


@pytest.mark.parametrize("call", TYPED_CALLS)
@pytest.mark.parametrize("image_path", [b"img.png", pathlib.Path("img.png"), 5, TextSubclass("img.png"), ["img.png"]])
def test_image_path_must_be_exactly_text_or_none(fakes, monkeypatch, call, image_path):
    requests, helpers = fakes

    class Client(pm.Pixelmend):
        @property
        def key(self):
            raise AssertionError("the key must not be read")

    with pytest.raises(TypeError, match="image_path"):
        call(Client.__new__(Client), image_path)
    assert all(h.calls == [] for h in helpers.values()) and requests.log == []


@pytest.mark.parametrize("call", TYPED_CALLS)
def test_none_path_reaches_the_helper_and_a_false_result_names_it(fakes, call):
    requests, helpers = fakes
    for helper in helpers.values():
        helper.result = False
    assert call(pm.Pixelmend("K"), None) == "File does not exist: None"
    asked = [args[1] for helper in helpers.values() for args, _ in helper.calls]
    # The pair helper's False is followed by asking about the first path alone.
    assert asked == ([None, None] if helpers["handle_image_path_id"].calls else [None])
    assert requests.log == []


@pytest.mark.parametrize(
    "image, to_compare, named",
    [
        ("a.png", "missing.png", "missing.png"),
        ("missing.png", "a.png", "missing.png"),
        ("gone.png", "missing.png", "gone.png"),
        ("no_images", "a.png", "no_images"),
        ("a.png", "no_images", "no_images"),
    ],
)
def test_face_verification_names_the_first_path_without_an_image(monkeypatch, tmp_path, bind_requests, image,
                                                                  to_compare, named):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.png").write_bytes(b"px")
    (tmp_path / "no_images").mkdir()
    requests = Requests()
    bind_requests(requests)
    assert pm.Pixelmend("K").face_id_verification(image, to_compare) == "File does not exist: " + named
    assert requests.log == []


def test_key_is_read_at_each_call(fakes):
    _, helpers = fakes
    client = pm.Pixelmend("first")
    client.segment_image("img.png")
    client.key = "second"
    client.segment_image("img.png")
    del client.key
    with pytest.raises(AttributeError):
        client.segment_image("img.png")
    keys = [args[0][0] for args, _ in helpers["handle_image_path"].calls]
    assert keys == [("api_key", "first"), ("api_key", "second")]


def test_key_of_any_type_is_sent_as_given(fakes):
    _, helpers = fakes
    key = object()
    client = pm.Pixelmend("K")
    client.key = key
    client.face_id_verification("a.png", "b.png")
    [((fields, _, _), _)] = helpers["handle_image_path_id"].calls
    assert fields[0][1] is key


def test_names_rebound_after_import_are_used_by_the_next_call(fakes, monkeypatch, bind_requests):
    first, _ = fakes
    client = pm.Pixelmend("K")
    client.black_white("img.png")
    second = Requests()
    bind_requests(second)
    client.black_white("img.png")
    assert len(first.log) == 1 and len(second.log) == 1

    replaced = Helper(result=0)
    monkeypatch.setattr(pm, "handle_image_path", replaced)
    assert client.black_white("img.png") == "File does not exist: img.png"
    assert len(replaced.calls) == 1 and len(second.log) == 1


@pytest.mark.parametrize("name", ["requests", "MultipartEncoder", "handle_image_path", "os"])
def test_a_removed_module_name_is_a_name_error(fakes, monkeypatch, name):
    monkeypatch.delattr(pm, name)
    with pytest.raises(NameError, match=name):
        pm.Pixelmend("K").colorization("img.png")
