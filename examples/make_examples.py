from pathlib import Path

from PIL import Image, ImageDraw, ImageFont

HERE = Path(__file__).resolve().parent


def vertical_gradient(size, top, bottom, mode="RGB"):
    width, height = size
    image = Image.new(mode, size)
    pen = ImageDraw.Draw(image)
    for y in range(height):
        t = y / max(1, height - 1)
        if mode == "L":
            colour = round(top + (bottom - top) * t)
        else:
            colour = tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))
        pen.line((0, y, width, y), fill=colour)
    return image


def draw_car(pen, x, y, body):
    pen.rectangle((x, y, x + 90, y + 34), fill=body)
    pen.rectangle((x + 18, y - 20, x + 68, y), fill=body)
    pen.rectangle((x + 24, y - 15, x + 62, y - 3), fill=(190, 220, 240))
    for wheel_x in (x + 12, x + 62):
        pen.ellipse((wheel_x, y + 26, wheel_x + 18, y + 44), fill=(20, 20, 20))


def draw_person(pen, x, y, coat):
    pen.ellipse((x + 4, y, x + 20, y + 16), fill=(235, 200, 170))
    pen.ellipse((x, y + 16, x + 24, y + 62), fill=coat)


def street():
    # A light road keeps the cars apart from it, so the stand-in's detection (dark regions on a light
    # background) finds people, cars, a ball and a parcel: one example of each of its object classes.
    image = vertical_gradient((480, 320), (120, 180, 235), (200, 225, 245))
    pen = ImageDraw.Draw(image)
    pen.ellipse((390, 24, 450, 84), fill=(255, 214, 60))
    pen.rectangle((0, 200, 480, 320), fill=(175, 175, 180))
    pen.rectangle((0, 188, 480, 200), fill=(215, 210, 200))
    for x in range(10, 480, 70):
        pen.rectangle((x, 300, x + 36, 306), fill=(240, 240, 235))
    draw_car(pen, 40, 222, (220, 20, 25))
    draw_car(pen, 250, 250, (30, 70, 200))
    draw_person(pen, 180, 128, (40, 40, 45))
    draw_person(pen, 214, 132, (120, 40, 110))
    draw_person(pen, 300, 126, (30, 90, 60))
    pen.ellipse((170, 262, 194, 286), fill=(200, 60, 20))
    pen.rectangle((400, 150, 440, 186), fill=(120, 80, 40))
    image.save(HERE / "street.jpg", quality=85)


def portrait_gray():
    image = vertical_gradient((320, 400), 200, 90, mode="L")
    pen = ImageDraw.Draw(image)
    pen.ellipse((40, 280, 280, 520), fill=60)
    pen.rectangle((135, 220, 185, 300), fill=150)
    for step in range(12):
        inset = step * 4
        pen.ellipse((90 + inset, 70 + inset, 230 - inset, 250 - inset), fill=150 + step * 6)
    pen.ellipse((122, 140, 144, 154), fill=40)
    pen.ellipse((176, 140, 198, 154), fill=40)
    pen.line((160, 160, 154, 196, 166, 196), fill=110, width=3)
    pen.arc((130, 190, 190, 225), 20, 160, fill=70, width=4)
    pen.pieslice((80, 50, 240, 150), 180, 360, fill=45)
    image.save(HERE / "portrait_gray.jpg", quality=85)


def id_card():
    image = Image.new("RGB", (428, 270), (236, 242, 232))
    pen = ImageDraw.Draw(image)
    font = ImageFont.load_default()
    pen.rectangle((0, 0, 428, 44), fill=(24, 96, 60))
    pen.text((16, 8), "REPUBLIC OF EXAMPLE", fill=(255, 255, 255), font=font)
    pen.text((16, 24), "NATIONAL IDENTITY CARD", fill=(255, 230, 120), font=font)
    pen.rectangle((16, 60, 126, 200), fill=(200, 205, 210), outline=(90, 90, 90))
    pen.ellipse((46, 80, 96, 140), fill=(150, 120, 100))
    pen.ellipse((31, 135, 111, 215), fill=(60, 70, 90))
    pen.rectangle((16, 200, 126, 215), fill=(236, 242, 232))
    lines = [
        "Surname: DOE",
        "Given names: JANE",
        "Date of birth: 01.02.1990",
        "Place of birth: SAMPLETOWN",
        "Sex: F   Height: 1.70",
        "Card no: X1234567",
    ]
    for row, line in enumerate(lines):
        pen.text((144, 64 + row * 22), line, fill=(20, 20, 20), font=font)
    pen.rectangle((0, 232, 428, 270), fill=(210, 220, 205))
    pen.text((16, 244), "IDEXA<<DOE<<JANE<<<<<<<<<<<<<<<<<<", fill=(40, 40, 40), font=font)
    image.save(HERE / "id_card.png", optimize=True)


def face(eye_shift, smile_depth, skin):
    image = Image.new("RGB", (256, 256), (225, 232, 240))
    pen = ImageDraw.Draw(image)
    pen.ellipse((48, 30, 208, 230), fill=skin)
    pen.pieslice((44, 22, 212, 150), 180, 360, fill=(70, 45, 30))
    for x in (92 + eye_shift, 146 + eye_shift):
        pen.ellipse((x, 104, x + 22, 120), fill=(255, 255, 255))
        pen.ellipse((x + 7, 107, x + 16, 117), fill=(40, 30, 20))
    pen.polygon([(128, 122), (118, 160), (138, 160)], fill=tuple(c - 30 for c in skin))
    pen.arc((96, 150, 160, 170 + smile_depth), 15, 165, fill=(150, 40, 50), width=5)
    image.save(HERE / ("face_a.png" if eye_shift == 0 else "face_b.png"), optimize=True)


def main():
    street()
    portrait_gray()
    id_card()
    face(0, 16, (232, 190, 160))
    face(2, 24, (226, 184, 152))


if __name__ == "__main__":
    main()
