#!/usr/bin/env python3
"""measure.py [--in FILE] CMD...: runs CMD (stdin from FILE, stdout and
stderr discarded) and prints 'SECONDS MAXRSS_KB' of that one child."""
import os
import resource
import subprocess
import sys
import time

args = sys.argv[1:]
stdin = subprocess.DEVNULL
if args[:1] == ["--in"]:
    stdin = open(args[1], "rb")
    args = args[2:]
# The peak memory comes from GNU time when it is there: a child forked from
# this interpreter would count the interpreter's own pages.
gnu_time = "/usr/bin/time"
use_time = os.access(gnu_time, os.X_OK)
report = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"measure.{os.getpid()}")
cmd = [gnu_time, "-f", "%M", "-o", report] + args if use_time else args
start = time.perf_counter()
proc = subprocess.Popen(cmd, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
_, status, usage = os.wait4(proc.pid, 0)
elapsed = time.perf_counter() - start
code = os.waitstatus_to_exitcode(status)
if code != 0:
    sys.stderr.write(f"measure: {args[0]} ended with status {code}\n")
    sys.exit(1)
rss = usage.ru_maxrss
if use_time:
    with open(report) as f:
        rss = int(f.read().split()[-1])
    os.unlink(report)
print(f"{elapsed:.4f} {rss}")
