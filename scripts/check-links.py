#!/usr/bin/env python3
"""Every link of the project's Markdown pages resolves: a relative link
names a file or folder that exists (build/ ones once the build made them),
and a #fragment names a heading of its page, as GitHub makes the anchors.
Usage: check-links.py [ROOT]; prints each broken link, exit status 1 if any."""
import pathlib
import re
import subprocess
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else '.').resolve()
link = re.compile(r'!?\[[^\]]*\]\(([^)\s]+)\)')


def anchors(page):
    text = re.sub(r'^```.*?^```', '', page.read_text(), flags=re.M | re.S)
    found = set()
    for heading in re.findall(r'^#+\s+(.*)$', text, flags=re.M):
        slug = re.sub(r'[^\w\- ]', '', heading.strip().lower()).replace(' ', '-')
        found.add(slug)
    return found


pages = subprocess.run(['git', '-C', str(root), 'ls-files', '--cached', '--others',
                        '--exclude-standard', '*.md'],
                       capture_output=True, text=True, check=True).stdout.split()
broken = 0
checked = 0
for name in pages:
    page = root / name
    text = re.sub(r'^```.*?^```', '', page.read_text(), flags=re.M | re.S)
    for target in link.findall(text):
        if re.match(r'[a-z]+:', target):
            continue
        path, _, fragment = target.partition('#')
        dest = (page.parent / path).resolve() if path else page
        checked += 1
        if not dest.exists():
            print(f'{name}: {target}: no such file')
            broken += 1
        elif fragment and dest.suffix == '.md' and fragment not in anchors(dest):
            print(f'{name}: {target}: no such heading')
            broken += 1
print(f'links: {checked} checked in {len(pages)} pages, {broken} broken')
sys.exit(1 if broken else 0)
