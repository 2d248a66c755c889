import pytest
from PIL import Image, ImageDraw

from pixelmend.sandbox.checks import parse_hex_colour
from pixelmend.sandbox.classes import OBJECT_CLASSES_BY_INDEX
from pixelmend.sandbox.detection import analysis_copy, find_objects
from pixelmend.sandbox.images import safe_stem, unique_stems
from pixelmend.sandbox.regions import connected_regions
from pixelmend.sandbox.tones import foreground_mask, otsu_threshold
from pixelmend.sandbox.verification import difference_hash, similarity


def canvas(size=(600, 400), background="white"):
    return Image.new("RGB", size, background)


def with_rectangles(image, boxes, fill="black"):
    pen = ImageDraw.Draw(image)
    for box in boxes:
        pen.rectangle((box[0], box[1], box[2] - 1, box[3] - 1), fill=fill)
    return image


@pytest.mark.parametrize("dark, bright", [(10, 200), (90, 110), (0, 255)])
def test_otsu_splits_two_levels(dark, bright):
    gray = Image.new("L", (40, 10), dark)
    gray.paste(bright, (20, 0, 40, 10))
    assert dark <= otsu_threshold(gray) < bright


@pytest.mark.parametrize("background, shape", [("white", "black"), ("black", "white"), ("#3060a0", "#f0e020")])
def test_foreground_is_what_the_border_is_not(background, shape):
    image = with_rectangles(canvas((100, 80), background), [(30, 20, 60, 50)], fill=shape)
    mask = foreground_mask(image)
    assert mask.getbbox() == (30, 20, 60, 50)


@pytest.mark.parametrize("colour", ["white", "black", "#808080"])
def test_uniform_image_has_no_foreground(colour):
    assert foreground_mask(canvas((50, 50), colour)).getbbox() is None


def test_connected_regions_separate_touching_diagonals():
    mask = Image.new("L", (6, 4), 0)
    for xy in [(0, 0), (1, 0), (2, 1), (4, 2), (5, 2), (4, 3)]:
        mask.putpixel(xy, 255)
    regions = sorted(connected_regions(mask), key=lambda r: r.box)
    assert [(r.box, r.area) for r in regions] == [((0, 0, 2, 1), 2), ((2, 1, 3, 2), 1), ((4, 2, 6, 4), 3)]
    assert regions[2].fill_ratio == pytest.approx(0.75)


def test_detection_boxes_land_where_the_objects_are():
    boxes = [(60, 40, 180, 120), (400, 200, 520, 360)]
    image = with_rectangles(canvas(), boxes)
    found = sorted(d.box for d in find_objects(image, analysis_copy(image), 0.5, None))
    assert len(found) == 2
    for (x0, y0, x1, y1), (ex0, ey0, ex1, ey1) in zip(found, boxes):
        assert abs(x0 - ex0) <= 4 and abs(y0 - ey0) <= 4 and abs(x1 - ex1) <= 4 and abs(y1 - ey1) <= 4


def test_detection_ignores_specks_and_full_width_bands():
    image = with_rectangles(canvas(), [(0, 300, 600, 400), (10, 10, 12, 12), (200, 100, 260, 160)])
    found = find_objects(image, analysis_copy(image), 0.25, None)
    assert [d.label for d in found] == ["block"]


@pytest.mark.parametrize("colour, expected", [((255, 0, 0), 1), ((0, 0, 255), 1), ((0, 255, 0), 0), (None, 2)])
def test_detection_colour_filter(colour, expected):
    image = canvas()
    with_rectangles(image, [(50, 50, 150, 150)], fill=(250, 10, 10))
    with_rectangles(image, [(300, 50, 400, 150)], fill=(10, 10, 240))
    assert len(find_objects(image, analysis_copy(image), 0.25, colour)) == expected


@pytest.mark.parametrize("index, lefts", [(1, [50]), (2, [300]), (3, []), (4, [50, 300]), (5, [])])
def test_object_class_selects_by_outline(index, lefts):
    image = with_rectangles(canvas(), [(50, 50, 90, 200), (300, 50, 500, 120)])
    found = find_objects(image, analysis_copy(image), 0.25, None, OBJECT_CLASSES_BY_INDEX[index])
    assert sorted(d.box[0] for d in found) == lefts


def test_hash_similarity_orders_images_sensibly():
    base = with_rectangles(canvas((200, 200)), [(40, 40, 120, 160)])
    shifted = with_rectangles(canvas((200, 200)), [(44, 40, 124, 160)])
    other = with_rectangles(canvas((200, 200)), [(0, 0, 200, 60), (140, 100, 200, 200)])
    reference = difference_hash(base)
    assert similarity(reference, difference_hash(base.resize((100, 100)))) >= 0.95
    assert similarity(reference, difference_hash(shifted)) > similarity(reference, difference_hash(other))
    assert similarity(reference, reference ^ ((1 << 256) - 1)) == 0.0


@pytest.mark.parametrize(
    "filename, stem",
    [
        ("street.jpg", "street"),
        ("archive.tar.gz", "archive_tar"),
        ("../../etc/passwd", "passwd"),
        ("..\\..\\win.ini", "win"),
        ("..", "image"),
        ("a" * 300 + ".png", "a" * 80),
        ("x\x00y.png", "x_y"),
    ],
)
def test_safe_stem(filename, stem):
    assert safe_stem(filename) == stem


def test_unique_stems_number_repeats():
    assert unique_stems(["a.png", "b.png", "a.jpg", "dir/a.gif"]) == ["a", "b", "a-2", "a-3"]


@pytest.mark.parametrize("text, rgb", [("#ff0000", (255, 0, 0)), ("0a0", (0, 170, 0)), ("#ABCDEF", (171, 205, 239))])
def test_parse_hex_colour(text, rgb):
    assert parse_hex_colour(text) == rgb
