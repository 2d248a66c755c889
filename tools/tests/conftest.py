import sys
from pathlib import Path

# The tests import the tools as the tools import one another: from tools/,
# where build_wheels.py runs and finds wheelbuild.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
