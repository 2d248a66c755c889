import pytest
from hypothesis import given, settings, strategies as st

import pixelmend.main as pm


def _check_text(name, value):
    if value is not None and type(value) is not str:
        raise TypeError(
            "Argument '%s' has incorrect type (expected str, got %s)" % (name, type(value).__name__)
        )


# Python functions with the same signatures: what they bind (or the error they
# raise) is what the compiled methods must bind or raise.
class Pixelmend:
    def __init__(self, key: "str"):
        _check_text("key", key)
        self.key = key
        return ("key", key)

    def segment_image(self, image_path: "str"):
        _check_text("image_path", image_path)
        return ("fields", [("api_key", self.key), ("option", "0")], image_path)

    def black_white(self, image_path: "str"):
        _check_text("image_path", image_path)
        return ("fields", [("api_key", self.key), ("option", "1")], image_path)

    def colorization(self, image_path: "str"):
        _check_text("image_path", image_path)
        return ("fields", [("api_key", self.key), ("option", "2")], image_path)

    def smart_object_detection(
        self, image_path: "str", display="Boxes", confidence_threshold="0.25", option="0", color=""
    ):
        _check_text("image_path", image_path)
        fields = [
            ("api_key", self.key),
            ("option", option),
            ("confidence_threshold", confidence_threshold),
            ("display", display),
        ]
        if color:
            fields.append(("color", color))
        return ("fields", fields, image_path)

    def get_identity_data(self, image_path: "str", country):
        _check_text("image_path", image_path)
        return ("fields", [("api_key", self.key), ("country", country.upper())], image_path)

    def face_id_verification(self, image_path: "str", to_compare):
        _check_text("image_path", image_path)
        return ("fields", [("api_key", self.key)], image_path, to_compare)

    def list_methods(self):
        return ("listed",)


class Client:
    key = "k"


class Text(str):
    pass


NAMES = [name for name in vars(Pixelmend) if not name.startswith("__") or name == "__init__"]
PARAMETER_NAMES = ["self", "key", "image_path", "display", "confidence_threshold", "option", "color",
                   "country", "to_compare", "x", "images"]
VALUES = st.sampled_from([None, "", "a.jpg", "cm", "0", 0, 1.5, b"x", Text("t"), ["l"], Client()])


def run_compiled(name, args, kwargs, monkeypatch):
    seen = []
    monkeypatch.setattr(pm, "handle_image_path", lambda fields, path: seen.append(("fields", fields, path)) or False)
    monkeypatch.setattr(
        pm, "handle_image_path_id",
        lambda fields, path, other: seen.append(("fields", fields, path, other)) or False,
    )
    returned = getattr(pm.Pixelmend, name)(*args, **kwargs)
    if name == "__init__":
        return ("key", args[1] if len(args) > 1 else kwargs.get("key"))
    if name == "list_methods":
        return ("listed",)
    return seen[0] if seen else returned


def outcome(call):
    try:
        return ("returned", call())
    except Exception as error:
        return ("raised", type(error), str(error))


@settings(max_examples=600, deadline=None)
@given(
    name=st.sampled_from(NAMES),
    positional=st.lists(VALUES, max_size=7),
    keywords=st.dictionaries(st.sampled_from(PARAMETER_NAMES), VALUES, max_size=4),
    self_first=st.booleans(),
)
def test_binding_matches_python_functions(name, positional, keywords, self_first):
    monkeypatch = pytest.MonkeyPatch()
    try:
        args = ([Client()] if self_first else []) + positional
        expected = outcome(lambda: getattr(Pixelmend, name)(*args, **keywords))
        actual = outcome(lambda: run_compiled(name, args, keywords, monkeypatch))
    finally:
        monkeypatch.undo()
    assert actual == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f(**{1: 2}), "keywords must be strings"),
        (lambda f: f(Client(), "a", **{"image_path": "b"}), "got multiple values for argument 'image_path'"),
        (lambda f: f(Client(), "a", "b", "c", "d", "e", "f"), "takes from 2 to 6 positional arguments but 7 were given"),
        (lambda f: f(), "missing 2 required positional arguments: 'self' and 'image_path'"),
    ],
)
def test_binding_errors_read_like_the_interpreters(call, message):
    with pytest.raises(TypeError, match=message):
        call(pm.Pixelmend.smart_object_detection)


def test_keyword_names_compared_by_value():
    class Exploding(str):
        def __eq__(self, other):
            raise LookupError("compared")

        __hash__ = str.__hash__

    with pytest.raises(LookupError):
        pm.Pixelmend.list_methods(**{Exploding("me"): 1})
