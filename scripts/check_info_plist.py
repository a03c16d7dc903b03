#!/usr/bin/python3
"""Checks a helper's Info.plist: a valid property list whose named keys hold non-empty strings.

usage: check_info_plist.py PLIST KEY...
"""
import plistlib
import sys

with open(sys.argv[1], "rb") as f:
    plist = plistlib.load(f)
missing = [key for key in sys.argv[2:] if not isinstance(plist.get(key), str) or not plist[key].strip()]
if missing:
    sys.exit(f"{sys.argv[1]}: missing or empty: {', '.join(missing)}")
print(f"{sys.argv[1]}: " + ", ".join(f"{key}={plist[key]!r}" for key in sys.argv[2:]))
