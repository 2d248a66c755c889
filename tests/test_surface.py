import inspect
import os
import pickle
import re
import subprocess
import sys
import types
from pathlib import Path

import pytest

import pixelmend.main as pm
from pixelmend.main import Pixelmend

METHODS = [
    "__init__",
    "segment_image",
    "black_white",
    "colorization",
    "smart_object_detection",
    "get_identity_data",
    "face_id_verification",
    "list_methods",
]

PUBLIC = [
    "black_white",
    "colorization",
    "face_id_verification",
    "get_identity_data",
    "list_methods",
    "segment_image",
    "smart_object_detection",
]


class Text(str):
    pass


def test_module_binds_exactly_its_names_in_order():
    code = "import pixelmend.main as pm; print(' '.join(n for n in vars(pm) if not n.startswith('__')))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.split() == [
        "argparse",
        "requests",
        "MultipartEncoder",
        "handle_image_path",
        "handle_image_path_id",
        "os",
        "urllib3",
        "InsecureRequestWarning",
        "Pixelmend",
        "main",
    ]
    import argparse, os, requests, urllib3
    from requests_toolbelt.multipart.encoder import MultipartEncoder
    from urllib3.exceptions import InsecureRequestWarning
    from pixelmend.utils import utils

    assert (pm.argparse, pm.requests, pm.os, pm.urllib3) == (argparse, requests, os, urllib3)
    assert pm.MultipartEncoder is MultipartEncoder
    assert pm.InsecureRequestWarning is InsecureRequestWarning
    assert pm.handle_image_path is utils.handle_image_path
    assert pm.handle_image_path_id is utils.handle_image_path_id
    assert pm.__doc__ is None


def test_class_is_plain_type_with_methods_in_order():
    assert type(Pixelmend) is type
    assert Pixelmend.__bases__ == (object,)
    assert (Pixelmend.__module__, Pixelmend.__qualname__, Pixelmend.__name__) == (
        "pixelmend.main",
        "Pixelmend",
        "Pixelmend",
    )
    # copyreg caches __slotnames__ on a class once an instance of it is pickled.
    made = ("__module__", "__dict__", "__weakref__", "__doc__", "__slotnames__")
    own = [name for name in vars(Pixelmend) if name not in made]
    assert own == METHODS
    assert Pixelmend.__doc__ is None


@pytest.mark.parametrize("name", METHODS)
def test_methods_look_like_functions(name):
    function = vars(Pixelmend)[name]
    assert function.__name__ == name
    assert function.__qualname__ == "Pixelmend." + name
    assert function.__module__ == "pixelmend.main"
    assert function.__doc__ is None
    assert isinstance(function.__dict__, dict)
    assert callable(function)
    annotated = {"__init__": "key", "list_methods": None}.get(name, "image_path")
    assert function.__annotations__ == ({annotated: "str"} if annotated else {})
    expected_defaults = ("Boxes", "0.25", "0", "") if name == "smart_object_detection" else None
    assert function.__defaults__ == expected_defaults
    function.note = 1
    assert function.__dict__ == {"note": 1}
    del function.note
    assert repr(function).startswith("<function Pixelmend.%s at 0x" % name)


@pytest.mark.parametrize(
    "function, signature",
    [
        (Pixelmend.__init__, "(self, key)"),
        (Pixelmend.segment_image, "(self, image_path)"),
        (
            Pixelmend.smart_object_detection,
            "(self, image_path, display='Boxes', confidence_threshold='0.25', option='0', color='')",
        ),
        (Pixelmend.get_identity_data, "(self, image_path, country)"),
        (Pixelmend.face_id_verification, "(self, image_path, to_compare)"),
        (Pixelmend.list_methods, "(self)"),
        (pm.main, "()"),
    ],
)
def test_signatures_are_inspectable(function, signature):
    assert str(inspect.signature(function)) == signature
    if signature.startswith("(self"):
        bound = types.MethodType(function, Pixelmend("k"))
        assert str(inspect.signature(bound)) == "(" + signature[len("(self"):].lstrip(", ")


def test_help_shows_the_signature(capsys):
    help(Pixelmend.smart_object_detection)
    text = "".join(capsys.readouterr().out.split())
    assert "smart_object_detection(self,image_path,display='Boxes',confidence_threshold='0.25'" in text


def test_methods_bind_like_python_functions():
    client = Pixelmend("k")
    bound = client.list_methods
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is client and bound.__func__ is Pixelmend.list_methods
    assert Pixelmend.list_methods(client) == client.list_methods() == PUBLIC
    assert Pixelmend.__dict__["list_methods"].__get__(None, Pixelmend) is Pixelmend.list_methods


def test_functions_pickle_by_name():
    assert pickle.loads(pickle.dumps(pm.main)) is pm.main
    assert pickle.loads(pickle.dumps(Pixelmend.segment_image)) is Pixelmend.segment_image


@pytest.mark.parametrize("key", ["secret", "", None])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_constructor_stores_key(key, by_keyword):
    client = Pixelmend(key=key) if by_keyword else Pixelmend(key)
    assert client.key is key
    assert vars(client) == {"key": key}


@pytest.mark.parametrize(
    "call, argument, received",
    [
        (lambda: Pixelmend(123), "key", "int"),
        (lambda: Pixelmend(Text("k")), "key", "Text"),
        (lambda: Pixelmend(b"k"), "key", "bytes"),
        (lambda: Pixelmend("k").segment_image(1.5), "image_path", "float"),
        (lambda: Pixelmend("k").black_white(Text("x")), "image_path", "Text"),
        (lambda: Pixelmend("k").colorization(b"x"), "image_path", "bytes"),
        (lambda: Pixelmend("k").smart_object_detection(["x"]), "image_path", "list"),
        (lambda: Pixelmend("k").get_identity_data(7, "cm"), "image_path", "int"),
        (lambda: Pixelmend("k").face_id_verification(Text("a"), "b"), "image_path", "Text"),
    ],
)
def test_text_parameters_take_exactly_str_or_none(call, argument, received, monkeypatch):
    called = []
    monkeypatch.setattr(pm, "handle_image_path", lambda *a: called.append(a))
    monkeypatch.setattr(pm, "handle_image_path_id", lambda *a: called.append(a))
    with pytest.raises(TypeError) as error:
        call()
    message = str(error.value)
    assert argument in message and "str" in message and received in message
    assert called == []


def test_unaccepted_argument_is_checked_before_anything_else(monkeypatch):
    class Exploding:
        def __eq__(self, other):
            raise AssertionError("compared")

        def __bool__(self):
            raise AssertionError("tested")

        __hash__ = None

    with pytest.raises(TypeError, match="image_path"):
        Pixelmend("k").get_identity_data(Exploding(), Exploding())


def test_list_methods_follows_instance_attributes():
    client = Pixelmend("k")
    client.zeta = len
    client.alpha = print
    client._hidden = len
    client.plain = 3
    assert client.list_methods() == ["alpha"] + PUBLIC + ["zeta"]


def test_list_methods_fetches_every_attribute_first():
    fetched = []

    class Watching(Pixelmend):
        def __getattribute__(self, name):
            fetched.append(name)
            return super().__getattribute__(name)

    client = Watching("k")
    fetched.clear()
    client.list_methods()
    assert "__class__" in fetched and "_" not in fetched
    assert sorted(set(fetched) - {"list_methods"}) == sorted(set(dir(client)) - {"list_methods"})


class DirRaises:
    def __dir__(self):
        raise ValueError("no listing")


class DirNotIterable(Pixelmend):
    def __dir__(self):
        return 5


class TruthRaises:
    def __bool__(self):
        raise ValueError("no truth")


def python_list_methods(client):
    return [name for name in dir(client) if callable(getattr(client, name)) and not name.startswith("_")]


@pytest.mark.parametrize("client", [DirRaises(), DirNotIterable("k")], ids=lambda client: type(client).__name__)
def test_list_methods_raises_what_its_python_equivalent_raises(client):
    with pytest.raises(Exception) as expected:
        python_list_methods(client)
    with pytest.raises(type(expected.value), match=re.escape(str(expected.value))):
        Pixelmend.list_methods(client)


def test_truth_test_of_the_color_propagates(monkeypatch):
    monkeypatch.setattr(pm, "handle_image_path", lambda *args: pytest.fail("helper called"))
    with pytest.raises(ValueError, match="no truth"):
        Pixelmend("k").smart_object_detection("x.png", color=TruthRaises())


def test_key_is_read_at_each_call(monkeypatch):
    seen = []
    monkeypatch.setattr(pm, "handle_image_path", lambda fields, path: seen.append(fields[0]) or False)
    client = Pixelmend("one")
    client.segment_image("x")
    client.key = "two"
    client.segment_image("x")
    assert seen == [("api_key", "one"), ("api_key", "two")]


def test_import_prints_nothing_and_silences_insecure_warnings():
    quiet = subprocess.run([sys.executable, "-c", "import pixelmend.main"], capture_output=True, text=True)
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")
    filters = subprocess.run(
        [sys.executable, "-c", "import warnings, pixelmend.main; print(warnings.filters[0][0], warnings.filters[0][2].__name__)"],
        capture_output=True,
        text=True,
        check=True,
    )
    assert filters.stdout.split() == ["ignore", "InsecureRequestWarning"]


def test_package_offers_the_client_lazily():
    import pixelmend

    assert pixelmend.Pixelmend is Pixelmend
    with pytest.raises(AttributeError):
        pixelmend.nothing


# Both modules keep their state per module and pybind11 keeps its own per
# interpreter, so from 3.13 on an interpreter with its own objects and its
# own GIL loads them (tests/test_subinterpreters.py runs them there). On
# 3.12, whose isolated interpreters abort at exit once requests is imported,
# they refuse to load there.
@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated interpreters came with 3.12")
@pytest.mark.parametrize("module", ["pixelmend.main", "pixelmend.utils.utils"])
def test_isolated_interpreters_load_the_modules(module, tmp_path):
    outcome = tmp_path / "outcome"
    script = (
        f"import sys\nsys.path[:] = {sys.path!r}\n"
        f"try:\n    import {module}\nexcept ImportError as error:\n    outcome = str(error)\n"
        f"else:\n    outcome = 'loaded'\nopen({str(outcome)!r}, 'w').write(outcome)\n"
    )
    program = (
        "try:\n    import _interpreters as interpreters\n"
        "except ImportError:\n    import _xxsubinterpreters as interpreters\n"
        f"interpreter = interpreters.create()\ninterpreters.run_string(interpreter, {script!r})\n"
        "interpreters.destroy(interpreter)\n"
    )
    subprocess.run([sys.executable, "-c", program], check=True, timeout=120)
    expected = "loaded" if sys.version_info >= (3, 13) else f"module {module} does not support loading in subinterpreters"
    assert outcome.read_text() == expected


def closed_loopback_port():
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# requests' errors hold the request, whose body holds the upload readers: an
# error raised in a pool's worker reaches the parent as itself, its readers
# closed copies naming their files.
@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_an_operations_error_crosses_a_process_boundary(monkeypatch, method):
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    import requests

    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} start method here")
    base_url = f"https://127.0.0.1:{closed_loopback_port()}"
    monkeypatch.setenv("PIXELMEND_BASE_URL", base_url)
    street = str(Path(__file__).resolve().parents[1] / "examples" / "street.jpg")
    # A forkserver started by an earlier test keeps the environment it had then: the worker is
    # given the address itself, so it never looks for the real service.
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context(method),
                             initializer=exec, initargs=(f"import os; os.environ['PIXELMEND_BASE_URL'] = {base_url!r}",)) as pool:
        with pytest.raises(requests.exceptions.ConnectionError) as raised:
            pool.submit(Pixelmend("k").black_white, street).result(timeout=120)
    # urllib3's own pickling leaves out the connection pool, so its name reads as None.
    assert "Max retries exceeded with url: /vision/v0/black-white" in str(raised.value)
    assert "Connection refused" in str(raised.value) or "actively refused" in str(raised.value)
    reader = raised.value.request.body.fields[-1][1][1]
    assert (reader.name, reader.closed, reader.len) == (street, True, os.path.getsize(street))
    with pytest.raises(ValueError, match="closed file"):
        reader.read()
