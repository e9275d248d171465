#!/usr/bin/python3
"""Draws the program's icon, the tuning dial of its logo, for the desktop: a scalable
SVG and PNGs at the hicolor theme's sizes (packaging/icons). Needs python3-pil.

    python3 scripts/make-icons.py

The SVG and the PNGs are drawn from the same geometry (on a 512-unit square); the PNGs
at four times their size and scaled down, so edges are smooth.
"""
import math
import os

from PIL import Image, ImageDraw

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "packaging", "icons")
SIZES = [16, 22, 24, 32, 48, 64, 128, 256, 512]
SS = 4

# The logo's colours (scripts/make-default-skin.py).
BAND = (38, 38, 74)
PRIMARY = (77, 76, 127)
TEAL = (38, 196, 180)
SOFT = (200, 204, 228)
AMBER = (253, 201, 0)

# Geometry on a 512 square.
CORNER = 104
C = 256
R = 196
RING = R * 0.18
TICKS = [200 + i * 23.3 for i in range(7)]
TICK_IN, TICK_OUT, TICK_W = R * 0.55, R * 0.74, R * 0.08
NEEDLE_A, NEEDLE_L, NEEDLE_W = 300, R * 0.64, R * 0.13
HUB = R * 0.15


def polar(r, deg):
    a = math.radians(deg)
    return C + r * math.cos(a), C + r * math.sin(a)


def hexc(c):
    return "#%02x%02x%02x" % c


def svg():
    parts = [
        '<svg xmlns="http://www.w3.org/2000/svg" width="512" height="512" viewBox="0 0 512 512">',
        f'  <rect x="8" y="8" width="496" height="496" rx="{CORNER}" fill="{hexc(BAND)}"/>',
        f'  <circle cx="{C}" cy="{C}" r="{R - RING / 2:.1f}" fill="{hexc(PRIMARY)}" '
        f'stroke="{hexc(TEAL)}" stroke-width="{RING:.1f}"/>',
    ]
    for t in TICKS:
        x0, y0 = polar(TICK_IN, t)
        x1, y1 = polar(TICK_OUT, t)
        parts.append(f'  <line x1="{x0:.1f}" y1="{y0:.1f}" x2="{x1:.1f}" y2="{y1:.1f}" '
                     f'stroke="{hexc(SOFT)}" stroke-width="{TICK_W:.1f}" stroke-linecap="round"/>')
    x1, y1 = polar(NEEDLE_L, NEEDLE_A)
    parts.append(f'  <line x1="{C}" y1="{C}" x2="{x1:.1f}" y2="{y1:.1f}" stroke="{hexc(AMBER)}" '
                 f'stroke-width="{NEEDLE_W:.1f}" stroke-linecap="round"/>')
    parts.append(f'  <circle cx="{C}" cy="{C}" r="{HUB:.1f}" fill="{hexc(AMBER)}"/>')
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def png(size):
    k = size * SS / 512
    img = Image.new("RGBA", (size * SS, size * SS), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)

    def s(*v):
        return [round(x * k) for x in v]

    d.rounded_rectangle(s(8, 8, 504, 504), radius=round(CORNER * k), fill=BAND)
    d.ellipse(s(C - R, C - R, C + R, C + R), fill=TEAL)
    d.ellipse(s(C - R + RING, C - R + RING, C + R - RING, C + R - RING), fill=PRIMARY)
    # Small icons keep fewer, bolder ticks so that they stay apart.
    ticks = TICKS if size >= 32 else TICKS[::2]
    tw = TICK_W if size >= 32 else TICK_W * 1.6
    for t in ticks:
        line(d, s(*polar(TICK_IN, t), *polar(TICK_OUT, t)), SOFT, tw * k)
    line(d, s(C, C, *polar(NEEDLE_L, NEEDLE_A)), AMBER, NEEDLE_W * k)
    d.ellipse(s(C - HUB, C - HUB, C + HUB, C + HUB), fill=AMBER)
    return img.resize((size, size), Image.LANCZOS)


def line(d, xy, fill, width):
    """A line with round ends."""
    w = max(1, round(width))
    d.line(xy, fill=fill, width=w)
    for x, y in (xy[:2], xy[2:]):
        d.ellipse([x - w / 2, y - w / 2, x + w / 2, y + w / 2], fill=fill)


def main():
    os.makedirs(os.path.join(OUT, "scalable"), exist_ok=True)
    with open(os.path.join(OUT, "scalable", "dialwise.svg"), "w") as f:
        f.write(svg())
    for size in SIZES:
        folder = os.path.join(OUT, f"{size}x{size}")
        os.makedirs(folder, exist_ok=True)
        png(size).save(os.path.join(folder, "dialwise.png"), optimize=True)


if __name__ == "__main__":
    main()
