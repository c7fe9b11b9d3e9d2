#!/usr/bin/python3
"""Draws the phone's artwork into res/art/: the skin (bmp131), the twenty key
faces (bmp180..bmp199), the list icons (bmp150), the picture beside the
registration form (bmp132) and the window/tray icons (icon128, icon148), each
also at twice the size, and the program's icon for the desktop's icon theme
(res/icons/<size>.png) ("@2x") for high-density screens. Run it again after changing a drawing; the output is committed so
that a build needs no Python.

Rules the program relies on:
  * skin: exactly white (255,255,255) only where the window is cut away;
  * key faces: 84x24, three 28x24 images (normal, highlighted, pressed),
    exactly magenta (255,0,255) where the skin shows through;
  * list icons: 64x16, four 16x16 images, exactly white as transparent.
"""
import math
import os

from PIL import Image, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "art")
SS = 4  # supersampling factor for smooth edges
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"

SKIN_W, SKIN_H = 348, 235
KEYS = [  # (glyph, x, y)
    ("call", 105, 75), ("hangup", 137, 75), ("book", 169, 75),
    ("taken", 201, 75), ("made", 233, 75), ("missed", 265, 75),
    ("1", 105, 115), ("2", 137, 115), ("3", 169, 115),
    ("4", 105, 145), ("5", 137, 145), ("6", 169, 145),
    ("7", 105, 175), ("8", 137, 175), ("9", 169, 175),
    ("0", 201, 115), ("clear", 201, 145), ("record", 265, 115),
    ("auto", 265, 145), ("setup", 265, 175),
]


def flatten(rgba, hole, avoid):
    """Hard-edged RGB image: transparent parts become `hole`, opaque parts
    never take the colour `avoid` (so no accidental holes appear)."""
    out = Image.new("RGB", rgba.size, hole)
    px, src = out.load(), rgba.load()
    for y in range(rgba.size[1]):
        for x in range(rgba.size[0]):
            r, g, b, a = src[x, y]
            if a < 128:
                continue
            if (r, g, b) == avoid:
                b = b - 1 if b > 0 else 1
            px[x, y] = (r, g, b)
    return out


def down(img, w, h):
    return img.resize((w, h), Image.LANCZOS)


def vgrad(draw, box, top, bottom, radius):
    """Vertical gradient inside a rounded rectangle (drawn line by line)."""
    x0, y0, x1, y1 = box
    mask = Image.new("L", draw.im.size, 0)
    ImageDraw.Draw(mask).rounded_rectangle(box, radius=radius, fill=255)
    grad = Image.new("RGBA", draw.im.size, (0, 0, 0, 0))
    gd = ImageDraw.Draw(grad)
    for y in range(int(y0), int(y1) + 1):
        t = (y - y0) / max(1, (y1 - y0))
        col = tuple(int(top[i] + (bottom[i] - top[i]) * t) for i in range(3)) + (255,)
        gd.line([(x0, y), (x1, y)], fill=col)
    return grad, mask


def make_skin():
    W, H = SKIN_W * SS, SKIN_H * SS
    img = Image.new("RGBA", (W, H), (0, 0, 0, 0))
    s = SS
    # Handset resting on the left side.
    hs = Image.new("RGBA", (W, H), (0, 0, 0, 0))
    hd = ImageDraw.Draw(hs)
    hd.rounded_rectangle((8 * s, 18 * s, 70 * s, 60 * s), radius=18 * s, fill=(36, 44, 58, 255))
    hd.rounded_rectangle((8 * s, 175 * s, 70 * s, 217 * s), radius=18 * s, fill=(36, 44, 58, 255))
    hd.rounded_rectangle((24 * s, 40 * s, 54 * s, 195 * s), radius=14 * s, fill=(44, 53, 69, 255))
    hd.rounded_rectangle((28 * s, 46 * s, 38 * s, 189 * s), radius=5 * s, fill=(70, 82, 102, 255))
    for cy in (39, 196):
        for dx in (-10, 0, 10):
            for dy in (-6, 6):
                hd.ellipse(((39 + dx - 2) * s, (cy + dy - 2) * s, (39 + dx + 2) * s, (cy + dy + 2) * s),
                           fill=(20, 24, 32, 255))
    # Body with a soft drop shadow.
    body = (72 * s, 6 * s, 338 * s, 228 * s)
    shadow = Image.new("RGBA", (W, H), (0, 0, 0, 0))
    ImageDraw.Draw(shadow).rounded_rectangle(
        (body[0] + 3 * s, body[1] + 4 * s, body[2] + 3 * s, body[3] + 4 * s), radius=26 * s,
        fill=(40, 40, 50, 150))
    shadow = shadow.filter(ImageFilter.GaussianBlur(3 * s))
    img = Image.alpha_composite(img, shadow)
    img = Image.alpha_composite(img, hs)
    d = ImageDraw.Draw(img)
    grad, mask = vgrad(d, body, (96, 110, 134), (46, 54, 70), 26 * s)
    img.paste(grad, (0, 0), mask)
    d = ImageDraw.Draw(img)
    d.rounded_rectangle(body, radius=26 * s, outline=(24, 28, 38, 255), width=2 * s)
    d.rounded_rectangle((body[0] + 4 * s, body[1] + 4 * s, body[2] - 4 * s, body[3] - 4 * s),
                        radius=22 * s, outline=(130, 144, 168, 255), width=1 * s)
    # Display bezel and the amber screen; texts are drawn at (110..300, 24..66).
    d.rounded_rectangle((86 * s, 14 * s, 304 * s, 72 * s), radius=8 * s, fill=(22, 26, 34, 255))
    lcd, lmask = vgrad(d, (91 * s, 19 * s, 299 * s, 68 * s), (232, 214, 160), (206, 184, 126), 5 * s)
    img.paste(lcd, (0, 0), lmask)
    d = ImageDraw.Draw(img)
    d.line((93 * s, 20 * s, 297 * s, 20 * s), fill=(244, 232, 190, 255), width=s)
    # Key wells: a darker plate under each group of keys.
    for box in ((100, 71, 298, 103), (100, 111, 230, 203), (260, 111, 298, 203)):
        b = tuple(v * s for v in box)
        d.rounded_rectangle(b, radius=7 * s, fill=(38, 45, 59, 255))
        d.rounded_rectangle(b, radius=7 * s, outline=(112, 126, 150, 255), width=s)
    # Speaker grille and the maker's line between the pads.
    for i in range(5):
        y = (122 + i * 10) * s
        d.rounded_rectangle((236 * s, y, 254 * s, y + 3 * s), radius=s, fill=(28, 33, 44, 255))
    font = ImageFont.truetype(FONT, 9 * s)
    d.text((108 * s, 210 * s), "KESTRONA", font=font, fill=(176, 188, 210, 255))
    # A small lamp.
    d.ellipse((316 * s, 212 * s, 322 * s, 218 * s), fill=(120, 220, 130, 255))
    rgb = flatten(down(img, SKIN_W, SKIN_H), (255, 255, 255), (255, 255, 255))
    rgb.save(os.path.join(OUT, "bmp131.png"))
    # The large skin is only painted; the outline always comes from the small
    # one, so every large pixel under a kept small pixel must be painted too.
    big = flatten(down(img, 2 * SKIN_W, 2 * SKIN_H), (255, 255, 255), (255, 255, 255))
    bp, sp = big.load(), rgb.load()
    for y in range(2 * SKIN_H):
        for x in range(2 * SKIN_W):
            small = sp[x // 2, y // 2]
            if bp[x, y] == (255, 255, 255) and small != (255, 255, 255):
                bp[x, y] = small
    big.save(os.path.join(OUT, "bmp131@2x.png"))


# ---- glyphs, drawn in a 28x24 box scaled by SS, centred at (cx, cy) ----

def glyph_handset(d, cx, cy, col, s, angle=0):
    pts = []
    # A handset built from a thick arc with two ear/mouth pieces.
    r = 7 * s
    for i in range(0, 181, 10):
        a = math.radians(200 + i * 0.75 + angle)
        pts.append((cx + r * math.cos(a), cy + 2 * s + r * math.sin(a)))
    d.line(pts, fill=col, width=3 * s, joint="curve")
    for (x, y) in (pts[0], pts[-1]):
        d.ellipse((x - 2.6 * s, y - 2.2 * s, x + 2.6 * s, y + 2.2 * s), fill=col)


def glyph_arrow(d, x0, y0, x1, y1, col, s):
    d.line((x0, y0, x1, y1), fill=col, width=int(2.2 * s))
    ang = math.atan2(y1 - y0, x1 - x0)
    L = 4.2 * s
    p1 = (x1 - L * math.cos(ang - 0.6), y1 - L * math.sin(ang - 0.6))
    p2 = (x1 - L * math.cos(ang + 0.6), y1 - L * math.sin(ang + 0.6))
    d.polygon([(x1 + math.cos(ang) * s, y1 + math.sin(ang) * s), p1, p2], fill=col)


def draw_glyph(d, name, s, cx, cy, light):
    ink = (250, 250, 250, 255) if light else (30, 34, 44, 255)
    if name == "call":
        glyph_handset(d, cx, cy - 1 * s, (250, 250, 250, 255), s)
    elif name == "hangup":
        glyph_handset(d, cx, cy + 1 * s, (250, 250, 250, 255), s, angle=0)
        d.line((cx - 7 * s, cy + 6 * s, cx + 7 * s, cy + 6 * s), fill=(250, 250, 250, 255), width=s)
    elif name == "book":
        d.rounded_rectangle((cx - 6 * s, cy - 7 * s, cx + 6 * s, cy + 7 * s), radius=s, fill=ink)
        d.rectangle((cx - 3 * s, cy - 4 * s, cx + 4 * s, cy - 2 * s), fill=(90, 100, 120, 255))
        d.rectangle((cx - 6 * s, cy - 7 * s, cx - 4 * s, cy + 7 * s), fill=(200, 60, 50, 255))
    elif name in ("taken", "made", "missed"):
        d.rounded_rectangle((cx - 7 * s, cy - 7 * s, cx + 1 * s, cy + 7 * s), radius=s,
                            outline=ink, width=s)
        for i in range(3):
            d.line((cx - 5 * s, cy + (-3 + i * 3) * s, cx - 1 * s, cy + (-3 + i * 3) * s), fill=ink, width=s)
        if name == "taken":
            glyph_arrow(d, cx + 7 * s, cy - 5 * s, cx + 2 * s, cy + 1 * s, (60, 190, 90, 255), s)
        elif name == "made":
            glyph_arrow(d, cx + 2 * s, cy + 1 * s, cx + 7 * s, cy - 5 * s, (70, 140, 230, 255), s)
        else:
            red = (220, 60, 50, 255)
            d.line((cx + 2 * s, cy - 5 * s, cx + 8 * s, cy + 1 * s), fill=red, width=2 * s)
            d.line((cx + 8 * s, cy - 5 * s, cx + 2 * s, cy + 1 * s), fill=red, width=2 * s)
    elif name.isdigit():
        font = ImageFont.truetype(FONT, 15 * s)
        d.text((cx, cy + s), name, font=font, fill=ink, anchor="mm")
    elif name == "clear":
        pts = [(cx - 8 * s, cy), (cx - 3 * s, cy - 5 * s), (cx + 7 * s, cy - 5 * s),
               (cx + 7 * s, cy + 5 * s), (cx - 3 * s, cy + 5 * s)]
        d.polygon(pts, fill=ink)
        bg = (250, 250, 250, 255) if not light else (30, 34, 44, 255)
        d.line((cx - 1 * s, cy - 2.5 * s, cx + 4 * s, cy + 2.5 * s), fill=bg, width=int(1.6 * s))
        d.line((cx + 4 * s, cy - 2.5 * s, cx - 1 * s, cy + 2.5 * s), fill=bg, width=int(1.6 * s))
    elif name == "record":
        d.ellipse((cx - 5 * s, cy - 5 * s, cx + 5 * s, cy + 5 * s), fill=(224, 40, 40, 255),
                  outline=ink, width=s)
    elif name == "auto":
        # A cassette: the answering machine.
        d.rounded_rectangle((cx - 8 * s, cy - 5 * s, cx + 8 * s, cy + 6 * s), radius=s,
                            outline=ink, width=s)
        for ox in (-4, 4):
            d.ellipse((cx + (ox - 2) * s, cy - 2 * s, cx + (ox + 2) * s, cy + 2 * s), outline=ink, width=s)
        d.line((cx - 3 * s, cy + 4 * s, cx + 3 * s, cy + 4 * s), fill=ink, width=s)
    elif name == "setup":
        for i in range(8):
            a = i * math.pi / 4
            d.line((cx, cy, cx + 7 * s * math.cos(a), cy + 7 * s * math.sin(a)), fill=ink, width=3 * s)
        d.ellipse((cx - 5 * s, cy - 5 * s, cx + 5 * s, cy + 5 * s), fill=ink)
        hole = (250, 250, 250, 255) if not light else (30, 34, 44, 255)
        d.ellipse((cx - 2 * s, cy - 2 * s, cx + 2 * s, cy + 2 * s), fill=hole)


def key_palette(name):
    """(top, bottom) colours of the key cap, and whether the glyph is light."""
    if name == "call":
        return (96, 200, 110), (34, 130, 52), True
    if name == "hangup":
        return (236, 96, 86), (166, 36, 30), True
    return (236, 238, 244), (178, 184, 198), False


def make_key(name):
    s = SS
    w, h = 28 * s, 24 * s
    strip = Image.new("RGBA", (3 * w, h), (0, 0, 0, 0))
    top, bot, light = key_palette(name)
    for i in range(3):  # 0 normal, 1 highlighted, 2 pressed
        face = Image.new("RGBA", (w, h), (0, 0, 0, 0))
        d = ImageDraw.Draw(face)
        t, b = top, bot
        if i == 1:
            t = tuple(min(254, c + 22) for c in t)
            b = tuple(min(254, c + 22) for c in b)
        if i == 2:
            t, b = tuple(max(0, c - 30) for c in b), tuple(max(0, c - 10) for c in t)
        box = (1 * s, 1 * s, w - 1 * s, h - 1 * s)
        grad, mask = vgrad(d, box, t, b, 6 * s)
        face.paste(grad, (0, 0), mask)
        d = ImageDraw.Draw(face)
        d.rounded_rectangle(box, radius=6 * s, outline=(16, 20, 28, 255), width=s)
        if i == 1:
            d.rounded_rectangle((2 * s, 2 * s, w - 2 * s, h - 2 * s), radius=5 * s,
                                outline=(255, 214, 90, 255), width=s)
        off = s if i == 2 else 0
        draw_glyph(d, name, s, w / 2 + off, h / 2 + off, light)
        strip.paste(face, (i * w, 0))
    return (flatten(down(strip, 84, 24), (255, 0, 255), (255, 0, 255)),
            flatten(down(strip, 168, 48), (255, 0, 255), (255, 0, 255)))


def make_list_icons():
    s = SS
    img = Image.new("RGBA", (64 * s, 16 * s), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    for i, (name, col) in enumerate((("taken", (40, 160, 70)), ("made", (50, 110, 210)),
                                     ("missed", (210, 50, 40)), ("rec", (200, 30, 30)))):
        cx, cy = (i * 16 + 8) * s, 8 * s
        d.ellipse((cx - 7 * s, cy - 7 * s, cx + 7 * s, cy + 7 * s), fill=col + (255,))
        ink = (250, 250, 250, 255)
        if name == "taken":
            glyph_arrow(d, cx + 4 * s, cy - 4 * s, cx - 3 * s, cy + 3 * s, ink, s)
        elif name == "made":
            glyph_arrow(d, cx - 3 * s, cy + 3 * s, cx + 4 * s, cy - 4 * s, ink, s)
        elif name == "missed":
            d.line((cx - 3 * s, cy - 3 * s, cx + 3 * s, cy + 3 * s), fill=ink, width=2 * s)
            d.line((cx + 3 * s, cy - 3 * s, cx - 3 * s, cy + 3 * s), fill=ink, width=2 * s)
        else:
            d.ellipse((cx - 3 * s, cy - 3 * s, cx + 3 * s, cy + 3 * s), fill=ink)
            d.ellipse((cx - 2 * s, cy - 2 * s, cx + 2 * s, cy + 2 * s), fill=col + (255,))
    flatten(down(img, 64, 16), (255, 255, 255), (255, 255, 255)).save(
        os.path.join(OUT, "bmp150.png"))
    flatten(down(img, 128, 32), (255, 255, 255), (255, 255, 255)).save(
        os.path.join(OUT, "bmp150@2x.png"))


REG_W, REG_H = 120, 300


def make_register_picture():
    """The panel on the registration dialog's left: the phone in the skin's
    colours with a fresh number on its display, and a new subscriber."""
    s = SS * 2
    W, H = REG_W * s, REG_H * s
    img = Image.new("RGBA", (W, H), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    panel = (0, 0, W - 1, H - 1)
    grad, mask = vgrad(d, panel, (96, 110, 134), (40, 47, 62), 10 * s)
    img.paste(grad, (0, 0), mask)
    d = ImageDraw.Draw(img)
    d.rounded_rectangle(panel, radius=10 * s, outline=(24, 28, 38, 255), width=s)
    d.rounded_rectangle((3 * s, 3 * s, W - 3 * s, H - 3 * s), radius=8 * s,
                        outline=(130, 144, 168, 255), width=s)
    amber = (236, 176, 72, 255)
    font = ImageFont.truetype(FONT, 11 * s)
    d.text((W / 2, 26 * s), "KESTRONA", font=font, fill=(214, 222, 236, 255), anchor="mm")
    d.line((34 * s, 38 * s, 86 * s, 38 * s), fill=amber, width=2 * s)

    # A small desk phone: the body, its amber display and the key pad.
    shadow = Image.new("RGBA", (W, H), (0, 0, 0, 0))
    ImageDraw.Draw(shadow).rounded_rectangle((20 * s, 60 * s, 104 * s, 190 * s), radius=12 * s,
                                             fill=(16, 20, 28, 160))
    img = Image.alpha_composite(img, shadow.filter(ImageFilter.GaussianBlur(3 * s)))
    d = ImageDraw.Draw(img)
    body = (16 * s, 56 * s, 104 * s, 186 * s)
    grad, mask = vgrad(d, body, (112, 126, 150), (58, 67, 86), 12 * s)
    img.paste(grad, (0, 0), mask)
    d = ImageDraw.Draw(img)
    d.rounded_rectangle(body, radius=12 * s, outline=(24, 28, 38, 255), width=s)
    d.rounded_rectangle((23 * s, 63 * s, 97 * s, 93 * s), radius=4 * s, fill=(22, 26, 34, 255))
    lcd, lmask = vgrad(d, (26 * s, 66 * s, 94 * s, 90 * s), (240, 222, 166), (210, 186, 126),
                       3 * s)
    img.paste(lcd, (0, 0), lmask)
    d = ImageDraw.Draw(img)
    digits = ImageFont.truetype(FONT, 12 * s)
    d.text((60 * s, 78.5 * s), "10000", font=digits, fill=(58, 48, 24, 255), anchor="mm")
    for row in range(4):
        for col in range(3):
            x, y = (30 + col * 22) * s, (102 + row * 20) * s
            cap = (x, y, x + 16 * s, y + 13 * s)
            top, bot = (236, 238, 244), (178, 184, 198)
            if row == 0 and col == 0:
                top, bot = (96, 200, 110), (34, 130, 52)
            elif row == 0 and col == 2:
                top, bot = (236, 96, 86), (166, 36, 30)
            g, m = vgrad(d, cap, top, bot, 3 * s)
            img.paste(g, (0, 0), m)
            d = ImageDraw.Draw(img)
            d.rounded_rectangle(cap, radius=3 * s, outline=(16, 20, 28, 255), width=s)

    # The new subscriber: a figure on an amber badge with a plus sign.
    cx, cy, r = 60 * s, 236 * s, 26 * s
    d.ellipse((cx - r - 2 * s, cy - r - 2 * s, cx + r + 2 * s, cy + r + 2 * s), fill=(24, 28, 38, 255))
    badge, bmask = vgrad(d, (cx - r, cy - r, cx + r, cy + r), (246, 184, 80), (214, 120, 24), r)
    img.paste(badge, (0, 0), bmask)
    d = ImageDraw.Draw(img)
    ink = (255, 250, 240, 255)
    d.ellipse((cx - 8 * s, cy - 17 * s, cx + 8 * s, cy - 1 * s), fill=ink)
    d.chord((cx - 16 * s, cy + 1 * s, cx + 16 * s, cy + 31 * s), start=180, end=360, fill=ink)
    px, py = cx + 19 * s, cy - 17 * s
    d.ellipse((px - 9 * s, py - 9 * s, px + 9 * s, py + 9 * s), fill=(24, 28, 38, 255))
    d.ellipse((px - 7.5 * s, py - 7.5 * s, px + 7.5 * s, py + 7.5 * s), fill=(60, 190, 90, 255))
    d.line((px - 4 * s, py, px + 4 * s, py), fill=ink, width=2 * s)
    d.line((px, py - 4 * s, px, py + 4 * s), fill=ink, width=2 * s)

    img.resize((REG_W, REG_H), Image.LANCZOS).save(os.path.join(OUT, "bmp132.png"))
    img.resize((2 * REG_W, 2 * REG_H), Image.LANCZOS).save(os.path.join(OUT, "bmp132@2x.png"))


def draw_icon(ringing, s):
    """The phone icon on a 32-unit grid, each unit s pixels."""
    n = 32
    img = Image.new("RGBA", (n * s, n * s), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    col = (236, 140, 30, 255) if ringing else (46, 96, 170, 255)
    d.ellipse((1 * s, 1 * s, 31 * s, 31 * s), fill=col, outline=(20, 30, 50, 255), width=s)
    r = 10 * s
    cx, cy = 16 * s, 18 * s
    pts = [(cx + r * math.cos(math.radians(200 + i * 14)), cy + r * math.sin(math.radians(200 + i * 14)))
           for i in range(11)]
    d.line(pts, fill=(255, 255, 255, 255), width=4 * s, joint="curve")
    for (x, y) in (pts[0], pts[-1]):
        d.ellipse((x - 3.5 * s, y - 3 * s, x + 3.5 * s, y + 3 * s), fill=(255, 255, 255, 255))
    if ringing:
        for k in (1, 2):
            d.arc((cx - (4 + 5 * k) * s, cy - (10 + 5 * k) * s, cx + (4 + 5 * k) * s, cy + (0 + 5 * k) * s),
                  start=-130, end=-50, fill=(255, 255, 255, 255), width=2 * s)
    return img


def make_icon(ringing):
    n = 32
    img = draw_icon(ringing, SS * 2)
    name = "icon%d" % (148 if ringing else 128)
    img.resize((n, n), Image.LANCZOS).save(os.path.join(OUT, name + ".png"))
    img.resize((2 * n, 2 * n), Image.LANCZOS).save(os.path.join(OUT, name + "@2x.png"))


APP_ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256, 512)


def make_app_icons():
    """The program's icon for the desktop's icon theme, res/icons/<n>.png."""
    out = os.path.join(HERE, "icons")
    os.makedirs(out, exist_ok=True)
    big = draw_icon(False, 32)
    for n in APP_ICON_SIZES:
        big.resize((n, n), Image.LANCZOS).save(os.path.join(out, "%d.png" % n), optimize=True)


def main():
    os.makedirs(OUT, exist_ok=True)
    make_skin()
    for i, (name, _, _) in enumerate(KEYS):
        small, big = make_key(name)
        small.save(os.path.join(OUT, "bmp%d.png" % (180 + i)))
        big.save(os.path.join(OUT, "bmp%d@2x.png" % (180 + i)))
    make_list_icons()
    make_register_picture()
    make_icon(False)
    make_icon(True)
    make_app_icons()
    with open(os.path.join(HERE, "artwork.qrc"), "w") as qrc:
        qrc.write('<RCC>\n  <qresource prefix="/kestrona">\n')
        for name in sorted(os.listdir(OUT)):
            qrc.write('    <file alias="%s">art/%s</file>\n' % (name, name))
        qrc.write("  </qresource>\n</RCC>\n")


if __name__ == "__main__":
    main()
