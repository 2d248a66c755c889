import io

import pytest
from PIL import Image

KEY = ("api_key", "demo-key")


def image_part(example, name, field="image", content_type="image/jpeg"):
    return (field, (name, example(name), content_type))


@pytest.mark.parametrize(
    "path, option, suffix, mode",
    [
        ("/vision/v0/segmention-masks", "0", "_mask.png", "L"),
        ("/vision/v0/black-white", "1", "_bw.png", "L"),
        ("/vision/v0/colorization", "2", "_color.png", "RGB"),
    ],
)
def test_pixel_operations_return_one_image_per_upload(post, fetch_image, example, path, option, suffix, mode):
    fields = [KEY, ("option", option), image_part(example, "street.jpg"), image_part(example, "portrait_gray.jpg")]
    reply = post(path, fields).json()
    assert reply["success"] is True and reply["message"] == ""
    assert reply["filenames"] == ["street" + suffix, "portrait_gray" + suffix]
    street = fetch_image(reply, reply["filenames"][0])
    assert street.size == (480, 320)
    assert street.mode == mode


def test_mask_is_binary_and_marks_both_classes(post, fetch_image, example):
    reply = post("/vision/v0/segmention-masks", [KEY, ("option", "0"), image_part(example, "street.jpg")]).json()
    mask = fetch_image(reply, "street_mask.png")
    assert set(mask.tobytes()) == {0, 255}


def test_colorization_turns_gray_into_colour(post, fetch_image, example):
    reply = post("/vision/v0/colorization", [KEY, ("option", "2"), image_part(example, "portrait_gray.jpg")]).json()
    coloured = fetch_image(reply, "portrait_gray_color.png")
    red, green, blue = coloured.getpixel((160, 390))
    assert len({red, green, blue}) > 1


def detection_fields(example, threshold="0.25", display="Boxes", color=None, option="0"):
    fields = [KEY, ("option", option), ("confidence_threshold", threshold), ("display", display)]
    if color is not None:
        fields.append(("color", color))
    return fields + [image_part(example, "street.jpg")]


@pytest.mark.parametrize("threshold", ["0.25", "0.8", "0.9"])
def test_detection_keeps_only_scores_above_threshold(post, fetch_json, fetch_image, example, threshold):
    reply = post("/vision/v0/smart-object-detection", detection_fields(example, threshold)).json()
    assert reply["filenames"] == ["street_detection.png", "street_detection.json"]
    summary = fetch_json(reply, "street_detection.json")
    assert all(box["score"] > float(threshold) for box in summary["boxes"])
    for box in summary["boxes"]:
        x0, y0, x1, y1 = box["box"]
        assert 0 <= x0 < x1 <= 480 and 0 <= y0 < y1 <= 320
    assert fetch_image(reply, "street_detection.png").size == (480, 320)


def test_detection_finds_the_people_in_the_street(post, fetch_json, example):
    reply = post("/vision/v0/smart-object-detection", detection_fields(example)).json()
    boxes = fetch_json(reply, "street_detection.json")["boxes"]
    centres = sorted(((b["box"][0] + b["box"][2]) // 2) for b in boxes)
    assert len(boxes) >= 3
    assert any(180 <= c <= 205 for c in centres) and any(300 <= c <= 325 for c in centres)


@pytest.mark.parametrize("display, only_purple", [("Masks", True), ("Boxes", False)])
def test_colour_filter_applies_to_masks_only(post, fetch_json, example, display, only_purple):
    everything = post("/vision/v0/smart-object-detection", detection_fields(example, display=display)).json()
    purple = post("/vision/v0/smart-object-detection", detection_fields(example, display=display, color="#782870")).json()
    all_boxes = fetch_json(everything, "street_detection.json")["boxes"]
    purple_boxes = fetch_json(purple, "street_detection.json")["boxes"]
    if only_purple:
        assert 0 < len(purple_boxes) < len(all_boxes)
        assert all(214 <= b["box"][0] <= 240 for b in purple_boxes)
    else:
        assert purple_boxes == all_boxes


@pytest.mark.parametrize(
    "option, name, count",
    [("0", "all", 7), ("1", "upright", 3), ("2", "wide", 2), ("3", "round", 1), ("4", "boxy", 1), ("5", "small", 1)],
)
def test_option_keeps_one_object_class(post, fetch_json, example, option, name, count):
    reply = post("/vision/v0/smart-object-detection", detection_fields(example, option=option)).json()
    summary = fetch_json(reply, "street_detection.json")
    assert (summary["class_index"], summary["class_name"], len(summary["boxes"])) == (int(option), name, count)
    assert all(name in box["classes"] for box in summary["boxes"]) or name == "all"


def test_identity_data_describes_the_card(post, fetch_json, example):
    fields = [KEY, ("country", "SEN"), image_part(example, "id_card.png", content_type="image/png")]
    reply = post("/vision/v0/getIdentityData", fields).json()
    assert reply["filenames"] == ["id_card_identity.json"]
    card = fetch_json(reply, "id_card_identity.json")
    assert card["country"] == "SEN"
    assert card["image_size"] == [428, 270]
    assert card["dominant_colours"] and all(c["hex"].startswith("#") for c in card["dominant_colours"])
    assert isinstance(card["text_lines"], list)


@pytest.mark.parametrize(
    "other, verdict",
    [("face_b.png", "match"), ("face_a.png", "match"), ("street.jpg", "no match"), ("id_card.png", "no match")],
)
def test_face_verification_verdicts(post, fetch_json, example, other, verdict):
    fields = [KEY, image_part(example, "face_a.png"), image_part(example, other, field="image_to_compare")]
    reply = post("/vision/v0/faceIdVerification", fields).json()
    assert reply["filenames"] == ["verification.json"]
    result = fetch_json(reply, "verification.json")
    assert result["verdict"] == verdict
    assert 0.0 <= result["similarity"] <= 1.0
    assert (result["similarity"] == 1.0) == (other == "face_a.png")


@pytest.mark.parametrize(
    "upload_names, result_names",
    [
        (["a.png", "a.jpg"], ["a_bw.png", "a-2_bw.png"]),
        (["../../etc/passwd.png"], ["passwd_bw.png"]),
        (["sub/dir/café au lait.png"], ["caf_au_lait_bw.png"]),
        ([".png"], ["png_bw.png"]),
    ],
)
def test_result_names_are_safe_and_unique(post, fetch_image, png_bytes, upload_names, result_names):
    files = [("image", (name, png_bytes(), "image/png")) for name in upload_names]
    reply = post("/vision/v0/black-white", [KEY, ("option", "1"), *files]).json()
    assert reply["filenames"] == result_names
    for name in result_names:
        assert fetch_image(reply, name).size == (32, 24)


def test_reply_path_points_at_this_service(post, service, png_bytes):
    reply = post("/vision/v0/black-white", [KEY, ("option", "1"), ("image", ("x.png", png_bytes(), "image/png"))]).json()
    prefix = f"https://127.0.0.1:{service.port}/results/"
    assert reply["path"].startswith(prefix)
    assert len(reply["path"][len(prefix):]) == 32


def test_transparent_image_is_flattened_on_white(post, fetch_image):
    buffer = io.BytesIO()
    Image.new("RGBA", (10, 10), (0, 0, 0, 0)).save(buffer, "PNG")
    reply = post("/vision/v0/black-white", [KEY, ("option", "1"), ("image", ("t.png", buffer.getvalue(), "image/png"))]).json()
    assert fetch_image(reply, "t_bw.png").getpixel((5, 5)) == 255
