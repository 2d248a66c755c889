import os
import random
import threading
import time
from datetime import datetime, timezone
from pathlib import Path

import pytest
import requests

import pixelmend.main as pm

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")

KEY = "downloads-key"
STREET = str(Path(__file__).resolve().parents[1] / "examples" / "street.jpg")
SAVED = os.path.join("results", "street.jpg")
DOWNLOADED = "Files downloaded to " + SAVED
MODES = {"one-after-another": None, "one-at-a-time": "1", "four-at-a-time": "4"}
REAL_SLEEP = time.sleep


@pytest.fixture(params=MODES)
def mode(request, sandbox, monkeypatch):
    if MODES[request.param]:
        monkeypatch.setenv("PIXELMEND_DOWNLOADS", MODES[request.param])
    return MODES[request.param]


# The waits between tries, recorded instead of waited out: time.sleep on the
# calling thread (one file after another), the stop event's timed wait on the
# download threads; the stand-in's own threads still wait for real. `hold`,
# when set, runs on the waiting thread in place of each wait.
class Waits(list):
    hold = None

    def take(self, seconds):
        self.append(seconds)
        if self.hold:
            self.hold()


@pytest.fixture
def waits(monkeypatch):
    recorded = Waits()
    caller = threading.get_ident()

    def clients():
        return threading.get_ident() == caller or threading.current_thread().name.startswith("pixelmend-download")

    class RecordingEvent(threading.Event):
        def wait(self, timeout=None):
            if timeout is None or not clients():
                return super().wait(timeout)
            recorded.take(timeout)
            return self.is_set()

    def sleep(seconds):
        if threading.get_ident() != caller:
            return REAL_SLEEP(seconds)
        recorded.take(seconds)

    monkeypatch.setattr(threading, "Event", RecordingEvent)
    monkeypatch.setattr(time, "sleep", sleep)
    return recorded


def body(name, size):
    return random.Random(name).randbytes(size)


def plant(service, files):
    service.plant_results(files)
    return files


def three_files(service):
    return plant(service, {"before.json": b'{"first": 1}', "large.bin": body("large", 100_000),
                           "after.png": body("after", 3000)})


def saved_files():
    found = {}
    for name in os.listdir(SAVED):
        found[name] = Path(SAVED, name).read_bytes()
    return found


def black_white():
    return pm.Pixelmend(KEY).black_white(STREET)


def tries_of(service, name):
    return [(record.range, record.fault, record.status) for record in service.downloads_of(name)]


def resumed_from(range_header):
    assert range_header.startswith("bytes=") and range_header.endswith("-")
    return int(range_header[len("bytes="):-1])


# A cut body is resumed from the bytes staged so far, once or again after a
# second cut of the part, and saved whole.
@pytest.mark.parametrize("cuts", [1, 2])
def test_a_cut_body_is_resumed_with_a_range(sandbox, mode, waits, monkeypatch, capsys, cuts):
    monkeypatch.setenv("PIXELMEND_RETRIES", "2")
    files = three_files(sandbox)
    sandbox.faults.cut_download("large.bin", 40_000, tries=cuts)

    assert black_white() == DOWNLOADED
    assert saved_files() == files and capsys.readouterr().out == ""
    tries = tries_of(sandbox, "large.bin")
    assert [fault for _, fault, _ in tries] == ["cut"] * cuts + [None]
    assert [status for _, _, status in tries] == [200] + [206] * cuts
    assert tries[0][0] is None
    starts = [resumed_from(range_header) for range_header, _, _ in tries[1:]]
    assert 0 < starts[0] <= 40_000
    assert starts == sorted(set(starts)) and starts[-1] <= starts[0] + 40_000 * (cuts - 1)
    assert len(waits) == cuts


# An answer to the Range request that is not the part asked for is not
# spliced onto the staged bytes: the file starts over and is saved whole.
@pytest.mark.parametrize(
    ("refuse", "fault", "tries"),
    [
        (lambda faults: faults.misplace_range("large.bin", 0), "misplaced-range", [None, "range", None]),
        (lambda faults: faults.misplace_range("large.bin", 60_000), "misplaced-range", [None, "range", None]),
        (lambda faults: faults.ignore_range("large.bin"), "ignored-range", [None, "range"]),
    ],
    ids=["206-from-the-start", "206-from-further-on", "200-to-the-range"],
)
def test_a_part_from_elsewhere_starts_the_file_over(sandbox, mode, waits, monkeypatch, capsys, refuse, fault, tries):
    monkeypatch.setenv("PIXELMEND_RETRIES", "2")
    files = three_files(sandbox)
    sandbox.faults.cut_download("large.bin", 40_000)
    refuse(sandbox.faults)

    assert black_white() == DOWNLOADED
    assert saved_files() == files and capsys.readouterr().out == ""
    made = tries_of(sandbox, "large.bin")
    assert [None if range_header is None else "range" for range_header, _, _ in made] == tries
    assert [kind for _, kind, _ in made] == ["cut", fault] + [None] * (len(tries) - 2)
    assert made[-1][2] == 200


def just_now():
    return datetime.now(timezone.utc)


# A transient status is waited out for the Retry-After the service sends, in
# seconds or as a date (one just now is no wait); a refused status is never
# tried again. Which statuses and Retry-After values are which is told in
# test_download_retries.py; here they come over the wire.
@pytest.mark.parametrize(
    ("status", "retry_after", "low", "high"),
    [
        (503, "0", 0, 0),
        (429, just_now, 0, 1),
        (404, None, None, None),
    ],
    ids=["503-seconds", "429-date", "404"],
)
def test_statuses_are_waited_out_or_refused(sandbox, mode, waits, monkeypatch, capsys, status, retry_after, low, high):
    monkeypatch.setenv("PIXELMEND_RETRIES", "3")
    files = three_files(sandbox)
    sandbox.faults.fail_download("large.bin", status, retry_after=retry_after() if callable(retry_after) else retry_after)

    assert black_white() == DOWNLOADED
    made = tries_of(sandbox, "large.bin")
    if low is None:
        assert capsys.readouterr().out == "Failed to download large.bin\n"
        assert saved_files() == {name: content for name, content in files.items() if name != "large.bin"}
        assert made == [(None, "status", status)] and waits == []
    else:
        assert capsys.readouterr().out == ""
        assert saved_files() == files
        assert made == [(None, "status", status), (None, None, 200)]
        [wait] = waits
        assert low <= wait <= high


# Failures beyond the retries allowed: a status ends in its line, with the
# other files saved; cuts end in requests' error, with the file before it
# saved and nothing staged left behind.
@pytest.mark.parametrize(
    ("fail", "raised"),
    [
        (lambda faults: faults.fail_download("large.bin", 503, tries=3), None),
        (lambda faults: faults.cut_download("large.bin", 40_000, tries=3), requests.exceptions.ChunkedEncodingError),
    ],
    ids=["503", "cut"],
)
def test_tries_run_out(sandbox, mode, waits, monkeypatch, capsys, fail, raised):
    monkeypatch.setenv("PIXELMEND_RETRIES", "2")
    files = three_files(sandbox)
    fail(sandbox.faults)

    if raised:
        with pytest.raises(raised):
            black_white()
        saved = saved_files()
        assert saved.pop("before.json") == files["before.json"]
        assert saved in ({}, {"after.png": files["after.png"]})
        assert capsys.readouterr().out == ""
    else:
        assert black_white() == DOWNLOADED
        assert capsys.readouterr().out == "Failed to download large.bin\n"
        assert saved_files() == {name: content for name, content in files.items() if name != "large.bin"}
    made = tries_of(sandbox, "large.bin")
    assert len(made) == 3 and len(waits) == 2
    assert {fault for _, fault, _ in made} == {"cut" if raised else "status"}
    assert made[0][0] is None
    if raised:
        starts = [resumed_from(range_header) for range_header, _, _ in made[1:]]
        assert 0 < starts[0] < starts[1]
    else:
        assert [range_header for range_header, _, _ in made] == [None] * 3


def numbered(count, size=2000):
    return {f"f{index:02d}": body(f"f{index:02d}", size + index) for index in range(count)}


def wait_until(condition, limit=10.0):
    deadline = time.monotonic() + limit
    while not condition() and time.monotonic() < deadline:
        REAL_SLEEP(0.01)


# Four at a time, the files' lines keep the reply's order though later ones
# end first: f00 is served slowly, and f01's wait before its second try (a
# 404) lasts until f12's 404 has been answered.
@pytest.mark.parametrize("mode", ["four-at-a-time"], indirect=True)
def test_lines_keep_the_reply_order_when_later_files_end_first(sandbox, mode, waits, monkeypatch, capsys):
    monkeypatch.setenv("PIXELMEND_RETRIES", "2")
    files = plant(sandbox, numbered(20))
    sandbox.faults.delay_download("f00", 0.3)
    sandbox.faults.fail_download("f01", 503)
    sandbox.faults.fail_download("f01", 404)
    sandbox.faults.fail_download("f12", 404)
    sandbox.faults.missing_download("f17")
    waits.hold = lambda: wait_until(lambda: sandbox.downloads_of("f12"))

    assert black_white() == DOWNLOADED
    failed = ["f01", "f12", "f17"]
    assert capsys.readouterr().out == "".join(f"Failed to download {name}\n" for name in failed)
    assert saved_files() == {name: content for name, content in files.items() if name not in failed}
    answered = [record.path.rsplit("/", 1)[1] for record in sandbox.received() if record.method == "GET"]
    assert answered.index("f12") < len(answered) - 1 - answered[::-1].index("f01")
    assert answered.index("f00") > answered.index("f04")


def connections(service):
    return {record.connection for record in service.received()}


# A session's connections are kept alive for the whole call: at most one
# per download at a time and the upload's, even with slow files holding
# theirs; an answer refused is closed with its body unread, which drops that
# connection.
@pytest.mark.parametrize("mode", ["one-at-a-time", "four-at-a-time"], indirect=True)
@pytest.mark.parametrize(
    ("arrange", "dropped"),
    [
        (lambda faults: None, 0),
        (lambda faults: [faults.delay_download(name, 0.2) for name in ("f00", "f01", "f05")], 0),
        (lambda faults: [faults.fail_download(name, 404) for name in ("f03", "f11")], 2),
    ],
    ids=["plain", "slow-files", "refused-files"],
)
def test_downloads_keep_their_connections_alive(sandbox, mode, waits, monkeypatch, arrange, dropped):
    monkeypatch.setenv("PIXELMEND_RETRIES", "2")
    files = plant(sandbox, numbered(20))
    arrange(sandbox.faults)

    assert black_white() == DOWNLOADED
    assert len(saved_files()) == 20 - dropped
    assert len(connections(sandbox)) <= int(mode) + 1 + dropped


# Over a service that fails or cuts a fifth of the downloads, ten retries
# bring every one of 40 files whole.
def test_an_unreliable_service_still_yields_every_file(sandbox, mode, waits, monkeypatch, capsys):
    monkeypatch.setenv("PIXELMEND_RETRIES", "10")
    files = plant(sandbox, {name: body(name, random.Random(name).randrange(1000, 60_000)) for name in numbered(40)})
    sandbox.faults.unreliable_downloads(failing=0.1, cut=0.1, seed=960)

    assert black_white() == DOWNLOADED
    assert capsys.readouterr().out == ""
    assert saved_files() == files
    faults = [record.fault for record in sandbox.received() if record.method == "GET"]
    assert {"status", "cut"} <= set(faults)
    assert len(faults) == 40 + faults.count("status") + faults.count("cut")
