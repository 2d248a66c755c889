import email.utils
import os
import threading
import time
from datetime import datetime, timedelta, timezone

import pytest
from requests import exceptions

import pixelmend.main as pm

DOWNLOADED = "Files downloaded to " + os.path.join("results", "img.png")
MODES = {"one-after-another": None, "four-at-a-time": "4"}


# Records the waits between tries instead of waiting: time.sleep on the
# calling thread, the stop event's wait on the download threads.
@pytest.fixture(params=MODES)
def waits(request, monkeypatch):
    recorded = []
    if MODES[request.param]:
        monkeypatch.setenv("PIXELMEND_DOWNLOADS", MODES[request.param])

    class RecordingEvent(threading.Event):
        def wait(self, timeout=None):
            if timeout is None:
                return super().wait()
            recorded.append(timeout)
            return self.is_set()

    monkeypatch.setattr(threading, "Event", RecordingEvent)
    monkeypatch.setattr(time, "sleep", recorded.append)
    return recorded


def cut(fakes, body=b"abc"):
    return fakes.FileReply(chunks=[body, exceptions.ChunkedEncodingError("cut short")])


def part(fakes, content_range, body=b"def", status=206):
    return fakes.FileReply(status=status, chunks=[body], headers={"Content-Range": content_range})


def whole(fakes, body=b"abcdef"):
    return fakes.FileReply(chunks=[body])


RESUMED = "bytes=3-"


def last_answer(replies):
    return replies[-1]


def last_cut(replies):
    return replies[-1].chunks[-1]


def cut_part(fakes, content_range, body=b"d"):
    return fakes.FileReply(status=206, chunks=[body, exceptions.ChunkedEncodingError("cut again")],
                           headers={"Content-Range": content_range})

# The answers to the tries of one file, the retries allowed, what is left
# (the file's bytes, its "Failed to download" line, or which answer's error
# is raised)
# and the Range header of each try.
CASES = {
    "connection-refused": (lambda f: [exceptions.ConnectionError("refused"), whole(f)], 1, b"abcdef", [None, None]),
    "read-timeout": (lambda f: [exceptions.ReadTimeout("slow"), whole(f)], 1, b"abcdef", [None, None]),
    "connect-timeout": (lambda f: [exceptions.ConnectTimeout("slow"), whole(f)], 2, b"abcdef", [None, None]),
    "read-timeout-mid-body": (lambda f: [f.FileReply(chunks=[b"abc", exceptions.ConnectionError("timed out")]),
                                         part(f, "bytes 3-5/6")], 1, b"abcdef", [None, RESUMED]),
    "cut-body-resumed": (lambda f: [cut(f), part(f, "bytes 3-5/6")], 1, b"abcdef", [None, RESUMED]),
    "cut-body-resumed-unknown-length": (lambda f: [cut(f), part(f, "Bytes 3-5/*")], 1, b"abcdef", [None, RESUMED]),
    "cut-twice": (lambda f: [cut(f), cut_part(f, "bytes 3-5/6"), part(f, "bytes 4-5/6", b"ef")], 3, b"abcdef",
                  [None, RESUMED, "bytes=4-"]),
    "200-to-a-range-starts-over": (lambda f: [cut(f), whole(f, b"ABCDEF")], 1, b"ABCDEF", [None, RESUMED]),
    "206-from-elsewhere-starts-over": (lambda f: [cut(f), part(f, "bytes 0-5/6", b"XXXXXX"), whole(f)], 2,
                                       b"abcdef", [None, RESUMED, None]),
    "206-without-content-range": (lambda f: [cut(f), f.FileReply(status=206, chunks=[b"def"]), whole(f)], 2,
                                  b"abcdef", [None, RESUMED, None]),
    "206-past-its-total": (lambda f: [cut(f), part(f, "bytes 3-9/6"), whole(f)], 2, b"abcdef", [None, RESUMED, None]),
    "206-from-elsewhere-last-try": (lambda f: [cut(f), part(f, "bytes 2-5/6")], 1, "line", [None, RESUMED]),
    **{f"status-{status}": (lambda f, status=status: [f.FileReply(status=status), whole(f)], 1, b"abcdef", [None, None])
       for status in (408, 429, 500, 502, 503, 504)},
    "status-404": (lambda f: [f.FileReply(status=404), whole(f)], 3, "line", [None]),
    "status-403": (lambda f: [f.FileReply(status=403), whole(f)], 3, "line", [None]),
    "status-416": (lambda f: [cut(f), f.FileReply(status=416), whole(f)], 3, "line", [None, RESUMED]),
    "tls-failure": (lambda f: [exceptions.SSLError("certificate verify failed"), whole(f)], 3, lambda r: r[0],
                    [None]),
    "not-a-transport-error": (lambda f: [f.Gone("bug"), whole(f)], 3, lambda r: r[0], [None]),
    "errors-use-up-the-tries": (lambda f: [exceptions.ConnectionError("1"), exceptions.ConnectionError("2"),
                                           exceptions.ConnectionError("last")], 2, last_answer, [None] * 3),
    "statuses-use-up-the-tries": (lambda f: [f.FileReply(status=503)], 2, "line", [None] * 3),
    "cut-bodies-use-up-the-tries": (lambda f: [cut(f), cut_part(f, "bytes 3-5/6")], 1, last_cut, [None, RESUMED]),
}


@pytest.mark.parametrize("case", CASES)
def test_which_failures_are_tried_again(fake_service, fakes, waits, monkeypatch, capsys, case):
    answers, retries, outcome, ranges = CASES[case]
    monkeypatch.setenv("PIXELMEND_RETRIES", str(retries))
    service = fake_service(["f", "next"])
    replies = answers(fakes)
    service.answer("f", *replies)
    if isinstance(outcome, bytes) or outcome == "line":
        assert pm.Pixelmend("K").black_white("img.png") == DOWNLOADED
        saved = fakes.saved_files()
        assert saved.pop("next") == b"next"
        assert saved == ({"f": outcome} if isinstance(outcome, bytes) else {})
        assert capsys.readouterr().out == ("Failed to download f\n" if outcome == "line" else "")
    else:
        with pytest.raises(Exception) as raised:
            pm.Pixelmend("K").black_white("img.png")
        assert raised.value is outcome(replies)
        assert not [name for name in os.listdir("results/img.png") if name.endswith(".part")]
    tries = [keywords for name, keywords, _ in service.gets if name == "f"]
    assert [keywords.get("headers", {}).get("Range") for keywords in tries] == ranges
    assert all(set(keywords) == ({"stream", "verify", "headers"} if keywords.get("headers") else {"stream", "verify"})
               for keywords in tries)
    assert len(waits) == len(tries) - 1
    assert all(0 <= wait <= min(8, 0.5 * 2 ** attempt) for attempt, wait in enumerate(waits))


# A date that many seconds from now, as a float stands for it in the table.
def http_date(seconds):
    return email.utils.format_datetime(datetime.now(timezone.utc) + timedelta(seconds=seconds), usegmt=True)


@pytest.mark.parametrize(
    ("retry_after", "tried_again", "low", "high"),
    [
        ("7", True, 7, 7),
        (" 60 ", True, 60, 60),
        ("0", True, 0, 0),
        ("61", False, None, None),
        ("99999999999999999999999", False, None, None),
        (30.0, True, 20, 30),
        (-3600.0, True, 0, 0),
        (3600.0, False, None, None),
        ("soon", True, 0, 0.5),
        ("-5", True, 0, 0.5),
    ],
    ids=["seconds", "sixty-seconds", "no-wait", "too-long", "far-too-long", "date", "past-date", "date-too-far",
         "not-a-time", "negative"],
)
def test_retry_after_is_waited_out_up_to_a_minute(fake_service, fakes, waits, monkeypatch, capsys, retry_after,
                                                  tried_again, low, high):
    monkeypatch.setenv("PIXELMEND_RETRIES", "3")
    service = fake_service(["f"])
    if isinstance(retry_after, float):
        retry_after = http_date(retry_after)
    service.answer("f", fakes.FileReply(status=503, headers={"Retry-After": retry_after}), whole(fakes))
    assert pm.Pixelmend("K").black_white("img.png") == DOWNLOADED
    if tried_again:
        [wait] = waits
        assert low <= wait <= high
        assert fakes.saved_files() == {"f": b"abcdef"}
    else:
        assert waits == [] and capsys.readouterr().out == "Failed to download f\n"
    assert len(service.gets) == 1 + tried_again


def test_the_upload_is_never_tried_again(fake_service, monkeypatch):
    monkeypatch.setenv("PIXELMEND_RETRIES", "5")
    service = fake_service(["f"])
    service.upload_reply = exceptions.ConnectionError("reset")
    with pytest.raises(exceptions.ConnectionError):
        pm.Pixelmend("K").black_white("img.png")
    assert len(service.posts) == 1 and service.gets == []


# Ctrl-C during the wait before a resumed try, one file after another:
# nothing more is fetched and the staged bytes go.
def test_ctrl_c_during_a_wait_leaves_no_torn_file(fake_service, fakes, monkeypatch):
    monkeypatch.setenv("PIXELMEND_RETRIES", "3")
    service = fake_service(["f"])
    service.answer("f", cut(fakes), whole(fakes))

    def interrupted(seconds):
        raise KeyboardInterrupt

    monkeypatch.setattr(time, "sleep", interrupted)
    with pytest.raises(KeyboardInterrupt):
        pm.Pixelmend("K").black_white("img.png")
    assert len(service.gets) == 1 and os.listdir("results/img.png") == []
