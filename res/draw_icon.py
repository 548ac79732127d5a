"""Draws the application icon and writes res/VuqSetup.ico.

Usage: /usr/bin/python3 res/draw_icon.py [--out FILE] [--preview FILE.png]

The artwork is a tablet whose screen shows a download arrow landing on a
touch point. Its shapes sit on a 16x16 grid so that edges fall on whole
pixels at 16, 32 and 48 pixels. The container is written here rather than by
Pillow so that the image order and colour depths are exactly ours, and the
output is the same bytes on every run.
"""

import argparse
import io
import os
import struct

from PIL import Image, ImageDraw

# (size, bits per pixel); 256 is stored as PNG.
IMAGES = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (256, 32), (48, 32), (32, 32), (16, 32)]

BODY = (38, 52, 69)
SCREEN = (31, 127, 216)
ARROW = (255, 255, 255)
TOUCH = (255, 193, 7)
RING = (159, 208, 255)
BUTTON = (90, 107, 125)

CANVAS = 1024
CELL = CANVAS // 16


def mix(a, b):
    return tuple((x + y) // 2 for x, y in zip(a, b))


# Fixed 16-colour table: black first (the colour under the transparent mask),
# the flat colours, and the halfway tones their anti-aliased edges produce.
PALETTE_4BIT = [
    (0, 0, 0), BODY, SCREEN, ARROW, TOUCH, RING, BUTTON,
    mix(BODY, SCREEN), mix(SCREEN, ARROW), mix(SCREEN, TOUCH), mix(SCREEN, RING),
    mix(BODY, BUTTON), mix(ARROW, TOUCH), mix(SCREEN, mix(SCREEN, ARROW)),
    (128, 128, 128), (192, 192, 192),
]


def draw(size):
    """Renders the artwork for one target size on a large canvas."""
    im = Image.new("RGBA", (CANVAS, CANVAS), (0, 0, 0, 0))
    d = ImageDraw.Draw(im)

    def box(x0, y0, x1, y1):
        return [x0 * CELL, y0 * CELL, x1 * CELL - 1, y1 * CELL - 1]

    d.rounded_rectangle(box(2, 0, 14, 16), radius=int(1.5 * CELL), fill=BODY)
    d.rounded_rectangle(box(3, 1, 13, 13), radius=CELL // 4, fill=SCREEN)
    d.rounded_rectangle(box(7, 14, 9, 15), radius=CELL // 2, fill=BUTTON)

    # At 16 pixels a ring and a round dot only smudge: there the touch point
    # is a crisp 2x2 block.
    if size > 16:
        d.ellipse(box(5, 8, 11, 14), outline=RING, width=CELL // 2)
        d.rectangle(box(3, 13, 13, 14), fill=BODY)
        d.ellipse(box(6.5, 9.5, 9.5, 12.5), fill=TOUCH)
    else:
        d.rectangle(box(7, 10, 9, 12), fill=TOUCH)

    d.rectangle(box(7, 2, 9, 5), fill=ARROW)
    d.polygon([(4 * CELL, 5 * CELL), (12 * CELL, 5 * CELL), (8 * CELL, 9 * CELL)], fill=ARROW)
    return im.resize((size, size), Image.Resampling.BOX)


def nearest(colour, palette):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(colour, palette[i])))


def to_indices(im, bits):
    """Returns (palette, pixel indices) with index 0 black for masked pixels."""
    pixels = list(im.getdata())
    opaque = [p[:3] for p in pixels if p[3] >= 128]
    if bits == 4:
        palette = PALETTE_4BIT
        mapped = [nearest(c, palette) for c in opaque]
    else:
        strip = Image.new("RGB", (len(opaque), 1))
        strip.putdata(opaque)
        q = strip.quantize(colors=255, method=Image.Quantize.MEDIANCUT,
                           dither=Image.Dither.NONE)
        flat = q.getpalette()[:255 * 3]
        palette = [(0, 0, 0)] + [tuple(flat[i:i + 3]) for i in range(0, len(flat), 3)]
        mapped = [i + 1 for i in q.getdata()]
    it = iter(mapped)
    indices = [next(it) if p[3] >= 128 else 0 for p in pixels]
    palette = palette + [(0, 0, 0)] * ((1 << bits) - len(palette))
    return palette, indices


def pack_rows(values, size, bits):
    """Packs rows bottom-up, each padded to a multiple of four bytes."""
    out = bytearray()
    stride = (size * bits + 31) // 32 * 4
    for y in range(size - 1, -1, -1):
        row = values[y * size:(y + 1) * size]
        if bits == 32:
            data = b"".join(bytes(v) for v in row)
        else:
            acc = 0
            for v in row:
                acc = (acc << bits) | v
            acc <<= (-size * bits) % 8
            data = acc.to_bytes(size * bits // 8 + (1 if size * bits % 8 else 0), "big")
        out += data.ljust(stride, b"\0")
    return bytes(out)


def encode(im, bits):
    size = im.width
    if size == 256:
        buf = io.BytesIO()
        im.save(buf, "PNG", optimize=False, compress_level=9)
        return buf.getvalue()
    pixels = list(im.getdata())
    mask = pack_rows([1 if p[3] < 128 else 0 for p in pixels], size, 1)
    if bits == 32:
        colour_table = b""
        xor = pack_rows([(b, g, r, a) for r, g, b, a in pixels], size, 32)
    else:
        palette, indices = to_indices(im, bits)
        colour_table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
        xor = pack_rows(indices, size, bits)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bits, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + colour_table + xor + mask


def build_ico():
    blobs = [encode(draw(size), bits) for size, bits in IMAGES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(IMAGES)))
    offset = 6 + 16 * len(IMAGES)
    for (size, bits), blob in zip(IMAGES, blobs):
        dim = size % 256  # 256 is written as 0
        out += struct.pack("<BBBBHHII", dim, dim, 16 if bits == 4 else 0, 0, 1, bits,
                           len(blob), offset)
        offset += len(blob)
    for blob in blobs:
        out += blob
    return bytes(out)


def decode_ico(data):
    """Decodes every image of an .ico back to RGBA, in directory order."""
    _, _, count = struct.unpack_from("<HHH", data, 0)
    images = []
    for i in range(count):
        _, _, _, _, _, _, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        blob = data[offset:offset + length]
        if blob[:8] == b"\x89PNG\r\n\x1a\n":
            images.append(Image.open(io.BytesIO(blob)).convert("RGBA"))
            continue
        _, w, h2, _, bits = struct.unpack_from("<IiiHH", blob, 0)
        h = h2 // 2
        pos = 40
        palette = []
        if bits <= 8:
            for k in range(1 << bits):
                b, g, r, _ = blob[pos + 4 * k:pos + 4 * k + 4]
                palette.append((r, g, b, 255))
            pos += 4 << bits
        stride = (w * bits + 31) // 32 * 4
        mask_stride = (w + 31) // 32 * 4
        mask_pos = pos + stride * h
        im = Image.new("RGBA", (w, h))
        for y in range(h):
            row = pos + (h - 1 - y) * stride
            mrow = mask_pos + (h - 1 - y) * mask_stride
            for x in range(w):
                if bits == 32:
                    b, g, r, a = blob[row + 4 * x:row + 4 * x + 4]
                    px = (r, g, b, a)
                else:
                    bit = x * bits
                    v = (blob[row + bit // 8] >> (8 - bits - bit % 8)) & ((1 << bits) - 1)
                    px = palette[v]
                if (blob[mrow + x // 8] >> (7 - x % 8)) & 1:
                    px = (0, 0, 0, 0)
                im.putpixel((x, y), px)
        images.append(im)
    return images


def preview(data, path):
    """Top: each image enlarged on a checkerboard. Below: actual size on light and dark."""
    images = decode_ico(data)
    cell, gap = 256, 16
    width = len(images) * (cell + gap) + gap
    sheet = Image.new("RGBA", (width, cell + 2 * 80 + 3 * gap), (255, 255, 255, 255))
    for i, im in enumerate(images):
        x = gap + i * (cell + gap)
        big = im.resize((cell, cell), Image.Resampling.NEAREST)
        board = Image.new("RGBA", (cell, cell))
        bd = ImageDraw.Draw(board)
        for by in range(0, cell, 16):
            for bx in range(0, cell, 16):
                shade = 200 if (bx + by) // 16 % 2 else 235
                bd.rectangle([bx, by, bx + 15, by + 15], fill=(shade, shade, shade, 255))
        sheet.alpha_composite(Image.alpha_composite(board, big), (x, gap))
        for row, bg in enumerate(((240, 240, 240, 255), (40, 40, 40, 255))):
            y = cell + 2 * gap + row * (80 + gap)
            ImageDraw.Draw(sheet).rectangle([x, y, x + cell - 1, y + 79], fill=bg)
            small = im if im.width <= 64 else im.resize((64, 64), Image.Resampling.LANCZOS)
            sheet.alpha_composite(small, (x + 8, y + 8))
    sheet.convert("RGB").save(path)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description="Draws the application icon.")
    ap.add_argument("--out", default=os.path.join(here, "VuqSetup.ico"))
    ap.add_argument("--preview", metavar="PNG", help="also write a side-by-side rendering")
    args = ap.parse_args()
    data = build_ico()
    with open(args.out, "wb") as f:
        f.write(data)
    if args.preview:
        preview(data, args.preview)


if __name__ == "__main__":
    main()
