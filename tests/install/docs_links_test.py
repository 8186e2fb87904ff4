"""The installed documentation reads as a whole: the build installed into a fresh
prefix, every link of every markdown page under share/doc/morvenak (images too) that
is not a web address must name a file of the installed copy, and a link to a heading
("#the-library", "user-guide.md#limits") a heading of that page. Code blocks and code
spans are not read for links.

usage: docs_links_test.py --build BUILD --cmake CMAKE"""

import argparse
import re
import subprocess
import sys
import tempfile
from pathlib import Path
from urllib.parse import unquote

LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
# The pages that the README links to and that must be installed with it.
PAGES = ["README.md", "user-guide.md", "messages.md", "performance.md", "python.md"]


def prose(text):
    """The text without its fenced code blocks and code spans."""
    text = re.sub(r"^(```|~~~).*?^\1[^\n]*$", "", text, flags=re.M | re.S)
    return re.sub(r"(`+).*?\1", "", text, flags=re.S)


def anchors(text):
    """The anchors of a page's headings, as the common markdown renderers make them."""
    found = set()
    for heading in re.findall(r"^#{1,6}\s+(.*?)\s*#*\s*$", prose(text), re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        found.add(slug)
    return found


def broken_links(page, root):
    """The links of page that do not resolve, with the reason, and how many it has."""
    text = page.read_text(encoding="utf-8")
    targets = LINK.findall(prose(text))
    broken = []
    for target in targets:
        if re.match(r"[a-z][a-z0-9+.-]*:", target):  # https:, mailto:
            continue
        path, _, fragment = target.partition("#")
        linked = (page.parent / unquote(path)).resolve() if path else page
        if root not in linked.parents and linked != root:
            broken.append(f"{target}: outside the installed documentation")
        elif not linked.is_file():
            broken.append(f"{target}: no such file")
        elif fragment and linked.suffix == ".md" and fragment not in anchors(linked.read_text(encoding="utf-8")):
            broken.append(f"{target}: no heading #{fragment} in {linked.name}")
    return broken, len(targets)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--cmake", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="morvenak-docs-") as prefix_name:
        prefix = Path(prefix_name).resolve()
        done = subprocess.run([args.cmake, "--install", str(args.build.resolve()), "--prefix", str(prefix)],
                              capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(f"cmake --install failed:\n{done.stdout}\n{done.stderr}")
        root = prefix / "share" / "doc" / "morvenak"
        pages = sorted(root.rglob("*.md"))
        missing = [name for name in PAGES if not list(root.rglob(name))]
        if missing:
            sys.exit(f"not installed under {root}: {', '.join(missing)}")
        failures, counted = [], {}
        for page in pages:
            broken, counted[str(page.relative_to(root))] = broken_links(page, root)
            failures += [f"{page.relative_to(root)}: {b}" for b in broken]
        # The README and the user guide link to other pages: a reader that finds no
        # links at all is broken itself.
        if counted.get("README.md", 0) < 5 or counted.get("user-guide.md", 0) < 3:
            sys.exit(f"too few links found: {counted}")
        print(f"{sum(counted.values())} links in {len(pages)} pages under {root}")
        if failures:
            sys.exit("links that do not resolve in the installed documentation:\n  " + "\n  ".join(failures))


if __name__ == "__main__":
    main()
