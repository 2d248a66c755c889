import json
import subprocess
import sys
import sysconfig
import textwrap

import pytest

pytest.importorskip("_testcapi")
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    pytest.skip(
        "the free-threaded interpreter itself crashes inside mimalloc when allocations fail while MultipartEncoder "
        "builds its lists, with no pixelmend code involved",
        allow_module_level=True,
    )

# Runs one scenario over and over in a fresh interpreter, each time with the
# allocations from number `start` onwards failing (start = 1, 2, 3, ...),
# until the scenario has run to its normal outcome many times in a row: by
# then the failures start past the last allocation that the scenario makes.
# Every run must end with the normal outcome or MemoryError; a crash ends the
# process with a signal instead of printing the summary.
SCRIPT = textwrap.dedent(
    """
    import json, os, sys
    import _testcapi
    import pixelmend.main as pm
    from pixelmend.utils.utils import handle_image_path, handle_image_path_id

    class Response:
        status_code = 200
        text = ""

        def json(self):
            return {"success": True, "filenames": ["a.png", "b #1.png", "../x"], "path": "https://files.example/r"}

        def iter_content(self, chunk_size):
            yield b"result "
            yield b"bytes"

    class Session:
        def __enter__(self):
            return self

        def __exit__(self, *exc_info):
            return None

        def post(self, url, data, headers, verify):
            while data.read(8192):
                pass
            return Response()

    class Requests:
        Session = Session

        @staticmethod
        def get(url, stream, verify):
            return Response()

    # argparse builds its parser in thousands of allocations of its own;
    # this one hands main() its arguments at once.
    class Parser:
        arguments = {}

        def __init__(self, description):
            pass

        def add_argument(self, *names, **options):
            pass

        def parse_args(self):
            return Namespace(**self.arguments)

        def print_usage(self):
            pass

    class Namespace:
        def __init__(self, **values):
            self.__dict__.update(values)

    class Argparse:
        ArgumentParser = Parser

    OPTIONS = {"display": "Boxes", "confidence": "0.25", "option": "0", "color": "", "country": None,
               "to_compare": None, "list": False}

    def run_main(**arguments):
        Parser.arguments = dict(OPTIONS, **arguments)
        return pm.main()

    pm.requests = Requests()
    pm.argparse = Argparse()
    client = pm.Pixelmend("key")
    scenarios = {
        "segment_image": lambda: client.segment_image("img.png"),
        "black_white": lambda: client.black_white("images"),
        "colorization": lambda: client.colorization("missing.png"),
        "smart_object_detection": lambda: client.smart_object_detection("img.png", "Masks", "0.5", "1", "#f00"),
        "get_identity_data": lambda: client.get_identity_data("img.png", "cm"),
        "face_id_verification": lambda: (
            client.face_id_verification("img.png", "images"),
            client.face_id_verification("img.png", "missing.png"),
        ),
        "list_methods": lambda: client.list_methods(),
        "argument_binding_error": lambda: client.smart_object_detection("img.png", colour="#f00"),
        "missing_arguments": lambda: pm.Pixelmend.face_id_verification(),
        "too_many_arguments": lambda: client.segment_image("img.png", "img.png"),
        "handle_image_path": lambda: handle_image_path([("api_key", "key")], "images"),
        "handle_image_path_id": lambda: handle_image_path_id({"api_key": "key"}, "img.png", "images"),
        "main": lambda: (
            run_main(key="key", image_path="images", method="get_identity_data", country="cm"),
            run_main(key="key", image_path="img.png", method="face_id_verification", to_compare="img.png"),
            run_main(key="key", image_path="img.png", method="no_such_method"),
            run_main(key=None, image_path=None, method=None),
        ),
        "main_listing": lambda: run_main(key=None, image_path=None, method=None, list=True),
    }
    scenario = scenarios[sys.argv[1]]
    sys.stdout = open(os.devnull, "w")

    def outcome():
        try:
            scenario()
            return "normal"
        except BaseException as error:
            return type(error).__name__

    normal = outcome()
    unexpected = {}
    start = clean_runs = failed_runs = 0
    while clean_runs < 40:
        start += 1
        _testcapi.set_nomemory(start, 0)
        try:
            got = outcome()
        except MemoryError:
            got = "MemoryError"
        finally:
            _testcapi.remove_mem_hooks()
        clean_runs = clean_runs + 1 if got == normal else 0
        failed_runs += got == "MemoryError"
        if got not in (normal, "MemoryError"):
            unexpected.setdefault(got, start)
    sys.__stdout__.write(json.dumps({"normal": normal, "points": start, "failed": failed_runs, "unexpected": unexpected}))
    """
)

NORMAL = {"argument_binding_error": "TypeError", "missing_arguments": "TypeError", "too_many_arguments": "TypeError"}

SCENARIOS = [
    "segment_image",
    "black_white",
    "colorization",
    "smart_object_detection",
    "get_identity_data",
    "face_id_verification",
    "list_methods",
    "argument_binding_error",
    "missing_arguments",
    "too_many_arguments",
    "handle_image_path",
    "handle_image_path_id",
    "main",
    "main_listing",
]


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_every_allocation_failure_ends_in_memory_error_or_the_normal_outcome(tmp_path, scenario):
    (tmp_path / "img.png").write_bytes(b"\x89PNG image")
    (tmp_path / "images").mkdir()
    for name in ("a.jpg", "b.png"):
        (tmp_path / "images" / name).write_bytes(b"pixels")
    completed = subprocess.run(
        [sys.executable, "-c", SCRIPT, scenario], cwd=tmp_path, capture_output=True, text=True, timeout=600
    )
    assert completed.returncode == 0, completed.stderr[-3000:]
    summary = json.loads(completed.stdout)
    assert summary["normal"] == NORMAL.get(scenario, "normal")
    assert summary["unexpected"] == {}
    assert summary["failed"] > 0
