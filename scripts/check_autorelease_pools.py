#!/usr/bin/python3
"""Checks that every entry into Objective-C code of the darwin layers drains its own autorelease pool.

The helpers run a bare run loop with no AppKit event loop around it, or no
run loop at all, so nothing drains the pool that autoreleased objects land
in unless the code entered does it:
- each `- (void)` method of an @implementation (a delegate callback or a
  timer tick) must begin with `@autoreleasepool {`;
- each C++ member function marked `override` (the platform interface the
  portable code calls, from main as well as from the run loop) that sends an
  Objective-C message or reads a class property (`[object message]`,
  `NSWorkspace.sharedWorkspace`) must begin with `@autoreleasepool {`;
- each block passed to a framework (`^(...) {`) must begin with one.

usage: check_autorelease_pools.py FILE.mm...
"""
import re
import sys

METHOD = re.compile(r'^- \(void\)[^{;]*\{', re.MULTILINE | re.DOTALL)
OVERRIDE = re.compile(r'\)\s*(?:const\s*)?override\s*\{')
BLOCK = re.compile(r'\^\s*\([^)]*\)\s*\{')
OBJC = re.compile(r'\[\s*[A-Za-z_][\w.]*\s+[A-Za-z_]\w*\s*[\]:]|\b[A-Z]{2}[A-Za-z]+\.[a-z]\w*')


def body(text, start):
    """The text of the braced body whose opening brace ends at `start`."""
    depth = 1
    for at in range(start, len(text)):
        depth += {'{': 1, '}': -1}.get(text[at], 0)
        if depth == 0:
            return text[start:at]
    return text[start:]


def pooled(code):
    return code.lstrip().startswith('@autoreleasepool')


failures = []
for path in sys.argv[1:]:
    text = open(path, encoding='utf-8').read()
    for block in re.findall(r'@implementation.*?@end', text, re.DOTALL):
        for method in METHOD.finditer(block):
            if not pooled(block[method.end():]):
                failures.append(f'{path}: {" ".join(method.group(0).split())[:80]}')
    for pattern, kind in ((OVERRIDE, 'override'), (BLOCK, 'block')):
        for match in pattern.finditer(text):
            code = body(text, match.end())
            if kind == 'override' and not OBJC.search(code):
                continue
            if not pooled(code):
                line = text.count('\n', 0, match.start()) + 1
                failures.append(f'{path}:{line}: {kind} {text.splitlines()[line - 1].strip()[:70]}')
if failures:
    sys.exit('entries into Objective-C without their own autorelease pool:\n  ' + '\n  '.join(failures))
print(f'{len(sys.argv) - 1} files: every entry into Objective-C drains its own autorelease pool')
