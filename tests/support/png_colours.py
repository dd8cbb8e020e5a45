# Prints "several" when an 8-bit RGB(A) PNG holds more than one colour, "one" otherwise; stops at
# the second colour, so that a page with content answers in a moment.
import struct
import sys
import zlib

data = open(sys.argv[1], "rb").read()
pos, idat = 8, b""
while pos < len(data):
    size, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + size]
    if kind == b"IHDR":
        width, height, depth, colour_type = struct.unpack(">IIBB", body[:10])
    elif kind == b"IDAT":
        idat += body
    pos += 12 + size
raw = zlib.decompressobj().decompress(idat)
bpp = {2: 3, 6: 4}[colour_type]
stride = width * bpp
previous, first, at = bytearray(stride), None, 0
for _ in range(height):
    kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
    at += 1 + stride
    for i in range(stride):
        a = line[i - bpp] if i >= bpp else 0
        b = previous[i]
        c = previous[i - bpp] if i >= bpp else 0
        if kind == 1:
            line[i] = (line[i] + a) & 255
        elif kind == 2:
            line[i] = (line[i] + b) & 255
        elif kind == 3:
            line[i] = (line[i] + (a + b) // 2) & 255
        elif kind == 4:
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    for i in range(0, stride, bpp):
        pixel = bytes(line[i:i + bpp])
        first = first or pixel
        if pixel != first:
            print("several")
            sys.exit(0)
    previous = line
print("one")
