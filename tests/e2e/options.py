#!/usr/bin/env python3
"""--help and --version print and exit 0 without creating any file; an
unknown argument is refused with status 2, also without any file."""
import os, subprocess, sys, tempfile

program = os.path.abspath(sys.argv[1])
failures = []
for args, status, want in ((["--help"], 0, "usage: morvenak"), (["--version"], 0, "morvenak "),
                           (["--bogus"], 2, "")):
    with tempfile.TemporaryDirectory() as work:
        p = subprocess.run([program] + args, cwd=work, capture_output=True, text=True, stdin=subprocess.DEVNULL)
        if p.returncode != status:
            failures.append("%s: status %d" % (args, p.returncode))
        if want and not p.stdout.startswith(want):
            failures.append("%s: stdout %r" % (args, p.stdout[:40]))
        if status and "unknown argument '--bogus'" not in p.stderr:
            failures.append("%s: stderr %r" % (args, p.stderr[:60]))
        if os.listdir(work):
            failures.append("%s: created %s" % (args, os.listdir(work)))
print("\n".join(failures) or "options: ok")
sys.exit(1 if failures else 0)
