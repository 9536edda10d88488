"""What bench/measure.py reports beside its figures: the machine, the commit measured and the
module's static footprint."""

import os
import platform
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULE = ROOT / "build" / "release" / "libQuorvelWaveForm.so"


def footprint():
    sections = {}
    listing = subprocess.run(["size", "-A", MODULE], capture_output=True, text=True,
                             check=True).stdout
    for line in listing.splitlines():
        fields = line.split()
        if len(fields) >= 2 and fields[0] in (".data", ".bss", ".data.rel.ro", ".tbss"):
            sections[fields[0]] = int(fields[1])
    return sections


def machine():
    model = "unknown CPU"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    memory_kib = 0
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal"):
            memory_kib = int(line.split()[1])
    release = platform.freedesktop_os_release().get("PRETTY_NAME", "Linux")
    return (f"{model}, {os.cpu_count()} cores, {memory_kib / 1048576:.0f} GiB; {release}, "
            f"kernel {platform.release()}; load average at start "
            f"{os.getloadavg()[0]:.2f}")


def commit():
    head = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short=12", "HEAD"],
                          capture_output=True, text=True, check=False).stdout.strip()
    dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True, check=False).stdout.strip()
    return head + (" (with uncommitted changes)" if dirty else "")
