"""Checks the editor pictures (24-bit BMP): size and content; writes each as PNG."""
import struct
import sys
import zlib

SIZES = {"options": (255, 289)}


def read_bmp(path):
    data = open(path, "rb").read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        row = data[offset + y * stride: offset + y * stride + width * 3]
        rows.append(bytes(b for px in range(width) for b in row[px * 3: px * 3 + 3][::-1]))
    if height > 0:
        rows.reverse()
    return width, abs(height), rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + r for r in rows)
    png = (b"\x89PNG\r\n\x1a\n" +
           chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    open(path, "wb").write(png)


# The LED's 17 x 17 square in the editor window, and the colours it shows.
LED = (321, 4, 17, 17)
YELLOW, RIM = b"\xff\xff\x00", b"\x80\x80\x80"


def led_pixels(rows, colour):
    left, top, width, height = LED
    return sum(rows[y][x * 3: x * 3 + 3] == colour
               for y in range(top, top + height) for x in range(left, left + width))


def check_led(name, rows):
    """The LED shows, dark, over every page once the log is idle: its rim, and no yellow."""
    rim, yellow = led_pixels(rows, RIM), led_pixels(rows, YELLOW)
    ok = rim >= 20 and yellow == 0
    print(f"{'ok' if ok else 'FAIL'}: {name} LED {rim} rim pixels, {yellow} yellow")
    return ok


def main():
    folder, names = sys.argv[1], sys.argv[2:]
    failed = False
    for name in names:
        width, height, rows = read_bmp(f"{folder}/{name}.bmp")
        expected = SIZES.get(name, (344, 305))
        colours = {rows[y][x * 3: x * 3 + 3] for y in range(0, height, 3)
                   for x in range(0, width, 3)}
        ok = (width, height) == expected and len(colours) > 8
        print(f"{'ok' if ok else 'FAIL'}: {name} {width} x {height}, {len(colours)} colours")
        failed |= not ok
        if ok and name != "options":
            failed |= not check_led(name, rows)
        write_png(f"{folder}/{name}.png", width, height, rows)
    sys.exit(1 if failed else 0)


main()
