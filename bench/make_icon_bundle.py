#!/usr/bin/python3
"""Makes an application bundle whose icon is a 1024-pixel PNG in an .icns file.

usage: make_icon_bundle.py PATH.app
"""
import math
import os
import struct
import sys
import zlib


def png(size):
    rows = bytearray()
    for y in range(size):
        rows.append(0)
        for x in range(size):
            inside = math.hypot(x - size / 2, y - size / 2) < size * 0.45
            rows += bytes((x * 255 // size, y * 255 // size, 160, 255 if inside else 0))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + chunk(b"IEND", b"")


def write_bundle(bundle):
    os.makedirs(os.path.join(bundle, "Contents", "Resources"), exist_ok=True)
    with open(os.path.join(bundle, "Contents", "Info.plist"), "w") as plist:
        plist.write('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
                    '<key>CFBundleIconFile</key><string>AppIcon</string></dict></plist>\n')
    image = png(1024)
    element = b"ic10" + struct.pack(">I", len(image) + 8) + image
    with open(os.path.join(bundle, "Contents", "Resources", "AppIcon.icns"), "wb") as icns:
        icns.write(b"icns" + struct.pack(">I", len(element) + 8) + element)


if __name__ == "__main__":
    write_bundle(sys.argv[1])
