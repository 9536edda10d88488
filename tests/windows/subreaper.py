#!/usr/bin/env python3
"""Runs a command as a child subreaper, so the processes it leaves behind (Wine's server and
services, Xvfb) are adopted and reaped here rather than by PID 1, which in some containers
never reaps. When the command ends, adopted processes get a few seconds to finish, then are
stopped by their process ids.

Usage: subreaper.py CMD ARGS...   Exits with CMD's status.
"""

import ctypes
import os
import signal
import subprocess
import sys
import time

PR_SET_CHILD_SUBREAPER = 36
GRACE_SECONDS = 10


def children():
    """Process ids whose parent is this process."""
    mine = os.getpid()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == mine and fields[0] != "Z":
            found.append(int(entry))
    return found


def reap_all():
    """Reaps every child that has ended; False once there are no children at all."""
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return False
        if pid == 0:
            return True


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        print("subreaper.py: prctl(PR_SET_CHILD_SUBREAPER) failed; leftovers go to PID 1.",
              file=sys.stderr)
    command = subprocess.Popen(sys.argv[1:])
    status = command.wait()

    deadline = time.monotonic() + GRACE_SECONDS
    while reap_all():
        if time.monotonic() > deadline:
            for pid in children():
                os.kill(pid, signal.SIGKILL)
            deadline = time.monotonic() + GRACE_SECONDS
        time.sleep(0.1)
    return status if status >= 0 else 128 - status


if __name__ == "__main__":
    sys.exit(main())
