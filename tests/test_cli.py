import argparse
import io
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import pixelmend.main as pm

SEGMENT = "Implements segmentation masks on images."
BLACK_WHITE = "Transforms images or videos into grayscale."
IDENTITY = (
    "Extracts and classifies identity data from ID cards for the countries currently supported: Cameroon (CM), "
    "Senegal (SEN), Germany (DE), France (FR), Benin (BEN), and C\u00f4te d'Ivoire (CIV)."
)
FACE = (
    "Compares a face from a provided image against a reference image to verify identity. This method is useful "
    "for security processes such as authentication systems where face matching is required to confirm an "
    "individual's identity. Ensure that both images are clear and that the faces are visible and not obscured by "
    "shadows or objects."
)
COLORIZATION = (
    "Transforms grayscale images or videos back into color using advanced machine learning models. This method "
    "reintroduces color to black-and-white visuals by predicting realistic colorization based on the content and "
    "context of the images or videos."
)
ANALYZE = "Analyze an image (implementation pending)."
DETECTION = (
    "Detects objects in images using advanced machine learning models. This method allows for the "
    "specification of a display style and a confidence threshold. Users can target specific objects based on their type or "
    "detect objects that closely match a specified color, enhancing the precision and applicability of the "
    "detection."
)
NO_DESCRIPTION = "No description available."


def listing(*entries):
    return "Available methods:\n" + "".join(f"{name}: {text}\n\n" for name, text in entries)


REAL_LISTING = listing(
    ("black_white", BLACK_WHITE),
    ("colorization", COLORIZATION),
    ("face_id_verification", FACE),
    ("get_identity_data", IDENTITY),
    ("list_methods", NO_DESCRIPTION),
    ("segment_image", SEGMENT),
    ("smart_object_detection", DETECTION),
)

USAGE = (
    "usage: pixelmend [-h] [--list] [--display DISPLAY] [--confidence CONFIDENCE] [--option OPTION] "
    "[--color COLOR] [--country COUNTRY] [--to_compare TO_COMPARE] [key] [image_path] [method]\n"
)
REQUIRED = "error: the following arguments are required: key, image_path\n"
NOT_FOUND = "Method {} not found in Pixelmend class.\nUse --list to see available methods.\n"

HELP_TEXTS = [
    "Run Pixelmend operations.",
    "API key for authentication. Visit https://pixelmend.ai/accountto obtain your API key.",
    "Path to the image file or directory containing images.",
    "Method to execute on the image.",
    "List available methods and exit.",
    "Type of display for detection results.( <Boxes>, <Masks>)",
    "Confidence level for detection accuracy. Options: [0.25, 0.3, 0.35, 0.4, 0.45, 0.5, 0.55, 0.6, 0.65, 0.7, "
    "0.75, 0.8, 0.85, 0.9]",
    "Option for processing. (Ex: only person, only car). List of indexes here: "
    "https://pixelmend.ai/docs/object-indexes ",
    'If the type of result display is "Masks", use this parameter to filter objects with colors close to the '
    "specified color. The color should be provided as a hexadecimal string.",
    'Specifies the country code for ID card processing. - Liste:  "CM", "SEN", "DE", "FR", "BEN", "CIV".',
    "Path to an additional image file where the face to be compared is located.",
]


@pytest.fixture(autouse=True)
def wide_terminal(monkeypatch):
    monkeypatch.setenv("COLUMNS", "400")


def run(monkeypatch, capsys, *argv):
    monkeypatch.setattr(sys, "argv", ["pixelmend", *argv])
    assert pm.main() is None
    return capsys.readouterr()


def fake_client(monkeypatch, returned="done", raises=None, names=()):
    calls = []

    def operation(name):
        def call(self, *args):
            calls.append((name, *args))
            if raises is not None:
                raise raises
            return returned

        return call

    class Fake:
        def __init__(self, key):
            calls.append(("__init__", key))

        def list_methods(self):
            calls.append(("list_methods",))
            return list(names)

        segment_image = operation("segment_image")
        black_white = operation("black_white")
        colorization = operation("colorization")
        smart_object_detection = operation("smart_object_detection")
        get_identity_data = operation("get_identity_data")
        face_id_verification = operation("face_id_verification")

    monkeypatch.setattr(pm, "Pixelmend", Fake)
    return calls


def normalised(text):
    return " ".join(text.split())


@pytest.mark.parametrize(
    "argv",
    [["--list"], ["--list", "k", "img.jpg", "nope"], ["k", "--list"], ["--country", "CM", "--list", "--display", "x"]],
)
def test_list_prints_every_method_of_a_fresh_client(monkeypatch, capsys, argv):
    captured = run(monkeypatch, capsys, *argv)
    assert captured.out == REAL_LISTING
    assert captured.err == ""


def test_list_describes_what_the_client_class_in_the_namespace_names(monkeypatch, capsys):
    calls = fake_client(monkeypatch, names=["analyze_image", "zzz", "segment_image", "get_identity_data"])
    captured = run(monkeypatch, capsys, "--list", "real-key", "img.jpg", "segment_image")
    assert captured.out == listing(
        ("analyze_image", ANALYZE), ("zzz", NO_DESCRIPTION), ("segment_image", SEGMENT), ("get_identity_data", IDENTITY)
    )
    assert calls == [("__init__", "blank_key"), ("list_methods",)]


@pytest.mark.parametrize(
    "argv",
    [[], ["k"], ["", "img.jpg", "segment_image"], ["k", "", "segment_image"], ["--display", "Masks"]],
)
def test_missing_key_or_image_prints_usage_and_returns(monkeypatch, capsys, argv):
    calls = fake_client(monkeypatch)
    captured = run(monkeypatch, capsys, *argv)
    assert captured.out == USAGE + REQUIRED
    assert captured.err == ""
    assert calls == []


@pytest.mark.parametrize(
    ("argv", "expected"),
    [
        (["k", "img.jpg", "smart_object_detection"], ("smart_object_detection", "img.jpg", "Boxes", "0.25", "0", "")),
        (
            ["k", "img.jpg", "smart_object_detection", "--display", "Masks", "--confidence", "0.5", "--option", "2",
             "--color", "ff0000"],
            ("smart_object_detection", "img.jpg", "Masks", "0.5", "2", "ff0000"),
        ),
        (
            ["--confidence", "0.9", "k", "dir/", "smart_object_detection", "--country", "CM", "--color", "#00ff00"],
            ("smart_object_detection", "dir/", "Boxes", "0.9", "0", "#00ff00"),
        ),
        (
            ["k", "me.jpg", "face_id_verification", "--to_compare", "id.jpg"],
            ("face_id_verification", "me.jpg", "id.jpg"),
        ),
        (["k", "card.png", "get_identity_data", "--country", "cm"], ("get_identity_data", "card.png", "cm")),
        (["k", "img.jpg", "segment_image", "--country", "CM", "--to_compare", "b.jpg", "--display", "Masks"],
         ("segment_image", "img.jpg")),
        (["k", "img.jpg", "black_white"], ("black_white", "img.jpg")),
        (["k", "img.jpg", "colorization", "--confidence", "0.3"], ("colorization", "img.jpg")),
    ],
)
def test_operations_get_the_command_line_values_by_position(monkeypatch, capsys, argv, expected):
    calls = fake_client(monkeypatch, returned="Files downloaded to results/x")
    captured = run(monkeypatch, capsys, *argv)
    assert calls == [("__init__", "k"), expected]
    assert captured.out == "Files downloaded to results/x\n"
    assert captured.err == ""


@pytest.mark.parametrize(("returned", "printed"), [(None, "None\n"), ({"a": [1]}, "{'a': [1]}\n"), ("", "\n")])
def test_the_returned_value_is_printed_as_print_shows_it(monkeypatch, capsys, returned, printed):
    fake_client(monkeypatch, returned=returned)
    assert run(monkeypatch, capsys, "k", "img.jpg", "segment_image").out == printed


@pytest.mark.parametrize(
    ("argv", "line"),
    [
        (["k", "me.jpg", "face_id_verification"], "Image to compare is required for face_id_verification method.\n"),
        (["k", "me.jpg", "face_id_verification", "--to_compare", ""],
         "Image to compare is required for face_id_verification method.\n"),
        (["k", "card.png", "get_identity_data"], "Country code is required for get_identity_data method.\n"),
        (["k", "card.png", "get_identity_data", "--country", ""],
         "Country code is required for get_identity_data method.\n"),
    ],
)
def test_missing_required_option_prints_its_line_without_calling(monkeypatch, capsys, argv, line):
    calls = fake_client(monkeypatch)
    assert run(monkeypatch, capsys, *argv).out == line
    assert calls == [("__init__", "k")]


@pytest.mark.parametrize(
    ("argv", "shown"),
    [(["k", "img.jpg", "nope"], "nope"), (["k", "img.jpg"], "None"), (["k", "img.jpg", ""], ""),
     (["k", "img.jpg", "Segment_Image"], "Segment_Image")],
)
def test_unknown_method_is_reported(monkeypatch, capsys, argv, shown):
    captured = run(monkeypatch, capsys, *argv)
    assert captured.out == NOT_FOUND.format(shown)
    assert captured.err == ""


class Inspecting:
    def __init__(self, key):
        pass

    @property
    def broken(self):
        raise RuntimeError("no such thing")

    @property
    def interrupted(self):
        raise KeyboardInterrupt


def test_a_failing_attribute_fetch_counts_as_absent(monkeypatch, capsys):
    monkeypatch.setattr(pm, "Pixelmend", Inspecting)
    assert run(monkeypatch, capsys, "k", "img.jpg", "broken").out == NOT_FOUND.format("broken")


def test_an_interrupted_attribute_fetch_propagates(monkeypatch, capsys):
    monkeypatch.setattr(pm, "Pixelmend", Inspecting)
    monkeypatch.setattr(sys, "argv", ["pixelmend", "k", "img.jpg", "interrupted"])
    with pytest.raises(KeyboardInterrupt):
        pm.main()
    assert capsys.readouterr().out == ""


def test_a_non_callable_attribute_is_an_error_line(monkeypatch, capsys):
    captured = run(monkeypatch, capsys, "k", "img.jpg", "key")
    assert captured.out == "('Error:', TypeError(\"'str' object is not callable\"))\n"


def test_a_wrong_argument_count_is_an_error_line(monkeypatch, capsys):
    with pytest.raises(TypeError) as direct:
        pm.Pixelmend("k").list_methods("img.jpg")
    assert "takes 1 positional argument but 2 were given" in str(direct.value)
    captured = run(monkeypatch, capsys, "k", "img.jpg", "list_methods")
    assert captured.out == f"{('Error:', direct.value)!r}\n"


@pytest.mark.parametrize(
    ("error", "line"),
    [
        (Exception("HT Error: 500, oops"), "('Error:', Exception('HT Error: 500, oops'))\n"),
        (FileNotFoundError(2, "gone"), "('Error:', FileNotFoundError(2, 'gone'))\n"),
        (Exception("API responded with an error: bad key"),
         "('Error:', Exception('API responded with an error: bad key'))\n"),
    ],
)
def test_an_exception_of_the_operation_is_printed_as_a_tuple(monkeypatch, capsys, error, line):
    fake_client(monkeypatch, raises=error)
    captured = run(monkeypatch, capsys, "k", "img.jpg", "smart_object_detection")
    assert captured.out == line
    assert captured.err == ""


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_interruptions_of_the_operation_propagate(monkeypatch, capsys, error):
    fake_client(monkeypatch, raises=error)
    monkeypatch.setattr(sys, "argv", ["pixelmend", "k", "img.jpg", "segment_image"])
    with pytest.raises(type(error)):
        pm.main()
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--bogus"], "pixelmend: error: unrecognized arguments: --bogus\n"),
        (["k", "img.jpg", "segment_image", "extra"], "pixelmend: error: unrecognized arguments: extra\n"),
        (["k", "--display"], "pixelmend: error: argument --display: expected one argument\n"),
    ],
)
def test_argparse_errors_exit_with_status_2(monkeypatch, capsys, argv, message):
    monkeypatch.setattr(sys, "argv", ["pixelmend", *argv])
    with pytest.raises(SystemExit) as exit_info:
        pm.main()
    assert exit_info.value.code == 2
    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err == USAGE + message


def test_help_shows_every_help_text(monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["pixelmend", "--help"])
    with pytest.raises(SystemExit) as exit_info:
        pm.main()
    assert exit_info.value.code == 0
    out = capsys.readouterr().out
    assert out.startswith(USAGE)
    for text in HELP_TEXTS:
        assert normalised(text) in normalised(out)


def test_the_parser_comes_from_argparse_in_the_module_namespace(monkeypatch, capsys):
    recorded = []

    class FakeParser:
        def __init__(self, *args, **kwargs):
            recorded.append(("parser", args, kwargs))

        def add_argument(self, *args, **kwargs):
            recorded.append(("argument", args, kwargs))

        def parse_args(self, *args, **kwargs):
            recorded.append(("parse_args", args, kwargs))
            return argparse.Namespace(list=False, key="k", image_path=None, method=None)

        def print_usage(self, *args):
            print("fake usage")

    class FakeArgparse:
        ArgumentParser = FakeParser

    monkeypatch.setattr(pm, "argparse", FakeArgparse)
    assert run(monkeypatch, capsys, "ignored").out == "fake usage\n" + REQUIRED
    positional = {"nargs": "?", "type": str}
    assert recorded == [
        ("parser", (), {"description": HELP_TEXTS[0]}),
        ("argument", ("key",), {**positional, "help": HELP_TEXTS[1]}),
        ("argument", ("image_path",), {**positional, "help": HELP_TEXTS[2]}),
        ("argument", ("method",), {**positional, "help": HELP_TEXTS[3]}),
        ("argument", ("--list",), {"action": "store_true", "help": HELP_TEXTS[4]}),
        ("argument", ("--display",), {"type": str, "default": "Boxes", "help": HELP_TEXTS[5]}),
        ("argument", ("--confidence",), {"type": str, "default": "0.25", "help": HELP_TEXTS[6]}),
        ("argument", ("--option",), {"type": str, "default": "0", "help": HELP_TEXTS[7]}),
        ("argument", ("--color",), {"type": str, "default": "", "help": HELP_TEXTS[8]}),
        ("argument", ("--country",), {"type": str, "help": HELP_TEXTS[9]}),
        ("argument", ("--to_compare",), {"type": str, "help": HELP_TEXTS[10]}),
        ("parse_args", (), {}),
    ]


def test_a_real_operation_on_a_missing_file(monkeypatch, capsys, tmp_path):
    missing = tmp_path / "missing.jpg"
    captured = run(monkeypatch, capsys, "k", str(missing), "segment_image")
    assert captured.out == f"File does not exist: {missing}\n"


def test_main_takes_no_arguments():
    with pytest.raises(TypeError):
        pm.main("--list")


def strict_stdout(monkeypatch, encoding):
    stream = io.TextIOWrapper(io.BytesIO(), encoding=encoding, errors="strict", newline="\n")
    monkeypatch.setattr(sys, "stdout", stream)
    return stream


def written(stream):
    stream.flush()
    return stream.buffer.getvalue().decode("ascii")


@pytest.mark.parametrize(
    ("encoding", "argv", "expected"),
    [
        ("utf-8", ["k", "img.jpg", "\udcff"], NOT_FOUND.format("\\udcff")),
        ("ascii", ["k", "img.jpg", "d\u00e9tection"], NOT_FOUND.format("d\\xe9tection")),
        ("utf-8", ["k", "/no/such/\udcff.jpg", "segment_image"], "File does not exist: /no/such/\\udcff.jpg\n"),
    ],
)
def test_unencodable_lines_are_escaped_instead_of_raising(monkeypatch, encoding, argv, expected):
    stream = strict_stdout(monkeypatch, encoding)
    monkeypatch.setattr(sys, "argv", ["pixelmend", *argv])
    pm.main()
    assert written(stream) == expected


def test_the_listing_survives_an_ascii_stdout(monkeypatch):
    stream = strict_stdout(monkeypatch, "ascii")
    monkeypatch.setattr(sys, "argv", ["pixelmend", "--list"])
    pm.main()
    assert written(stream) == REAL_LISTING.replace("\u00f4", "\\xf4")


def test_an_unencodable_error_line_is_escaped(monkeypatch):
    fake_client(monkeypatch, raises=Exception("C\u00f4te"))
    stream = strict_stdout(monkeypatch, "ascii")
    monkeypatch.setattr(sys, "argv", ["pixelmend", "k", "img.jpg", "segment_image"])
    pm.main()
    assert written(stream) == "('Error:', Exception('C\\xf4te'))\n"


def test_importing_the_package_main_runs_nothing(monkeypatch, capsys):
    monkeypatch.delitem(sys.modules, "pixelmend.__main__", raising=False)
    monkeypatch.setattr(sys, "argv", ["pixelmend", "--list"])
    __import__("pixelmend.__main__")
    assert capsys.readouterr().out == ""


def command(entry):
    if entry == "module":
        return [sys.executable, "-m", "pixelmend"]
    script = shutil.which("pixelmend", path=sysconfig.get_path("scripts"))
    if script is None:
        pytest.skip("the pixelmend console script is not installed next to this interpreter")
    return [script]


def launch(argv, **env):
    environment = {**os.environ, "COLUMNS": "400", "PYTHONIOENCODING": "utf-8:strict", **env}
    return subprocess.run(argv, capture_output=True, env=environment, timeout=120)


@pytest.mark.parametrize(
    ("entry", "prog"), [("script", "pixelmend"), ("module", os.path.basename(sys.executable) + " -m pixelmend")]
)
def test_entry_points_list_and_ask_for_missing_arguments(entry, prog):
    listed = launch([*command(entry), "--list"])
    assert (listed.returncode, listed.stdout, listed.stderr) == (0, REAL_LISTING.encode(), b"")
    bare = launch(command(entry))
    usage = USAGE.replace("usage: pixelmend", "usage: " + prog, 1)
    assert (bare.returncode, bare.stdout, bare.stderr) == (1, (usage + REQUIRED).encode(), b"")


@pytest.mark.parametrize(
    ("argv", "status", "out", "err"),
    [
        (["--help"], 0, USAGE, ""),
        (["--bogus"], 2, "", USAGE + "pixelmend: error: unrecognized arguments: --bogus\n"),
        (["k", "img.jpg", "nope"], 1, NOT_FOUND.format("nope"), ""),
    ],
    ids=["help", "unknown-option", "not-found"],
)
def test_console_script_exit_status(argv, status, out, err):
    done = launch([*command("script"), *argv])
    assert done.returncode == status
    assert done.stdout.decode().startswith(out)
    assert done.stderr.decode() == err


def test_undecodable_argument_bytes_never_give_a_traceback():
    done = launch([*command("script"), b"k", b"img.jpg", b"seg\xffment"])
    assert (done.returncode, done.stdout, done.stderr) == (1, NOT_FOUND.format("seg\\udcffment").encode(), b"")


def test_the_extension_module_run_as_main_runs_main_once():
    program = (
        "import importlib.util, sys\n"
        "spec = importlib.util.find_spec('pixelmend.main')\n"
        "module = importlib.util.module_from_spec(spec)\n"
        "module.__name__ = '__main__'\n"
        "sys.argv = ['pixelmend', '--list']\n"
        "spec.loader.exec_module(module)\n"
    )
    done = launch([sys.executable, "-c", program])
    assert (done.returncode, done.stdout, done.stderr) == (0, REAL_LISTING.encode(), b"")


def test_importing_the_module_prints_nothing():
    done = launch([sys.executable, "-c", "import pixelmend.main", "--list"])
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
