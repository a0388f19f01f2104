"""Reads the pixels of a PNG screenshot with the standard library only (zlib), for the page test.

Handles what a browser writes: 8-bit RGB or RGBA, not interlaced, every row filter (None, Sub,
Up, Average, Paeth). Rows are decoded in order because each filter reads the row above.
"""
import struct
import zlib

CHANNELS = {2: 3, 6: 4}  # colour type -> bytes per pixel


def chunks(data):
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    position = 8
    while position < len(data):
        (length,) = struct.unpack(">I", data[position:position + 4])
        yield data[position + 4:position + 8], data[position + 8:position + 8 + length]
        position += 12 + length


def bytewise_sum(a, b):
    """a + b byte by byte, modulo 256, for whole rows at once: the Up filter."""
    count = len(a)
    low = int.from_bytes(b"\x7f" * count, "big")
    high = int.from_bytes(b"\x80" * count, "big")
    x, y = int.from_bytes(a, "big"), int.from_bytes(b, "big")
    return bytearray((((x & low) + (y & low)) ^ ((x ^ y) & high)).to_bytes(count, "big"))


def paeth(left, up, corner):
    estimate = left + up - corner
    to_left, to_up, to_corner = abs(estimate - left), abs(estimate - up), abs(estimate - corner)
    if to_left <= to_up and to_left <= to_corner:
        return left
    return up if to_up <= to_corner else corner


def unfilter(kind, row, previous, bpp):
    if kind == 0:
        return row
    if kind == 2:
        return bytewise_sum(row, previous)
    for i in range(len(row)):
        left = row[i - bpp] if i >= bpp else 0
        if kind == 1:
            row[i] = (row[i] + left) & 255
        elif kind == 3:
            row[i] = (row[i] + ((left + previous[i]) >> 1)) & 255
        elif kind == 4:
            corner = previous[i - bpp] if i >= bpp else 0
            row[i] = (row[i] + paeth(left, previous[i], corner)) & 255
        else:
            raise ValueError("unknown PNG row filter %d" % kind)
    return row


def read_png(path):
    """(width, height, bytes per pixel, [row bytes, ...])."""
    with open(path, "rb") as file:
        data = file.read()
    header, compressed = None, bytearray()
    for kind, body in chunks(data):
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            compressed += body
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in CHANNELS or interlace:
        raise ValueError("unsupported PNG: depth %d, colour type %d, interlace %d" %
                         (depth, colour, interlace))
    bpp = CHANNELS[colour]
    raw = zlib.decompress(bytes(compressed))
    stride = width * bpp + 1
    rows, previous = [], bytearray(width * bpp)
    for y in range(height):
        line = raw[y * stride:(y + 1) * stride]
        previous = unfilter(line[0], bytearray(line[1:]), previous, bpp)
        rows.append(previous)
    return width, height, bpp, rows


def inked_share(image, box, background):
    """The share of the pixels in box (x, y, width, height) that differ from the background by
    more than a faint tint (grid lines, anti-aliasing)."""
    width, height, bpp, rows = image
    x0, y0 = max(0, int(box[0])), max(0, int(box[1]))
    x1, y1 = min(width, int(box[0] + box[2])), min(height, int(box[1] + box[3]))
    inked = total = 0
    for y in range(y0, y1):
        row = rows[y]
        for x in range(x0, x1):
            pixel = row[x * bpp:x * bpp + 3]
            total += 1
            inked += max(abs(c - b) for c, b in zip(pixel, background)) > 40
    return inked / total if total else 0.0
