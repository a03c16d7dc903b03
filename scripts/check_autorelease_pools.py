#!/usr/bin/python3
"""Checks that every Objective-C callback of the darwin layers drains its own autorelease pool.

The helpers run a bare run loop with no AppKit event loop around it, so
nothing drains the pool that objects autoreleased in a delegate callback or
a timer tick land in: each `- (void)` method of an @implementation must
begin with `@autoreleasepool {`.

usage: check_autorelease_pools.py FILE.mm...
"""
import re
import sys

METHOD = re.compile(r'^- \(void\)[^{;]*\{', re.MULTILINE | re.DOTALL)

failures = []
for path in sys.argv[1:]:
    text = open(path, encoding='utf-8').read()
    for block in re.findall(r'@implementation.*?@end', text, re.DOTALL):
        for method in METHOD.finditer(block):
            body = block[method.end():].lstrip()
            if not body.startswith('@autoreleasepool'):
                name = ' '.join(method.group(0).split())[:80]
                failures.append(f'{path}: {name}')
if failures:
    sys.exit('callbacks without their own autorelease pool:\n  ' + '\n  '.join(failures))
print(f'{len(sys.argv) - 1} files: every callback drains its own autorelease pool')
