import importlib.util
from pathlib import Path

import pytest

pytest.importorskip("tomllib")
import tomllib  # noqa: E402

# The script makes virtual environments; an embeddable CPython has no venv.
pytest.importorskip("venv")

ROOT = Path(__file__).resolve().parents[2]
if not (ROOT / ".ci" / "test_wheel.py").is_file():
    pytest.skip("the CI scripts are not in the source archive", allow_module_level=True)
SPEC = importlib.util.spec_from_file_location("ci_test_wheel", ROOT / ".ci" / "test_wheel.py")
test_wheel = importlib.util.module_from_spec(SPEC)
SPEC.loader.exec_module(test_wheel)

TEST_EXTRA = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]["test"]
WHEEL = Path("/wheels/pixelmend-0.1.0-cp313-cp313t-manylinux_2_17_x86_64.whl")


def test_with_nothing_left_out_the_wheel_brings_its_test_extra():
    assert test_wheel.wheel_with_test_dependencies(WHEEL, []) == [f"{WHEEL}[test]"]


@pytest.mark.parametrize("spelled", [["cryptography", "greenlet"], ["Cryptography", "GreenLet"]])
def test_left_out_names_go_and_every_other_requirement_keeps_its_marker(spelled):
    wanted = test_wheel.wheel_with_test_dependencies(WHEEL, spelled)
    assert wanted[0] == str(WHEEL)
    assert wanted[1:] == [r for r in TEST_EXTRA if not r.lower().startswith(("cryptography", "greenlet"))]
    assert len(wanted) == len(TEST_EXTRA) - 1


@pytest.mark.parametrize("requirement, name", [("types-requests", "types-requests"), ("greenlet>=3.1; python_version < '3.15'", "greenlet"),
                                               ("Requests_Toolbelt.Extra >= 1", "requests-toolbelt-extra")])
def test_requirement_names_are_normalised(requirement, name):
    assert test_wheel.requirement_name(requirement) == name


def test_leaving_out_what_the_extra_does_not_hold_is_refused():
    with pytest.raises(SystemExit, match="holds no crytography"):
        test_wheel.wheel_with_test_dependencies(WHEEL, ["crytography"])
