import contextlib
import mimetypes
import os
import pathlib
import shutil
import sys
import tempfile

import pytest

from pixelmend.utils.utils import UploadFile, handle_image_path, handle_image_path_id

MEDIA_EXTENSIONS = ["jpg", "jpeg", "png", "bmp", "gif", "tif", "tiff", "webp", "mp4", "avi", "mov", "mkv"]

mimetypes.init()


def write(path, data=b"pixels"):
    path.write_bytes(data)
    return path


def uploads(result, skip=0):
    return [(field, value[0]) for field, value in result[skip:]]


class BytesPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return os.fsencode(self.path)


class RaisingPath:
    def __fspath__(self):
        raise LookupError("no path today")


class IntPath:
    def __fspath__(self):
        return 7


class Hostile:
    def __eq__(self, other):
        raise RuntimeError("compared")

    def __bool__(self):
        raise RuntimeError("truth-tested")

    __hash__ = object.__hash__


class Boom(Exception):
    pass


class RaisingIterable:
    def __iter__(self):
        yield ("a", "b")
        raise Boom


class RaisingItems:
    def items(self):
        raise Boom


@contextlib.contextmanager
def unprivileged():
    if os.geteuid() != 0:
        yield
        return
    os.seteuid(65534)
    try:
        yield
    finally:
        os.seteuid(0)


@pytest.fixture
def public_dir():
    path = pathlib.Path(tempfile.mkdtemp())
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


@pytest.mark.parametrize("name", ["photo.jpg", "notes.txt", ".hidden.png", "no_extension"])
def test_a_regular_file_is_uploaded_whatever_its_name(tmp_path, name):
    path = write(tmp_path / name, b"x" * 123)
    result = handle_image_path([("model", "v2")], str(path))
    assert result[0] == ("model", "v2")
    assert uploads(result, 1) == [("image", name)]
    reader = result[1][1][1]
    assert type(reader) is UploadFile
    assert (reader.name, reader.len) == (str(path), 123)


def make_missing(tmp_path):
    return tmp_path / "missing.jpg"


def make_below_a_file(tmp_path):
    return write(tmp_path / "photo.jpg") / "child.jpg"


def make_broken_link(tmp_path):
    (tmp_path / "link.jpg").symlink_to(tmp_path / "gone.jpg")
    return tmp_path / "link.jpg"


def make_link_loop(tmp_path):
    (tmp_path / "a.jpg").symlink_to(tmp_path / "b.jpg")
    (tmp_path / "b.jpg").symlink_to(tmp_path / "a.jpg")
    return tmp_path / "a.jpg"


def make_empty_dir(tmp_path):
    return tmp_path


def make_dir_without_media(tmp_path):
    for name in ["notes.txt", ".hidden.jpg", "jpg", "photo.jpgx", "photo.xjpg", "photo.jpg.txt", "photo."]:
        write(tmp_path / name)
    (tmp_path / "album.jpg").mkdir()
    write(tmp_path / "album.jpg" / "inner.jpg")
    return tmp_path


def make_fifo(tmp_path):
    os.mkfifo(tmp_path / "pipe.jpg")
    return tmp_path / "pipe.jpg"


@pytest.mark.parametrize(
    "make",
    [
        lambda tmp_path: None,
        lambda tmp_path: "",
        make_missing,
        make_below_a_file,
        make_broken_link,
        make_link_loop,
        make_empty_dir,
        make_dir_without_media,
        make_fifo,
        lambda tmp_path: "/dev/null",
        lambda tmp_path: "x" * 5000,
    ],
)
def test_nothing_to_upload_gives_false(tmp_path, tmp_path_factory, make):
    path = make(tmp_path)
    other = write(tmp_path_factory.mktemp("other") / "other.png")
    assert handle_image_path([("a", "b")], path) is False
    assert handle_image_path_id([], path, other) is False
    assert handle_image_path_id([], other, path) is False


def test_a_directory_yields_its_readable_media_files_sorted(tmp_path):
    outside = write(tmp_path / "outside.bin")
    album = tmp_path / "album"
    album.mkdir()
    for name in ["b.jpg", "B.PNG", "a10.gif", "a2.webp", "clip.MoV", "notes.txt", ".hidden.jpg", "jpg"]:
        write(album / name)
    (album / "linked.jpeg").symlink_to(outside)
    (album / "broken.jpg").symlink_to(album / "gone.jpg")
    (album / "sub.png").mkdir()
    write(album / "sub.png" / "deep.jpg")
    os.mkfifo(album / "pipe.jpg")

    result = handle_image_path([], album)

    expected = ["B.PNG", "a10.gif", "a2.webp", "b.jpg", "clip.MoV", "linked.jpeg"]
    assert uploads(result) == [("image", name) for name in expected]
    assert [reader.name for _, (_, reader, _) in result] == [str(album / name) for name in expected]


@pytest.mark.parametrize("extension", MEDIA_EXTENSIONS)
@pytest.mark.parametrize("spell", [str.lower, str.upper, str.title])
def test_every_media_extension_matches_in_any_case(tmp_path, extension, spell):
    name = "file." + spell(extension)
    write(tmp_path / name)
    assert uploads(handle_image_path([], tmp_path)) == [("image", name)]


def test_a_trailing_slash_does_not_double_the_separator(tmp_path):
    write(tmp_path / "a.jpg")
    result = handle_image_path([], str(tmp_path) + "/")
    assert result[0][1][1].name == str(tmp_path) + "/a.jpg"


@pytest.mark.parametrize("convert", [str, os.fsencode, pathlib.Path, BytesPath])
def test_path_flavours_are_equivalent(tmp_path, convert):
    write(tmp_path / "a.jpg")
    write(tmp_path / "b.png")
    result = handle_image_path([], convert(str(tmp_path)))
    assert uploads(result) == [("image", "a.jpg"), ("image", "b.png")]
    assert all(isinstance(reader.name, str) for _, (_, reader, _) in result)


@pytest.mark.skipif(sys.getfilesystemencoding() != "utf-8", reason="needs a UTF-8 file system encoding")
def test_undecodable_names_survive_as_surrogates(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9.jpg"
    with open(raw, "wb") as handle:
        handle.write(b"x")
    result = handle_image_path([], tmp_path)
    assert uploads(result) == [("image", "caf\udce9.jpg")]
    assert os.fsencode(result[0][1][1].name) == raw


@pytest.mark.parametrize(
    "path, error",
    [
        (123, TypeError),
        (Hostile(), TypeError),
        (bytearray(b"/tmp"), TypeError),
        (IntPath(), TypeError),
        (RaisingPath(), LookupError),
        ("photo\0.jpg", ValueError),
    ],
)
def test_bad_paths_raise(path, error):
    with pytest.raises(error):
        handle_image_path([], path)
    with pytest.raises(error):
        handle_image_path_id([], "/", path)


@pytest.mark.parametrize(
    "fields, expected",
    [
        ([("a", "1")], [("a", "1")]),
        ((("a", "1"), ("b", "2")), [("a", "1"), ("b", "2")]),
        ({"a": "1", "b": "2"}, [("a", "1"), ("b", "2")]),
        (iter([("a", "1")]), [("a", "1")]),
        ([], []),
    ],
)
def test_fields_are_copied_not_mutated(tmp_path, fields, expected):
    photo = write(tmp_path / "p.jpg")
    snapshot = list(fields) if isinstance(fields, (list, tuple)) else None
    result = handle_image_path(fields, photo)
    assert result[:-1] == expected
    assert result is not fields
    if snapshot is not None:
        assert list(fields) == snapshot


@pytest.mark.parametrize("fields, error", [(42, TypeError), (None, TypeError), (RaisingIterable(), Boom), (RaisingItems(), Boom)])
def test_bad_fields_raise(tmp_path, fields, error):
    photo = write(tmp_path / "p.jpg")
    with pytest.raises(error):
        handle_image_path(fields, photo)
    with pytest.raises(error):
        handle_image_path_id(fields, photo, photo)


def test_arguments_bind_by_keyword(tmp_path):
    photo = write(tmp_path / "p.jpg")
    assert uploads(handle_image_path(image_path=photo, fields=[])) == [("image", "p.jpg")]
    assert uploads(handle_image_path_id([], to_compare=photo, image_path=photo)) == [
        ("image", "p.jpg"),
        ("image_to_compare", "p.jpg"),
    ]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (([],), {}),
        (([], None, None), {}),
        (([],), {"path": None}),
        (([], None), {"fields": []}),
        ((), {"fields": [], "image_path": None, "extra": 1}),
    ],
)
def test_wrong_arguments_raise_type_error(args, kwargs):
    with pytest.raises(TypeError):
        handle_image_path(*args, **kwargs)


@pytest.mark.parametrize(
    "name, expected",
    [
        ("a.jpg", "image/jpeg"),
        ("a.JPG", "image/jpeg"),
        ("a.png", "image/png"),
        ("a.mp4", "video/mp4"),
        ("a.nosuchtype", "application/octet-stream"),
        ("no_extension", "application/octet-stream"),
    ],
)
def test_content_type_comes_from_the_file_name(tmp_path, name, expected):
    result = handle_image_path([], write(tmp_path / name))
    assert result[0][1][2] == expected


def test_content_types_agree_with_mimetypes(tmp_path):
    for extension in MEDIA_EXTENSIONS:
        write(tmp_path / ("f." + extension))
    for _, (name, _, content_type) in handle_image_path([], tmp_path):
        assert content_type == (mimetypes.guess_type(name)[0] or "application/octet-stream")


def test_id_helper_lists_images_then_images_to_compare(tmp_path):
    first, second = tmp_path / "first", tmp_path / "second"
    first.mkdir()
    second.mkdir()
    write(first / "b.jpg")
    write(first / "a.jpg")
    write(second / "c.png")
    result = handle_image_path_id([("k", "v")], first, second)
    assert result[0] == ("k", "v")
    assert uploads(result, 1) == [("image", "a.jpg"), ("image", "b.jpg"), ("image_to_compare", "c.png")]


def test_an_unreadable_file_raises_permission_error(public_dir):
    locked = write(public_dir / "locked.jpg")
    locked.chmod(0)
    write(public_dir / "open.jpg")
    with unprivileged():
        assert uploads(handle_image_path([], public_dir / "open.jpg")) == [("image", "open.jpg")]
        with pytest.raises(PermissionError) as direct:
            handle_image_path([], locked)
        with pytest.raises(PermissionError) as listed:
            handle_image_path([], public_dir)
    assert direct.value.filename == str(locked)
    assert listed.value.filename == str(locked)


def test_an_unlistable_directory_raises_permission_error(public_dir):
    write(public_dir / "a.jpg")
    public_dir.chmod(0o311)
    with unprivileged(), pytest.raises(PermissionError) as raised:
        handle_image_path([], public_dir)
    assert raised.value.filename == str(public_dir)
