import gc
import os

import pytest

from pixelmend.utils import utils
from pixelmend.utils.utils import UploadFile, handle_image_path

pytestmark = pytest.mark.xdist_group("measuring")

DATA = bytes(range(256)) * 4


def open_fds():
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


def reader_for(path):
    return handle_image_path([], path)[0][1][1]


@pytest.fixture
def photo(tmp_path):
    path = tmp_path / "photo.jpg"
    path.write_bytes(DATA)
    return path


def test_the_type_is_identified_by_its_full_name(photo):
    reader = reader_for(photo)
    kind = type(reader)
    assert f"{kind.__module__}.{kind.__qualname__}" == "pixelmend.utils.utils.UploadFile"
    assert utils.UploadFile is kind
    assert repr(reader) == f"<UploadFile {str(photo)!r} size=1024>"


def test_readers_are_not_made_directly():
    with pytest.raises(TypeError):
        UploadFile()


@pytest.mark.parametrize("attribute", ["__len__", "fileno", "getvalue"])
def test_no_attribute_that_changes_how_the_encoder_sees_it(photo, attribute):
    assert not hasattr(reader_for(photo), attribute)


@pytest.mark.parametrize(
    "sizes, expected",
    [
        ([()], [DATA]),
        ([(None,)], [DATA]),
        ([(-1,)], [DATA]),
        ([(-7,)], [DATA]),
        ([(5000,)], [DATA]),
        ([(0,), (10,), ()], [b"", DATA[:10], DATA[10:]]),
        ([(1000,), (100,), (100,)], [DATA[:1000], DATA[1000:], b""]),
        ([(), (), (5,)], [DATA, b"", b""]),
    ],
)
def test_reads_follow_file_semantics_and_len_tracks_them(photo, sizes, expected):
    reader = reader_for(photo)
    consumed = 0
    for args, chunk in zip(sizes, expected):
        assert reader.read(*args) == chunk
        consumed += len(chunk)
        assert reader.len == len(DATA) - consumed


@pytest.mark.parametrize("args, error", [((1.5,), TypeError), (("1",), TypeError), ((1, 2), TypeError), ((2**80,), OverflowError)])
def test_bad_read_arguments(photo, args, error):
    reader = reader_for(photo)
    with pytest.raises(error):
        reader.read(*args)
    assert reader.read() == DATA


def test_the_file_is_opened_on_first_read_and_closed_after_the_last_byte(photo):
    before = open_fds()
    reader = reader_for(photo)
    assert open_fds() == before
    reader.read(1)
    assert open_fds() == before + 1
    reader.read(len(DATA) - 1)
    assert open_fds() == before
    assert reader.read() == b""
    assert not reader.closed


def test_close_releases_the_file_and_later_reads_fail(photo):
    before = open_fds()
    reader = reader_for(photo)
    reader.read(1)
    reader.close()
    assert open_fds() == before
    assert reader.closed
    with pytest.raises(ValueError):
        reader.read(1)
    reader.close()


def test_dropping_a_reader_releases_the_file(photo):
    before = open_fds()
    reader = reader_for(photo)
    reader.read(1)
    del reader
    assert open_fds() == before


def test_an_empty_file_is_never_opened(tmp_path):
    path = tmp_path / "empty.png"
    path.write_bytes(b"")
    reader = reader_for(path)
    path.unlink()
    assert (reader.len, reader.read()) == (0, b"")


def shrink_to_600(path):
    os.truncate(path, 600)


def replace_with_same_size(path):
    other = path.with_name("other")
    other.write_bytes(DATA)
    os.replace(other, path)


def replace_with_fifo(path):
    path.unlink()
    os.mkfifo(path)


@pytest.mark.parametrize(
    "change, error, message",
    [
        (shrink_to_600, OSError, "file changed size while being uploaded (expected 1024 bytes, got 600)"),
        (lambda path: os.truncate(path, 0), OSError, "(expected 1024 bytes, got 0)"),
        (os.unlink, FileNotFoundError, "No such file"),
        (replace_with_same_size, OSError, "was replaced"),
        (replace_with_fifo, OSError, "was replaced"),
    ],
)
def test_a_file_changed_before_reading_fails_and_keeps_failing(photo, change, error, message):
    before = open_fds()
    reader = reader_for(photo)
    change(photo)
    for _ in range(2):
        with pytest.raises(error) as raised:
            reader.read(100)
        assert message in str(raised.value)
        assert str(photo) in str(raised.value)
        assert reader.len == len(DATA)
    assert open_fds() == before


def test_a_file_that_shrinks_midway_fails_when_its_end_is_reached(photo):
    before = open_fds()
    reader = reader_for(photo)
    assert reader.read(500) == DATA[:500]
    shrink_to_600(photo)
    assert reader.read(100) == DATA[500:600]
    with pytest.raises(OSError, match=r"expected 1024 bytes, got 600\)"):
        reader.read(1)
    assert reader.len == len(DATA) - 600
    assert open_fds() == before
    with pytest.raises(OSError, match="got 600"):
        reader.read()


def test_a_file_that_grows_is_read_up_to_its_listed_size(photo):
    reader = reader_for(photo)
    with open(photo, "ab") as handle:
        handle.write(b"more" * 100)
    assert reader.read() == DATA
    assert (reader.len, reader.read()) == (0, b"")
