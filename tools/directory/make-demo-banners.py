#!/usr/bin/python3
"""Draws the advertising banners of the local demo world (tools/directory/banners): one
GIF per genre of the demo catalog, two general ones, and a JPEG that advertises a live
station. Needs python3-pil and the DejaVu fonts.

    python3 tools/directory/make-demo-banners.py [--out DIR]

Every banner is 468 x 60 pixels, drawn at four times the size and scaled down.
"""
import argparse
import colorsys
import importlib.util
import math
import os

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONTS = "/usr/share/fonts/truetype/dejavu/"
SS = 4
W, H = 468, 60

# The genres and their flavour words come from the catalog maker.
_spec = importlib.util.spec_from_file_location("catalog", os.path.join(HERE, "make-demo-catalog.py"))
catalog = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(catalog)


def font(name, px):
    return ImageFont.truetype(FONTS + name, round(px * SS))


BOLD = "DejaVuSans-Bold.ttf"
SANS = "DejaVuSans.ttf"
COND = "DejaVuSansCondensed-Bold.ttf"


def hsv(h, s, v):
    r, g, b = colorsys.hsv_to_rgb((h % 360) / 360.0, s, v)
    return (round(r * 255), round(g * 255), round(b * 255))


def mix(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


class Banner:
    def __init__(self, left, right):
        # A diagonal gradient, a little lighter towards the top.
        ground = Image.new("RGB", (W, H))
        px = ground.load()
        for x in range(W):
            for y in range(H):
                px[x, y] = mix(left, right, (x / W) * 0.85 + (1 - y / H) * 0.15)
        self.img = ground.resize((W * SS, H * SS), Image.BILINEAR)
        self.d = ImageDraw.Draw(self.img, "RGBA")

    def s(self, *v):
        return [round(x * SS) for x in v]

    def glow(self, cx, cy, r, colour, alpha):
        for i in range(8, 0, -1):
            rr = r * i / 8
            self.d.ellipse(self.s(cx - rr, cy - rr, cx + rr, cy + rr),
                           fill=colour + (round(alpha / 8),))

    def rect(self, x0, y0, x1, y1, fill, r=0, outline=None, width=1):
        self.d.rounded_rectangle(self.s(x0, y0, x1, y1), radius=r * SS, fill=fill,
                                 outline=outline, width=round(width * SS))

    def ellipse(self, x0, y0, x1, y1, fill=None, outline=None, width=1):
        self.d.ellipse(self.s(x0, y0, x1, y1), fill=fill, outline=outline,
                       width=round(width * SS))

    def poly(self, pts, fill):
        self.d.polygon([(round(x * SS), round(y * SS)) for x, y in pts], fill=fill)

    def line(self, pts, fill, width=1):
        self.d.line([(round(x * SS), round(y * SS)) for x, y in pts], fill=fill,
                    width=round(width * SS), joint="curve")

    def text(self, x, y, s, f, fill, anchor="la", shadow=True):
        if shadow:
            self.d.text((round((x + 1) * SS), round((y + 1) * SS)), s, font=f,
                        fill=(0, 0, 0, 90), anchor=anchor)
        self.d.text((round(x * SS), round(y * SS)), s, font=f, fill=fill, anchor=anchor)

    def width(self, s, f):
        return self.d.textlength(s, font=f) / SS

    def fit(self, s, name, px, room):
        """The largest font up to px in which s fits into room pixels."""
        while px > 8 and self.width(s, font(name, px)) > room:
            px -= 0.5
        return font(name, px)

    def button(self, label, fill, ink):
        f = font(BOLD, 11)
        w = self.width(label, f) + 30
        x1, y0 = W - 12, 17
        x0 = x1 - w
        self.rect(x0 + 1, y0 + 2, x1 + 1, y0 + 28, (0, 0, 0, 70), r=13)
        self.rect(x0, y0, x1, y0 + 26, fill, r=13)
        self.rect(x0 + 2, y0 + 2, x1 - 2, y0 + 12, (255, 255, 255, 60), r=9)
        self.text(x0 + 12, y0 + 13, label, f, ink, anchor="lm", shadow=False)
        self.poly([(x1 - 15, y0 + 8), (x1 - 15, y0 + 18), (x1 - 8, y0 + 13)], ink)
        return x0

    def equalizer(self, cx, cy, colour, phase):
        for i in range(5):
            h = 8 + 14 * abs(math.sin(phase + i * 1.3))
            x = cx - 14 + i * 6
            self.rect(x, cy + 12 - h, x + 4, cy + 12, colour, r=1)

    def dial(self, cx, cy, ring, phase):
        self.glow(cx, cy, 30, (255, 255, 255), 50)
        self.ellipse(cx - 22, cy - 22, cx + 22, cy + 22, fill=(0, 0, 0, 60))
        self.ellipse(cx - 22, cy - 22, cx + 22, cy + 22, outline=ring, width=2.5)
        self.equalizer(cx, cy - 2, (255, 255, 255, 235), phase)

    def final(self):
        img = self.img.resize((W, H), Image.LANCZOS)
        d = ImageDraw.Draw(img)
        d.rectangle([0, 0, W - 1, H - 1], outline=(0, 0, 0))
        return img


def save_gif(img, path):
    img.quantize(colors=96, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE).save(
        path, "GIF", optimize=True)


def genre_banner(genre, index, out):
    hue = (index * 137.5) % 360
    right = hsv(hue + 25, 0.65, 0.78)
    # Light hues (yellows, greens) are darkened so that white text stays readable.
    lum = 0.299 * right[0] + 0.587 * right[1] + 0.114 * right[2]
    if lum > 120:
        right = hsv(hue + 25, 0.70, 0.78 * 120 / lum)
    b = Banner(hsv(hue, 0.80, 0.30), right)
    b.glow(400, -10, 90, hsv(hue + 40, 0.3, 1.0), 70)
    b.dial(34, 30, hsv(hue + 180, 0.35, 1.0), index)
    words = catalog.FLAVOUR.get(genre, [])
    button_left = b.button("LISTEN NOW", (255, 204, 64), (40, 30, 10))
    room = button_left - 70 - 10
    title = genre.upper()
    b.text(70, 4, title, b.fit(title, BOLD, 24, room), (255, 255, 255))
    tagline = "%s stations on Dialwise" % genre
    if words:
        tagline = "%s, %s and %s %s, on the air now" % (words[0], words[1], words[2], genre)
    b.text(71, 36, tagline, b.fit(tagline, SANS, 11.5, room), (255, 255, 255, 225))
    save_gif(b.final(), os.path.join(out, genre.lower() + ".gif"))


def general_banners(out):
    b = Banner((18, 22, 60), (62, 92, 190))
    b.glow(120, 70, 110, (120, 160, 255), 80)
    b.dial(34, 30, (255, 204, 64), 0.4)
    x = b.button("REFRESH", (255, 204, 64), (40, 30, 10))
    b.text(70, 4, "DIALWISE", b.fit("DIALWISE", BOLD, 24, x - 80), (255, 255, 255))
    t = "Hundreds of stations, every genre, sorted by ping"
    b.text(71, 36, t, b.fit(t, SANS, 11.5, x - 80), (225, 232, 255))
    save_gif(b.final(), os.path.join(out, "dialwise.gif"))

    b = Banner((10, 60, 58), (30, 170, 150))
    b.glow(300, 70, 120, (180, 255, 230), 70)
    # Two speech bubbles.
    b.rect(10, 9, 44, 33, (255, 255, 255, 235), r=8)
    b.poly([(18, 32), (16, 41), (26, 32)], (255, 255, 255, 235))
    b.rect(26, 25, 58, 47, (255, 204, 64, 240), r=8)
    b.poly([(50, 46), (53, 54), (44, 46)], (255, 204, 64, 240))
    for i in range(3):
        b.ellipse(19 + i * 7, 19, 23 + i * 7, 23, fill=(30, 120, 110))
    x = b.button("JOIN CHAT", (255, 255, 255), (20, 90, 80))
    b.text(70, 4, "TALK ABOUT IT", b.fit("TALK ABOUT IT", BOLD, 24, x - 80), (255, 255, 255))
    t = "Every genre and every station has its own chat channel"
    b.text(71, 36, t, b.fit(t, SANS, 11.5, x - 80), (230, 255, 248))
    save_gif(b.final(), os.path.join(out, "chat.gif"))


def live_banner(out):
    b = Banner((70, 6, 16), (200, 30, 50))
    b.glow(40, 30, 45, (255, 120, 120), 120)
    # An "on air" lamp.
    b.ellipse(12, 8, 56, 52, fill=(255, 255, 255, 40))
    b.ellipse(17, 13, 51, 47, fill=(255, 60, 60), outline=(255, 230, 230), width=2)
    b.text(34, 30, "ON", font(BOLD, 10), (255, 255, 255), anchor="mm")
    for r in (28, 34):
        b.d.arc(b.s(34 - r, 30 - r, 34 + r, 30 + r), -40, 40, fill=(255, 255, 255, 150),
                width=2 * SS)
    x = b.button("CLICK TO LISTEN", (255, 255, 255), (160, 20, 40))
    b.text(78, 4, "LIVE NOW", b.fit("LIVE NOW", BOLD, 24, x - 90), (255, 255, 255))
    t = "A real station of the demo world is playing"
    b.text(79, 36, t, b.fit(t, SANS, 11.5, x - 90), (255, 230, 232))
    b.final().save(os.path.join(out, "live.jpg"), "JPEG", quality=88, optimize=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--out", default=os.path.join(HERE, "banners"))
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    for i, g in enumerate(catalog.GENRES):
        genre_banner(g, i, args.out)
    general_banners(args.out)
    live_banner(args.out)


if __name__ == "__main__":
    main()
