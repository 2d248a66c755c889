import pytest


# pytest-xdist sends the tests of one xdist_group to one worker by renaming
# each "<id>@<group>" on the workers; under a pytest that keeps ids where the
# plugin cannot rename them, the groups are lost without a word.
@pytest.mark.xdist_group("measuring")
def test_grouped_tests_carry_their_group(request):
    if getattr(request.config.option, "loadgroup", False):
        assert request.node.nodeid.endswith("@measuring"), "pytest-xdist's worker groups do not work with this pytest"
