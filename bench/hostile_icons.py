#!/usr/bin/python3
"""Runs morvik-app-icon on hostile bundles made here and prints, for each, the
exit status, the peak memory and the wall time (/usr/bin/time). The goal is
under 64 MiB and 1 s for any bundle.

usage: hostile_icons.py MORVIK-APP-ICON
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

from make_icon_bundle import png

XML_HEAD = ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
            '<key>CFBundleIconFile</key><string>AppIcon</string>')


def xml_plist(depth):
    return (XML_HEAD + "<key>Nested</key>" + "<array>" * depth + "</array>" * depth + "</dict></plist>\n").encode()


def binary_plist(containers, leaf="x"):
    """A dict naming AppIcon whose "Nested" value is the last of `containers`,
    each a list of references to objects made before it (index 0 is `leaf`)."""
    objects = [bytes([0x5F, 0x12]) + struct.pack(">I", len(leaf)) + leaf.encode()]
    for refs in containers:
        objects.append(bytes([0xAF, 0x12]) + struct.pack(">I", len(refs)) + b"".join(struct.pack(">I", r) for r in refs))
    nested = len(objects) - 1
    for text in (b"CFBundleIconFile", b"AppIcon", b"Nested"):
        objects.append(bytes([0x5F, 0x10, len(text)]) + text)
    top = len(objects)
    objects.append(bytes([0xD2]) + b"".join(struct.pack(">I", r) for r in (top - 3, top - 1, top - 2, nested)))
    out, offsets = bytearray(b"bplist00"), []
    for item in objects:
        offsets.append(len(out))
        out += item
    table = len(out)
    out += b"".join(struct.pack(">I", o) for o in offsets)
    return bytes(out) + b"\0" * 6 + bytes([4, 4]) + struct.pack(">QQQ", len(objects), top, table)


def element(kind, body):
    return kind + struct.pack(">I", len(body) + 8) + body


def argb_runs(side):
    """An ARGB body of `side`^2 pixels in the icns run-length code."""
    count, out = side * side * 4, bytearray(b"ARGB")
    while count:
        run = min(count, 130)
        out += bytes([0x80 + run - 3, 0x7F])
        count -= run
    return bytes(out)


def icns(elements, total=None):
    body = b"".join(elements)
    return b"icns" + struct.pack(">I", total or len(body) + 8) + body


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def text_bombs(count):
    """A 128-pixel PNG after `count` zTXt chunks, each 8 MB of text in 8 KB."""
    text = chunk(b"zTXt", b"k\0\0" + zlib.compress(bytes(7_900_000), 9))
    header = struct.pack(">IIBBBBB", 128, 128, 8, 0, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + text * count
            + chunk(b"IDAT", zlib.compress(bytes(129 * 128))) + chunk(b"IEND", b""))


def trailing_zeros(megabytes):
    """A one-pixel PNG whose deflate stream goes on for `megabytes` of zeros."""
    header = struct.pack(">IIBBBBB", 1, 1, 8, 0, 0, 0, 0)
    data = zlib.compress(bytes(megabytes << 20), 9)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", data) + chunk(b"IEND", b"")


def interlaced_claim(side):
    header = struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 1)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"\0" * 64))


def damaged_png(side):
    """A PNG of `side`^2 pixels whose data stops short of its last row."""
    header = struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 0)
    data = zlib.compress(b"\0" * ((side * 4 + 1) * (side - 1)), 9)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", data) + chunk(b"IEND", b"")


PNG_TYPES = [b"icp4", b"icp5", b"icp6", b"ic07", b"ic08", b"ic09", b"ic10", b"ic11", b"ic12", b"ic13", b"ic14"]


def bundles():
    good = icns([element(b"ic10", png(1024))])
    plain = XML_HEAD.encode() + b"</dict></plist>\n"
    argb = element(b"ic10", argb_runs(1024))
    yield "1024-pixel PNG (reference)", plain, good
    yield "XML plist 200000 deep (3 MB)", xml_plist(200000), good
    yield "XML plist 60000 deep", xml_plist(60000), good
    yield "XML plist of 140000 values (1 MB)", (XML_HEAD + "<key>A</key><array>" + "<true/>" * 140000
                                                 + "</array></dict></plist>").encode(), good
    yield "XML plist of 200000 entities (1 MB)", (XML_HEAD + "<key>A</key><string>" + "&amp;" * 200000
                                                  + "</string></dict></plist>").encode(), good
    yield "Info.plist linked to /proc/self/pagemap", "/proc/self/pagemap", good
    yield "binary plist 100000 deep (900 KB)", binary_plist([[i] for i in range(100000)]), good
    yield "binary plist, 4^12 shared references", binary_plist([[i] * 4 for i in range(12)]), good
    yield "binary plist, a 100 KB string used 2000 times", binary_plist([[0] * 2000], "x" * 100000), good
    yield "ARGB under ic10, 12.3 MiB", plain, icns([argb] * 195)
    yield "ARGB under ic10, 61.5 MiB", plain, icns([argb] * 975)
    yield "61.5 MiB of empty elements", plain, icns([element(b"ic04", b"")] * (61_500_000 // 8))
    yield "interlaced PNG claiming 4096^2 (100 bytes)", plain, icns([element(b"ic10", interlaced_claim(4096))])
    yield "PNG after 999 zTXt of 8 MB each (8 MB)", plain, icns([element(b"ic07", text_bombs(999))])
    yield "PNG with 2 GiB of zeros after its row (2 MB)", plain, icns([element(b"ic10", trailing_zeros(2048))])
    yield "11 damaged 2048^2 PNGs", plain, icns([element(t, damaged_png(2048)) for t in PNG_TYPES])
    yield "11 damaged 4096^2 PNGs", plain, icns([element(t, damaged_png(4096)) for t in PNG_TYPES])


def main():
    helper = sys.argv[1]
    with tempfile.TemporaryDirectory() as root:
        for name, plist, icon in bundles():
            bundle = os.path.join(root, "Hostile.app")
            os.makedirs(os.path.join(bundle, "Contents", "Resources"), exist_ok=True)
            info = os.path.join(bundle, "Contents", "Info.plist")
            if os.path.lexists(info):
                os.remove(info)
            if isinstance(plist, str):  # a link to a file of the system
                os.symlink(plist, info)
            else:
                with open(info, "wb") as f:
                    f.write(plist)
            with open(os.path.join(bundle, "Contents", "Resources", "AppIcon.icns"), "wb") as f:
                f.write(icon)
            run = subprocess.run(["/usr/bin/time", "-f", "%M %e", helper, bundle], capture_output=True)
            *errors, figures = run.stderr.decode(errors="replace").strip().split("\n")
            peak, seconds = figures.split()
            print(f"{name:45} status {run.returncode}  peak {int(peak) / 1024:5.1f} MiB  {float(seconds):5.2f} s"
                  + (f"  stderr: {errors[0][:60]}" if errors else ""))


if __name__ == "__main__":
    main()
