#!/usr/bin/python3
"""Draws the default skin (skins/default) and the station list's built-in pictures
(src/ui/images). Needs python3-pil and the DejaVu fonts.

    python3 scripts/make-default-skin.py [--preview DIR]

Everything is drawn at four times the size and scaled down, so edges are smooth.
Glyphs are Windows bitmaps without alpha: their bottom-left pixel is the transparent
colour, so each is drawn on the colour of the panel it sits on.
"""
import argparse
import math
import os

from PIL import Image, ImageDraw, ImageFont

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SKIN = os.path.join(ROOT, "skins", "default")
IMAGES = os.path.join(ROOT, "src", "ui", "images")
FONTS = "/usr/share/fonts/truetype/dejavu/"
SS = 4  # supersampling


def bgr(v):
    """Colour number with red in the low byte -> (r, g, b)."""
    return (v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF)


# The product profile's colours.
PROFILE = {
    "primarycolor": 8342861,
    "secondarycolor": 8342861,
    "primaryfontcolor": 16777215,
    "secondaryfontcolor": 16777215,
    "highlightcolor": 65535,
    "tertiarycolor": 6436149,
    "tertiaryfontcolor": 51709,
    "altlinecolor": 13421772,
    "altlinefontcolor": 0,
}
PRIMARY = bgr(PROFILE["primarycolor"])
SECONDARY = bgr(PROFILE["secondarycolor"])
TERTIARY = bgr(PROFILE["tertiarycolor"])
AMBER = bgr(PROFILE["tertiaryfontcolor"])
WHITE = (255, 255, 255)
BAND = (38, 38, 74)  # the dark band across the top 19 pixels of the title
TEAL = (38, 196, 180)
TEAL_DARK = (24, 140, 130)
SOFT = (200, 204, 228)
GREY = (140, 142, 165)
RED = (232, 76, 76)
GREEN = (72, 200, 96)
DISPLAY = (14, 20, 40)


def font(name, px):
    return ImageFont.truetype(FONTS + name, round(px * SS))


SANS = "DejaVuSans.ttf"
BOLD = "DejaVuSans-Bold.ttf"
MONO = "DejaVuSansMono.ttf"
MONOB = "DejaVuSansMono-Bold.ttf"


class Canvas:
    """A picture drawn at SS times its size, in units of final pixels."""

    def __init__(self, w, h, bg, mode="RGB"):
        self.w, self.h = w, h
        self.img = Image.new(mode, (w * SS, h * SS), bg)
        self.d = ImageDraw.Draw(self.img)

    def s(self, *v):
        return [round(x * SS) for x in v]

    def rect(self, x0, y0, x1, y1, fill=None, outline=None, width=1, r=0):
        box = self.s(x0, y0, x1, y1)
        if r:
            self.d.rounded_rectangle(box, radius=r * SS, fill=fill, outline=outline,
                                     width=round(width * SS))
        else:
            self.d.rectangle(box, fill=fill, outline=outline, width=round(width * SS))

    def ellipse(self, x0, y0, x1, y1, fill=None, outline=None, width=1):
        self.d.ellipse(self.s(x0, y0, x1, y1), fill=fill, outline=outline,
                       width=round(width * SS))

    def arc(self, x0, y0, x1, y1, a0, a1, fill, width=1):
        self.d.arc(self.s(x0, y0, x1, y1), a0, a1, fill=fill, width=round(width * SS))

    def poly(self, pts, fill=None, outline=None):
        self.d.polygon([(round(x * SS), round(y * SS)) for x, y in pts], fill=fill,
                       outline=outline)

    def line(self, pts, fill, width=1):
        self.d.line([(round(x * SS), round(y * SS)) for x, y in pts], fill=fill,
                    width=round(width * SS), joint="curve")

    def text(self, x, y, s, f, fill, anchor="la"):
        self.d.text((round(x * SS), round(y * SS)), s, font=f, fill=fill, anchor=anchor)

    def textlen(self, s, f):
        return self.d.textlength(s, font=f) / SS

    def final(self):
        return self.img.resize((self.w, self.h), Image.LANCZOS)


def keyed(canvas, key):
    """Final picture with its bottom-left pixel forced to the transparent colour."""
    img = canvas.final().convert("RGB")
    img.putpixel((0, img.height - 1), key)
    return img


def save_bmp(img, name):
    img.convert("RGB").save(os.path.join(SKIN, name), "BMP")


# --- small drawings used by several pictures ----------------------------------------

def dial(c, cx, cy, r, ring=TEAL, needle=AMBER, bg=BAND):
    """The program's mark: a tuning dial with a needle."""
    c.ellipse(cx - r, cy - r, cx + r, cy + r, fill=bg, outline=ring, width=r * 0.18)
    for i in range(7):
        a = math.radians(200 + i * 23.3)
        r0, r1 = r * 0.55, r * 0.72
        c.line([(cx + r0 * math.cos(a), cy + r0 * math.sin(a)),
                (cx + r1 * math.cos(a), cy + r1 * math.sin(a))], SOFT, width=max(1, r * 0.07))
    a = math.radians(300)
    c.line([(cx, cy), (cx + r * 0.62 * math.cos(a), cy + r * 0.62 * math.sin(a))], needle,
           width=max(1.2, r * 0.13))
    c.ellipse(cx - r * 0.14, cy - r * 0.14, cx + r * 0.14, cy + r * 0.14, fill=needle)


def title_bands(c, x0=0):
    c.rect(x0, 0, c.w, 19, fill=BAND)
    c.rect(x0, 19, c.w, c.h, fill=SECONDARY)
    c.rect(x0, 18.2, c.w, 19, fill=TEAL_DARK)


def play_icon(c, x, y, s, fill):
    c.poly([(x + s * 0.28, y + s * 0.18), (x + s * 0.28, y + s * 0.82), (x + s * 0.84, y + s * 0.5)],
           fill=fill)


def star(c, cx, cy, r, fill, outline=None):
    pts = []
    for i in range(10):
        a = math.radians(-90 + i * 36)
        rr = r if i % 2 == 0 else r * 0.45
        pts.append((cx + rr * math.cos(a), cy + rr * math.sin(a)))
    c.poly(pts, fill=fill, outline=outline)


def refresh_arrows(c, cx, cy, r, fill, w):
    c.arc(cx - r, cy - r, cx + r, cy + r, 200, 330, fill, width=w)
    c.arc(cx - r, cy - r, cx + r, cy + r, 20, 150, fill, width=w)
    for a_deg, sgn in ((330, 1), (150, 1)):
        a = math.radians(a_deg)
        px, py = cx + r * math.cos(a), cy + r * math.sin(a)
        t = math.radians(a_deg + 90)  # tangent direction
        n = math.radians(a_deg)
        h = w * 1.9
        c.poly([(px + h * math.cos(t), py + h * math.sin(t)),
                (px + h * math.cos(n), py + h * math.sin(n)),
                (px - h * math.cos(n), py - h * math.sin(n))], fill=fill)


def magnifier(c, x, y, s, fill, w):
    c.ellipse(x + s * 0.12, y + s * 0.12, x + s * 0.62, y + s * 0.62, outline=fill, width=w)
    c.line([(x + s * 0.56, y + s * 0.56), (x + s * 0.88, y + s * 0.88)], fill, width=w * 1.5)


def bubble(c, x, y, s, fill, outline=None):
    c.rect(x + s * 0.08, y + s * 0.14, x + s * 0.92, y + s * 0.7, fill=fill, outline=outline,
           r=s * 0.16)
    c.poly([(x + s * 0.26, y + s * 0.66), (x + s * 0.22, y + s * 0.9), (x + s * 0.46, y + s * 0.66)],
           fill=fill if fill else outline)


def person(c, x, y, s, fill):
    c.ellipse(x + s * 0.34, y + s * 0.08, x + s * 0.66, y + s * 0.42, fill=fill)
    c.d.pieslice(c.s(x + s * 0.16, y + s * 0.48, x + s * 0.84, y + s * 1.16), 180, 360, fill=fill)


def gear(c, cx, cy, r, fill, hole):
    pts = []
    for i in range(32):
        a = math.radians(i * 360 / 32)
        rr = r if (i // 2) % 2 == 0 else r * 0.76
        pts.append((cx + rr * math.cos(a), cy + rr * math.sin(a)))
    c.poly(pts, fill=fill)
    c.ellipse(cx - r * 0.34, cy - r * 0.34, cx + r * 0.34, cy + r * 0.34, fill=hole)


# --- the main window -----------------------------------------------------------------

def make_top():
    # A dark logo block whose rounded lower-right corner opens into the title strip.
    c = Canvas(232, 48, SECONDARY)
    title_bands(c)
    c.rect(-20, -20, 226, 47, fill=BAND, r=14)
    c.rect(-20, 46.2, 200, 48, fill=TEAL_DARK)
    dial(c, 25, 24, 17, bg=PRIMARY)
    c.text(50, 21, "Dialwise", font(BOLD, 22), WHITE, "ls")
    c.text(51, 36, "INTERNET RADIO, LIVE", font(BOLD, 8), AMBER, "lm")
    save_bmp(c.final(), "top.bmp")


def make_topmid():
    c = Canvas(32, 48, SECONDARY)
    title_bands(c)
    save_bmp(c.final(), "topmid.bmp")


def make_topright():
    c = Canvas(112, 48, SECONDARY)
    title_bands(c)
    marks = ["min", "max", "close"]
    for i, m in enumerate(marks):
        x, y, w, h = 16 + i * 32, 1, 30, 17
        c.rect(x + 1, y + 1, x + w - 1, y + h - 1, fill=(56, 56, 100) if m != "close" else (150, 54, 70),
               r=3)
        cx, cy = x + w / 2, y + h / 2
        if m == "min":
            c.line([(cx - 5, cy + 3), (cx + 5, cy + 3)], WHITE, 1.6)
        elif m == "max":
            c.rect(cx - 5, cy - 4, cx + 5, cy + 4, outline=WHITE, width=1.4)
        else:
            c.line([(cx - 4, cy - 4), (cx + 4, cy + 4)], WHITE, 1.6)
            c.line([(cx - 4, cy + 4), (cx + 4, cy - 4)], WHITE, 1.6)
    save_bmp(c.final(), "topright.bmp")


def make_topleft():
    c = Canvas(48, 48, BAND)
    c.rect(0, 46.2, 48, 48, fill=TEAL_DARK)
    c.rect(6, 5, 42, 41, fill=TEAL_DARK, r=9)
    c.rect(6, 5, 42, 41, outline=TEAL, width=1.2, r=9)
    c.poly([(13, 13), (19, 13), (24, 29), (29, 13), (35, 13), (26.5, 35), (21.5, 35)], fill=WHITE)
    save_bmp(c.final(), "topleft.bmp")


LINKS = ["Top Stations", "New Stations", "Forums", "Start a Station"]


def make_left():
    c = Canvas(168, 132, PRIMARY)
    c.text(12, 15, "BROWSE", font(BOLD, 10), AMBER, "lm")
    c.line([(66, 15), (160, 15)], (110, 110, 160), 1)
    f = font(SANS, 11.5)
    for i, label in enumerate(LINKS):
        x, y, w, h = 8, 28 + i * 26, 152, 24
        c.rect(x, y, x + w, y + h, fill=(64, 64, 110), r=6)
        c.rect(x, y, x + 4, y + h, fill=TEAL, r=2)
        c.text(x + 14, y + h / 2, label, f, WHITE, "lm")
        c.poly([(x + w - 14, y + h / 2 - 4), (x + w - 14, y + h / 2 + 4), (x + w - 9, y + h / 2)],
               fill=SOFT)
    save_bmp(c.final(), "left.bmp")


def maker_button(name):
    c = Canvas(168, 56, PRIMARY)
    c.rect(4, 4, 164, 52, fill=TERTIARY, r=10)
    c.rect(4, 4, 164, 52, outline=TEAL_DARK, width=1.2, r=10)
    dial(c, 28, 28, 15, bg=TERTIARY)
    c.text(52, 22, "Dialwise", font(BOLD, 15), WHITE, "lm")
    c.text(52, 38, "on the web  \u203a", font(SANS, 10), AMBER, "lm")
    save_bmp(keyed(c, PRIMARY), name)


def big_button(name, label, icon):
    """A 96x40 glyph with icon and label; the refresh glyph holds 4 states side by side."""
    states = 4 if name == "refresh.bmp" else 1
    c = Canvas(96 * states, 40, PRIMARY)
    for s in range(states):
        x0 = 96 * s
        disabled = s == 1
        down = s in (2, 3)
        face = (36, 36, 70) if down else (64, 64, 110)
        edge = TEAL if s == 3 else (96, 96, 150)
        c.rect(x0 + 2, 2, x0 + 94, 38, fill=face, outline=edge, width=1, r=7)
        fg = GREY if disabled else WHITE
        accent = GREY if disabled else (TEAL if icon != "fav" else AMBER)
        ox = 1 if down else 0
        icon_fn = ICONS[icon]
        icon_fn(c, x0 + 8 + ox, 8 + ox, 24, accent, fg)
        c.text(x0 + 37 + ox, 20 + ox, label, font(BOLD, 10.5), fg, "lm")
    save_bmp(keyed(c, PRIMARY), name)


def icon_refresh(c, x, y, s, accent, fg):
    refresh_arrows(c, x + s / 2, y + s / 2, s * 0.36, accent, s * 0.11)


def icon_fav(c, x, y, s, accent, fg):
    star(c, x + s / 2, y + s / 2 + 0.5, s * 0.48, accent)


def icon_conf(c, x, y, s, accent, fg):
    gear(c, x + s / 2, y + s / 2, s * 0.45, accent, (64, 64, 110))


def icon_help(c, x, y, s, accent, fg):
    c.ellipse(x + 1, y + 1, x + s - 1, y + s - 1, outline=accent, width=s * 0.09)
    c.text(x + s / 2, y + s / 2 + 0.5, "?", font(BOLD, s * 0.62), accent, "mm")


ICONS = {"refresh": icon_refresh, "fav": icon_fav, "conf": icon_conf, "help": icon_help}


# --- the button bar above the list (20x20 glyphs on the tertiary colour) ---------------

def small_glyph(name, draw, states=1, bg=TERTIARY, size=20):
    c = Canvas(size * states, size, bg)
    for s in range(states):
        draw(c, size * s, 0, size, s)
    save_bmp(keyed(c, bg), name)


def g_listen(c, x, y, s, state):
    col = TEAL if state == 0 else GREY
    c.ellipse(x + 1, y + 1, x + s - 1, y + s - 1, fill=col)
    play_icon(c, x + 1.5, y + 1, s - 2, TERTIARY if state == 0 else (90, 90, 120))


def g_add(c, x, y, s, state):
    star(c, x + s * 0.44, y + s * 0.52, s * 0.42, AMBER)
    c.ellipse(x + s * 0.56, y + s * 0.02, x + s * 0.98, y + s * 0.44, fill=GREEN)
    c.line([(x + s * 0.77, y + s * 0.1), (x + s * 0.77, y + s * 0.36)], WHITE, 1.4)
    c.line([(x + s * 0.64, y + s * 0.23), (x + s * 0.9, y + s * 0.23)], WHITE, 1.4)


def g_remove(c, x, y, s, state):
    star(c, x + s * 0.44, y + s * 0.52, s * 0.42, (170, 150, 90))
    c.ellipse(x + s * 0.56, y + s * 0.02, x + s * 0.98, y + s * 0.44, fill=RED)
    c.line([(x + s * 0.64, y + s * 0.23), (x + s * 0.9, y + s * 0.23)], WHITE, 1.4)


def g_refreshind(c, x, y, s, state):
    refresh_arrows(c, x + s / 2, y + s / 2, s * 0.34, TEAL, 2.0)


def g_copy(c, x, y, s, state):
    c.rect(x + s * 0.12, y + s * 0.08, x + s * 0.62, y + s * 0.7, fill=SOFT, r=1.5)
    c.rect(x + s * 0.38, y + s * 0.3, x + s * 0.88, y + s * 0.92, fill=WHITE, outline=TERTIARY,
           width=1.2, r=1.5)
    for k in range(3):
        yy = y + s * (0.46 + k * 0.13)
        c.line([(x + s * 0.48, yy), (x + s * 0.78, yy)], TEAL_DARK, 1)


def g_find(c, x, y, s, state):
    magnifier(c, x, y, s, WHITE, 2.0)


def g_chat(c, x, y, s, state):
    bubble(c, x, y, s, TEAL)
    for k in range(3):
        cx = x + s * (0.32 + k * 0.18)
        c.ellipse(cx - 1.2, y + s * 0.42 - 1.2, cx + 1.2, y + s * 0.42 + 1.2, fill=TERTIARY)


# --- the player bar --------------------------------------------------------------------

PLAYER_BG = TERTIARY


def make_player():
    def round_btn(c, x, s, down, draw):
        face = (30, 30, 62) if down else (70, 70, 120)
        c.ellipse(x + 1, 1, x + s - 1, s - 1, fill=face, outline=TEAL if down else (110, 110, 160),
                  width=1.2)
        draw(c, x, s, down)

    def play(c, x, s, down):
        play_icon(c, x + 2 + (1 if down else 0), 1 + (1 if down else 0), s - 2, TEAL)

    def pause(c, x, s, down):
        o = 1 if down else 0
        c.rect(x + s * 0.34 + o, s * 0.3 + o, x + s * 0.45 + o, s * 0.7 + o, fill=AMBER)
        c.rect(x + s * 0.55 + o, s * 0.3 + o, x + s * 0.66 + o, s * 0.7 + o, fill=AMBER)

    c = Canvas(112, 28, PLAYER_BG)
    round_btn(c, 0, 28, False, play)
    round_btn(c, 28, 28, True, play)
    round_btn(c, 56, 28, False, pause)
    round_btn(c, 84, 28, True, pause)
    save_bmp(keyed(c, PLAYER_BG), "pbtn_pause.bmp")

    c = Canvas(28, 28, PLAYER_BG)
    round_btn(c, 0, 28, False, lambda c, x, s, d: c.rect(x + 9.5, 9.5, x + 18.5, 18.5, fill=WHITE, r=1))
    save_bmp(keyed(c, PLAYER_BG), "pbtn_stop.bmp")

    c = Canvas(112, 20, PLAYER_BG)
    for i in range(2):
        x = i * 56
        down = i == 1
        c.rect(x + 1, 1, x + 55, 19, fill=(200, 150, 0) if down else AMBER, r=5)
        c.text(x + 28 + (1 if down else 0), 10.5 + (1 if down else 0), "BUY CD", font(BOLD, 9),
               (30, 30, 60), "mm")
    save_bmp(keyed(c, PLAYER_BG), "pbtn_buynow.bmp")

    c = Canvas(80, 20, PLAYER_BG)
    for i in range(4):
        x = i * 20
        down = i % 2 == 1
        c.rect(x + 1, 1, x + 19, 19, fill=(30, 30, 62) if down else (70, 70, 120), r=4)
        # docked: arrow up out of the window; on the desktop: arrow down into it
        c.rect(x + 4, 12, x + 16, 16, outline=SOFT, width=1.2)
        if i < 2:
            c.poly([(x + 10, 3.5), (x + 6, 8.5), (x + 14, 8.5)], fill=TEAL)
        else:
            c.poly([(x + 10, 10.5), (x + 6, 5.5), (x + 14, 5.5)], fill=TEAL)
    save_bmp(keyed(c, PLAYER_BG), "pbtn_dock.bmp")

    c = Canvas(10, 16, PLAYER_BG)
    c.rect(1, 1, 9, 15, fill=SOFT, outline=WHITE, width=1, r=3)
    c.line([(5, 5), (5, 11)], GREY, 1)
    save_bmp(keyed(c, PLAYER_BG), "pbtn_thumb.bmp")

    c = Canvas(80, 16, PLAYER_BG)
    c.rect(0, 6, 80, 10, fill=DISPLAY, r=2)
    c.rect(0, 6.8, 80, 7.6, fill=TEAL_DARK)
    save_bmp(keyed(c, PLAYER_BG), "pbtn_ruler.bmp")

    c = Canvas(16, 16, PLAYER_BG)
    c.poly([(2, 6), (5, 6), (9, 2.5), (9, 13.5), (5, 10), (2, 10)], fill=SOFT)
    c.arc(5, 4, 13, 12, -50, 50, TEAL, 1.3)
    c.arc(4, 1.5, 16, 14.5, -50, 50, TEAL, 1.3)
    save_bmp(keyed(c, PLAYER_BG), "pbtn_volume.bmp")


def bitmap_font(name, chars, cw, ch, fnt, px, colour):
    img = Image.new("RGB", (cw * len(chars), ch), DISPLAY)
    d = ImageDraw.Draw(img)
    f = ImageFont.truetype(FONTS + fnt, px)
    for i, s in enumerate(chars):
        d.text((i * cw + cw / 2, ch / 2), s, font=f, fill=colour, anchor="mm")
    save_bmp(img, name)


# --- the chat window (22x22 glyphs) ------------------------------------------------------

def make_chat():
    def plug(c, x, y, s, st):
        col = GREEN if st == 1 else GREY
        c.rect(x + 4, y + 7, x + 13, y + 15, fill=col, r=2)
        c.line([(x + 13, y + 11), (x + 19, y + 11)], col, 2)
        c.line([(x + 1, y + 9), (x + 4, y + 9)], col, 1.5)
        c.line([(x + 1, y + 13), (x + 4, y + 13)], col, 1.5)

    def leave(c, x, y, s, st):
        c.rect(x + 3, y + 3, x + 12, y + 19, outline=SOFT, width=1.5, r=1)
        c.line([(x + 9, y + 11), (x + 19, y + 11)], RED, 2)
        c.poly([(x + 20, y + 11), (x + 15, y + 6.5), (x + 15, y + 15.5)], fill=RED)

    def channels(c, x, y, s, st):
        for k in range(4):
            yy = y + 5 + k * 4.2
            c.text(x + 5, yy, "#", font(BOLD, 4.5), TEAL, "mm")
            c.line([(x + 9, yy), (x + 19, yy)], SOFT, 1.6)

    def private(c, x, y, s, st):
        c.rect(x + 2, y + 5, x + 20, y + 17, fill=SOFT, r=1.5)
        c.line([(x + 2.5, y + 5.5), (x + 11, y + 12), (x + 19.5, y + 5.5)], TERTIARY, 1.4)

    def sendfile(c, x, y, s, st):
        c.poly([(x + 5, y + 2), (x + 13, y + 2), (x + 17, y + 6), (x + 17, y + 20), (x + 5, y + 20)],
               fill=SOFT)
        c.line([(x + 11, y + 17), (x + 11, y + 9)], TEAL_DARK, 2)
        c.poly([(x + 11, y + 6.5), (x + 7.5, y + 11), (x + 14.5, y + 11)], fill=TEAL_DARK)

    def lock(c, x, y, s, st):
        col = AMBER if st == 1 else GREY
        c.rect(x + 5, y + 10, x + 17, y + 20, fill=col, r=2)
        if st == 1:
            c.arc(x + 7, y + 3, x + 15, y + 15, 180, 360, col, 2)
            c.line([(x + 7, y + 9), (x + 7, y + 10.5)], col, 2)
            c.line([(x + 15, y + 9), (x + 15, y + 10.5)], col, 2)
        else:
            c.arc(x + 11, y + 2, x + 19, y + 14, 180, 360, col, 2)
            c.line([(x + 19, y + 8), (x + 19, y + 10)], col, 2)

    def kick(c, x, y, s, st):
        person(c, x + 1, y + 2, 14, SOFT)
        c.line([(x + 13, y + 16), (x + 20, y + 9)], AMBER, 2)
        c.poly([(x + 21, y + 8), (x + 15.5, y + 9), (x + 20, y + 13.5)], fill=AMBER)

    def ban(c, x, y, s, st):
        person(c, x + 3, y + 3, 16, SOFT)
        c.ellipse(x + 2, y + 2, x + 20, y + 20, outline=RED, width=2)
        c.line([(x + 5, y + 17), (x + 17, y + 5)], RED, 2)

    for name, draw, states in (("cbtn_condis.bmp", plug, 2), ("cbtn_leave.bmp", leave, 1),
                               ("cbtn_channels.bmp", channels, 1),
                               ("cbtn_privatemes.bmp", private, 1),
                               ("cbtn_sendfile.bmp", sendfile, 1), ("cbtn_lock.bmp", lock, 2),
                               ("cbtn_kick.bmp", kick, 1), ("cbtn_ban.bmp", ban, 1)):
        small_glyph(name, draw, states, size=22)


# --- window shape, skin.ini ---------------------------------------------------------------

def make_shape():
    """32x32 one-bit mask with rounded corners (radius 7): black is inside."""
    size, r = 32, 7
    img = Image.new("1", (size, size), 1)
    px = img.load()
    for y in range(size):
        for x in range(size):
            inside = True
            for cx, cy in ((r, r), (size - 1 - r, r), (r, size - 1 - r), (size - 1 - r, size - 1 - r)):
                if ((x < r and cx == r) or (x > size - 1 - r and cx != r)) and \
                   ((y < r and cy == r) or (y > size - 1 - r and cy != r)):
                    inside = (x - cx) ** 2 + (y - cy) ** 2 <= (r + 0.3) ** 2
            px[x, y] = 0 if inside else 1
    img.save(os.path.join(SKIN, "shape.msk"), "BMP")


def make_ini():
    lines = ["; The default skin of Dialwise.", "; Colours: decimal, or hexadecimal after \"$\";"
             " red in the low byte.", "[colors]"]
    for k, v in PROFILE.items():
        lines.append(f"{k}={v}")
    lines.append(f"altline0fontcolor={PROFILE['altlinefontcolor']}")
    lines.append(f"playercolor={PROFILE['tertiarycolor']}")
    lines.append(f"playerfontcolor={PROFILE['tertiaryfontcolor']}")
    lines += ["", "[Tags]", "version=1", "MaskX=0", "MaskY=0", ""]
    with open(os.path.join(SKIN, "skin.ini"), "w", newline="\r\n") as f:
        f.write("\n".join(lines))


# --- built-in pictures of the station list and the page area -----------------------------

def icon_strip(draws, name):
    c = Canvas(16 * len(draws), 16, (0, 0, 0, 0), mode="RGBA")
    for i, d in enumerate(draws):
        if d:
            d(c, 16 * i)
    c.final().save(os.path.join(IMAGES, name), "PNG")


def ping_bars(level, colour):
    def draw(c, x):
        for k in range(3):
            h = 4 + k * 4
            if k < level:
                c.rect(x + 2 + k * 4.5, 14 - h, x + 5.5 + k * 4.5, 14, fill=colour, r=0.8)
            else:  # an empty bar: outline only, visible on white, grey and selected rows
                c.rect(x + 2.4 + k * 4.5, 14.4 - h, x + 5.1 + k * 4.5, 13.6,
                       outline=(120, 120, 140, 255), width=0.8, r=0.6)
    return draw


def listeners(kind):
    def draw(c, x):
        if kind == 0:
            c.ellipse(x + 5.5, 1.5, x + 10.5, 6.5, outline=(150, 150, 160, 255), width=1.2)
            c.d.arc(c.s(x + 3, 8.5, x + 13, 18.5), 180, 360, fill=(150, 150, 160, 255), width=round(1.2 * SS))
        elif kind == 1:
            person(c, x, 1, 16, (30, 100, 190, 255))
        else:
            person(c, x - 3, 2, 14, (200, 70, 50, 255))
            person(c, x + 5, 1, 15, (230, 90, 60, 255))
    return draw


def quality(colour, edge):
    def draw(c, x):
        c.rect(x + 1, 4, x + 14, 12, fill=colour, outline=edge, width=0.8, r=1.5)
        c.rect(x + 2, 4.8, x + 13, 6.5, fill=(255, 255, 255, 90), r=1)
    return draw


def make_list_images():
    dot = lambda c, x: c.ellipse(x + 6, 6, x + 10, 10, fill=(160, 160, 170, 255))
    fav = lambda c, x: star(c, x + 8, 8.5, 7.3, (240, 180, 0, 255), outline=(180, 120, 0, 255))
    icon_strip([dot, ping_bars(3, (40, 170, 70, 255)), ping_bars(2, (230, 170, 0, 255)),
                ping_bars(1, (215, 50, 50, 255)), listeners(0), listeners(1), listeners(2), fav,
                quality((40, 160, 150, 255), (20, 100, 95, 255)),
                quality((220, 50, 50, 255), (150, 20, 20, 255))], "listimages.png")

    ramp = Image.new("RGB", (64, 16))
    for x in range(64):
        if x <= 4:
            col = (255, 0, 0)
        elif x < 29:
            col = (255, round(255 * (x - 4) / 25), 0)
        elif x <= 34:
            col = (255, 255, 0)
        elif x < 59:
            col = (round(255 * (59 - x) / 25), 255, 0)
        else:
            col = (0, 255, 0)
        for y in range(16):
            ramp.putpixel((x, y), col)
    ramp.save(os.path.join(IMAGES, "gradimage2.png"), "PNG")

    ink = (60, 60, 110, 255)
    tabs = [
        lambda c, x: bubble(c, x, 0, 16, (38, 160, 150, 255)),
        lambda c, x: magnifier(c, x, 0, 16, ink, 1.6),
        lambda c, x: (c.ellipse(x + 1, 1, x + 15, 15, fill=(40, 120, 200, 255)),
                      c.text(x + 8, 8.4, "i", font(BOLD, 11), (255, 255, 255, 255), "mm")),
        lambda c, x: (bubble(c, x + 3, 3, 13, (150, 150, 190, 255)),
                      bubble(c, x, 0, 11, (38, 160, 150, 255))),
        lambda c, x: (c.rect(x + 1, 2, x + 15, 14, fill=(250, 250, 250, 255), outline=ink, width=1, r=1),
                      c.rect(x + 3, 4, x + 8, 8, fill=(230, 170, 0, 255)),
                      [c.line([(x + 9.5, 4.6 + k * 2.2), (x + 13, 4.6 + k * 2.2)], ink, 0.9) for k in range(2)],
                      [c.line([(x + 3, 9.8 + k * 2.2), (x + 13, 9.8 + k * 2.2)], ink, 0.9) for k in range(2)]),
    ]
    icon_strip(tabs, "pagetabs.png")


def preview(folder):
    """PNG renderings (scaled up 2x) of every picture, to look at."""
    os.makedirs(folder, exist_ok=True)
    for name in sorted(os.listdir(SKIN)):
        if name.endswith(".bmp") or name.endswith(".msk"):
            img = Image.open(os.path.join(SKIN, name)).convert("RGB")
            img.resize((img.width * 2, img.height * 2), Image.NEAREST).save(
                os.path.join(folder, name.rsplit(".", 1)[0] + ".png"))
    for name in os.listdir(IMAGES):
        img = Image.open(os.path.join(IMAGES, name)).convert("RGBA")
        bg = Image.new("RGBA", img.size, (255, 255, 255, 255))
        bg.alpha_composite(img)
        bg.resize((img.width * 4, img.height * 4), Image.NEAREST).save(
            os.path.join(folder, "images_" + name))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--preview", help="also write enlarged PNG renderings into this folder")
    args = ap.parse_args()
    os.makedirs(SKIN, exist_ok=True)
    os.makedirs(IMAGES, exist_ok=True)
    make_top()
    make_topmid()
    make_topright()
    make_topleft()
    make_left()
    maker_button("bl_base.bmp")
    maker_button("bottomleft.bmp")
    big_button("refresh.bmp", "Refresh", "refresh")
    big_button("favorites.bmp", "Favorites", "fav")
    big_button("configure.bmp", "Settings", "conf")
    big_button("help.bmp", "Help", "help")
    small_glyph("btn_listen.bmp", g_listen, 2)
    small_glyph("btn_addserver.bmp", g_add)
    small_glyph("btn_removeserver.bmp", g_remove)
    small_glyph("btn_refreshind.bmp", g_refreshind)
    small_glyph("btn_copyserver.bmp", g_copy)
    small_glyph("btn_findserver.bmp", g_find)
    small_glyph("btn_joinchat.bmp", g_chat)
    make_player()
    songtext = "".join(chr(c) for c in range(32, 127))
    bitmap_font("songtext.bmp", songtext, 7, 12, MONO, 11, (120, 230, 215))
    bitmap_font("digits.bmp", "0123456789:- ", 11, 18, MONOB, 17, AMBER)
    make_chat()
    make_shape()
    make_ini()
    make_list_images()
    if args.preview:
        preview(args.preview)


if __name__ == "__main__":
    main()
