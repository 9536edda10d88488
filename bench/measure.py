#!/usr/bin/env python3
"""Measures the module and the quorvel host against sox, aplay and arecord, prints one table
and writes it to bench/results.md. Run by bench/run inside a private PulseAudio server
(scripts/with-pulse) after a release build; not meant to be run by itself.

Every ratio compares figures taken in this same run, on this same machine."""

import json
import math
import os
import re
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timezone
from pathlib import Path

import startup
from setting import commit, footprint, machine

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "release"
QUORVEL = BUILD / "quorvel"
MODULE_BENCH = BUILD / "bench" / "module_bench"
REALTIME_TEST = BUILD / "tests" / "device" / "device_realtime_test"
TRACE_OFFSET = BUILD / "bench" / "trace_offset"
SAMPLE = ROOT / "examples" / "sample.wav"

RATE = 8000
BLOCK_SAMPLES = 2000
BLOCK_MS = 1000.0 * BLOCK_SAMPLES / RATE
HANDLER_TARGET_US = 50.0
THROUGHPUT_TARGET = 10_000.0
PEER_TARGET_RATIO = 1.0  # no more than aplay and arecord on the same pcm
SOUND_BACKENDS = ("pulse", "alsa")
# The settings that put each backend on the pcm aplay and arecord use (-D pulse: ALSA's pulse
# plugin to the private server), so that both sides are paced by the same device.
BACKEND_SETTINGS = {"pulse": "pulse", "alsa": "alsa,realtime,device=pulse"}
OFFSET_TARGET_MS = 15.0
TIMED_RUNS = 3  # fast runs are repeated and their median kept
PEER_ROUNDS = 3  # minute-long runs against aplay and arecord, each figure their median


class Run:
    """One child process under GNU time: wall time, CPU time (user + system), peak resident
    memory and voluntary context switches (each a wake-up after waiting). (A child forked from
    this script would report the script's own memory as its peak.) The CPU time is the
    kernel's own to the microsecond, from the rusage of time and the child it waited for:
    time's report rounds it to hundredths of a second, a sizeable part of a minute's cost."""

    def __init__(self, command, output_file, env=None):
        report = Path(str(output_file) + ".time")
        timed = ["/usr/bin/time", "-q", "-f", "%e %U %S %M %w", "-o", report] + list(command)
        started = time.monotonic()
        with open(output_file, "wb") as out:
            child = subprocess.Popen(timed, stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=subprocess.STDOUT, env=env)
            _, status, usage = os.wait4(child.pid, 0)
            child.returncode = os.waitstatus_to_exitcode(status)
        self.status = child.returncode
        self.output = Path(output_file).read_text(errors="replace")
        if self.status != 0:
            raise SystemExit(f"bench: {' '.join(map(str, command))} failed with status "
                             f"{self.status}:\n{self.output}")
        self.wall = time.monotonic() - started  # finer than time's own hundredths
        _, _, _, peak, switches = report.read_text().split()[-5:]
        self.cpu = usage.ru_utime + usage.ru_stime
        self.peak_kib = int(peak)
        self.switches = int(switches)


class Median:
    """The median of each figure over several runs of one command."""

    def __init__(self, runs):
        self.cpu = statistics.median(run.cpu for run in runs)
        self.switches = round(statistics.median(run.switches for run in runs))
        self.peak_kib = round(statistics.median(run.peak_kib for run in runs))
        self.count = len(runs)


def sample_data():
    data = SAMPLE.read_bytes()[44:]
    return data[: len(data) - len(data) % 2]


def write_wav(path, seconds):
    """An 8000 Hz mono 16-bit file of the example audio repeated for `seconds` seconds."""
    pattern = sample_data()
    size = seconds * RATE * 2
    header = (b"RIFF" + struct.pack("<I", 36 + size) + b"WAVEfmt " +
              struct.pack("<IHHIIHH", 16, 1, 1, RATE, RATE * 2, 2, 16) + b"data" +
              struct.pack("<I", size))
    with open(path, "wb") as out:
        out.write(header)
        left = size
        while left > 0:
            piece = pattern[:left]
            out.write(piece)
            left -= len(piece)


def raise_sound_server():
    """Puts the private PulseAudio server (our sibling under with-pulse) in the real-time class
    where the system allows, as the test stage does, so a busy machine cannot starve it."""
    listing = subprocess.run(["ps", "-o", "pid=,comm=", "--ppid", str(os.getppid())],
                             capture_output=True, text=True, check=False).stdout
    for line in listing.splitlines():
        pid, _, name = line.strip().partition(" ")
        if name.strip() == "pulseaudio":
            subprocess.run(["chrt", "-a", "-r", "-p", "5", pid], capture_output=True,
                           check=False)


def block_costs():
    command = [str(MODULE_BENCH), "--benchmark_format=json", "--benchmark_repetitions=5",
               "--benchmark_report_aggregates_only=true"]
    report = json.loads(subprocess.run(command, capture_output=True, text=True,
                                       check=True).stdout)
    medians = {}
    for entry in report["benchmarks"]:
        if entry.get("aggregate_name") != "median":
            continue
        name = entry["run_name"]
        # Handlers carry the median of their blocks as a counter; the others are timed per call.
        nanoseconds = entry.get("median_ns", entry["real_time"])
        medians[name] = nanoseconds / 1000.0
    return medians, report["context"]


def throughput(directory):
    hour = directory / "hour.wav"
    write_wav(hour, 3600)
    recorded = directory / "hour-recorded.wav"
    plays, records, soxes = [], [], []
    for _ in range(TIMED_RUNS):
        plays.append(Run([QUORVEL, "play", hour, "--fast", "--output", "null", "--view", "none"],
                         directory / "play.out").wall)
        # The example audio as the microphone: the same sound the hour of playback holds.
        records.append(Run([QUORVEL, "record", recorded, "--fast", "--seconds", "3600",
                            "--input", f"file:{SAMPLE}", "--view", "none"],
                           directory / "record.out").wall)
        soxes.append(Run(["sox", hour, "-n"], directory / "sox.out").wall)
    hour_bytes = hour.stat().st_size
    recorded_bytes = recorded.stat().st_size
    hour.unlink()
    recorded.unlink()
    if recorded_bytes != 44 + 3600 * RATE * 2:
        raise SystemExit(f"bench: the fast recording holds {recorded_bytes} bytes, "
                         f"not {44 + 3600 * RATE * 2}")
    return {
        "play": 3600 / statistics.median(plays),
        "record": 3600 / statistics.median(records),
        "sox": 3600 / statistics.median(soxes),
        "bytes": hour_bytes,
    }


def real_time(backend):
    """The minute of playback and of capture from the real-time test program on one sound
    backend; it prints its figures whether or not the machine kept time well enough for it to
    judge them."""
    result = subprocess.run([REALTIME_TEST, f"--gtest_filter=*/{backend}"], capture_output=True,
                            text=True, check=False)
    text = result.stdout
    playback = re.search(
        r"Playback \(\w+\): ([\d.]+) s; done messages every ([\d.]+) ms \(min ([\d.]+), max ([\d.]+), "
        r"sd ([\d.]+), median ([\d.]+)\), (\d+) of (\d+) spacings off by more than 4%; (\d+) done "
        r"before their block was heard; (\d+) underrun frames, (\d+) idle frames; at the sink: "
        r"(.*); longest machine stall ([\d.]+) ms", text)
    capture = re.search(r"Capture \(\w+\): (\d+) blocks, (\d+) frames captured, (\d+) dropped; "
                        r"longest machine stall ([\d.]+) ms", text)
    if playback is None or capture is None:
        raise SystemExit("bench: the real-time test printed no figures:\n" + text + result.stderr)
    return {
        "done_mean": float(playback[2]), "done_min": float(playback[3]),
        "done_max": float(playback[4]), "done_sd": float(playback[5]),
        "done_median": float(playback[6]), "off_pace": int(playback[7]),
        "spacings": int(playback[8]), "done_early": int(playback[9]),
        "underrun": int(playback[10]), "at_sink": playback[12],
        "play_stall": float(playback[13]),
        "capture_blocks": int(capture[1]), "dropped": int(capture[3]),
        "capture_stall": float(capture[4]),
        "skipped": "[  SKIPPED ]" in text,
    }


def trace_offsets(backend):
    """When each block's trace shows against when it is heard, playback and capture. A run in
    which no block was both seen and heard is tried again, twice at most."""
    figures = {}
    for verb in ("play", "record"):
        for _ in range(3):
            result = subprocess.run([TRACE_OFFSET, verb, backend], capture_output=True,
                                    text=True, check=False)
            found = dict(re.findall(r"(\w+)=([^\s]+)", result.stdout))
            if "blocks" in found:
                break
        if "blocks" not in found:
            # Reported as not measured (nan, 0 blocks), and judged not met where judged.
            print(f"bench: trace_offset {verb} {backend} matched no block in three runs:\n"
                  + result.stdout + result.stderr, file=sys.stderr, flush=True)
            found["blocks"] = "0"
        figures[verb] = {key.replace("_ms", ""): value if key == "backend"
                         else int(value) if key == "blocks" else float(value)
                         for key, value in found.items()}
    return figures


def peers(directory):
    """Minutes of real-time playback and of capture on the private server's null sink, by
    quorvel on each sound backend and by aplay / arecord. The commands take turns, round after
    round, so a slow spell of the machine falls on all of them; each figure is the median."""
    minute = directory / "minute.wav"
    write_wav(minute, 60)
    commands = {
        "aplay": (["aplay", "-q", "-D", "pulse", minute], None),
        "arecord": (["arecord", "-q", "-D", "pulse", "-f", "S16_LE", "-r", str(RATE), "-c",
                     "1", "-d", "60", directory / "a.wav"], None),
    }
    for backend in SOUND_BACKENDS:
        # The sound device by name: no falling back to the virtual one unnoticed.
        setting = BACKEND_SETTINGS[backend]
        sound = dict(os.environ, QUORVEL_OUTPUT=setting, QUORVEL_INPUT=setting)
        commands[("play", backend)] = ([QUORVEL, "play", minute, "--view", "none"], sound)
        commands[("record", backend)] = (
            [QUORVEL, "record", directory / "q.wav", "--seconds", "60", "--view", "none"], sound)
    runs = {key: [] for key in commands}
    for _ in range(PEER_ROUNDS):
        for key, (command, env) in commands.items():
            runs[key].append(Run(command, directory / "peer.out", env))
    return {key: Median(taken) for key, taken in runs.items()}


def met(condition):
    return "yes" if condition else "**no**"


def main():
    started = datetime.now(timezone.utc)
    where = machine()
    raise_sound_server()
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as folder:
        directory = Path(folder)
        print("bench: cost per block ...", file=sys.stderr, flush=True)
        costs, _ = block_costs()
        print("bench: throughput of a one-hour file ...", file=sys.stderr, flush=True)
        speed = throughput(directory)
        print("bench: a minute of real-time playback and capture ...", file=sys.stderr,
              flush=True)
        timings = {backend: real_time(backend) for backend in SOUND_BACKENDS}
        print("bench: the trace against the sound ...", file=sys.stderr, flush=True)
        offsets = {backend: trace_offsets(backend) for backend in SOUND_BACKENDS}
        print(f"bench: quorvel on each sound backend, aplay and arecord, {PEER_ROUNDS} minutes "
              "each ...", file=sys.stderr, flush=True)
        runs = peers(directory)
        print("bench: peak memory and first sound against aplay and paplay ...",
              file=sys.stderr, flush=True)
        starts = startup.measure(directory, Run, os.environ)
    sections = footprint()

    rows = []

    def row(measure, ours, peer="", ratio="", target="", verdict=""):
        rows.append((measure, ours, peer, ratio, target, verdict))

    def us(value):
        return f"{value:.1f} µs"

    def share(value):
        return f"{value / (BLOCK_MS * 1000) * 100:.4f}% of a block"

    row("BuildTrace, one block", us(costs["BM_BuildTrace"]))
    row("Draw (panel fill + polyline), example audio", us(costs["BM_Draw/noise:0"]))
    row("Draw, full-scale noise (worst case)", us(costs["BM_Draw/noise:1"]))
    for name, label, judged in (
            ("BM_PlaybackHandler/noise:0/iterations:3000/manual_time",
             "Playback handler, median block, example audio", True),
            ("BM_RecordingHandler/iterations:3000/manual_time",
             "Recording handler, median block, example audio", True),
            ("BM_PlaybackHandler/noise:1/iterations:3000/manual_time",
             "Playback handler, median block, full-scale noise (worst case)", False)):
        value = costs[name]
        row(label, f"{us(value)} ({share(value)})", "", "",
            f"< {HANDLER_TARGET_US:.0f} µs" if judged else "",
            met(value < HANDLER_TARGET_US) if judged else "")
    for kind in ("play", "record"):
        row(f"Fast {'playback' if kind == 'play' else 'recording'} of a one-hour file",
            f"{speed[kind]:,.0f}× real time", f"sox FILE -n: {speed['sox']:,.0f}×",
            f"{speed[kind] / speed['sox']:.2f}", f"≥ {THROUGHPUT_TARGET:,.0f}×",
            met(speed[kind] >= THROUGHPUT_TARGET))
    for backend, timing in timings.items():
        gap_free = timing["at_sink"] == "every sample, no gap"
        row(f"60 s playback ({backend}): gaps at the sink's monitor",
            "0" if gap_free else timing["at_sink"], "", "", "0", met(gap_free))
        row(f"60 s playback ({backend}): padded (underrun) frames", str(timing["underrun"]), "",
            "", "0", met(timing["underrun"] == 0))
        row(f"60 s playback ({backend}): done-message spacing",
            f"{timing['done_mean']:.2f} ms, median {timing['done_median']:.2f}, "
            f"sd {timing['done_sd']:.2f} (min {timing['done_min']:.1f}, "
            f"max {timing['done_max']:.1f}); {timing['off_pace']} of {timing['spacings']} "
            f"off by > 4%", "", "", f"within 4% of {BLOCK_MS:.0f} ms",
            met(timing["off_pace"] == 0))
        row(f"60 s playback ({backend}): done messages before their block was heard",
            str(timing["done_early"]), "", "", "0", met(timing["done_early"] == 0))
        row(f"60 s capture ({backend}): frames dropped", str(timing["dropped"]), "", "", "0",
            met(timing["dropped"] == 0))
    for backend, offset in offsets.items():
        row(f"Trace to sound, playback ({backend}), presented screen: median, worst of "
            f"{offset['play']['blocks']} blocks",
            f"{offset['play']['median']:+.1f} ms, {offset['play']['worst']:+.1f} ms",
            f"as drawn: {offset['play'].get('drawn_median', math.nan):+.1f} ms, "
            f"{offset['play'].get('drawn_worst', math.nan):+.1f} ms", "",
            f"within ±{OFFSET_TARGET_MS:.0f} ms",
            met(max(abs(offset['play']['median']), abs(offset['play']['worst']))
                <= OFFSET_TARGET_MS))
        row(f"Sound to trace, capture ({backend}), from a block's last sample: median, "
            f"worst of {offset['record']['blocks']} blocks",
            f"{offset['record']['median']:+.1f} ms, {offset['record']['worst']:+.1f} ms")
    pairs = [((verb, backend), peer) for backend in SOUND_BACKENDS
             for verb, peer in (("play", "aplay"), ("record", "arecord"))]
    for ours, peer in pairs:
        label = f"`quorvel {ours[0]}` ({ours[1]})"
        target = PEER_TARGET_RATIO
        ratio = runs[ours].cpu / runs[peer].cpu
        row(f"CPU per minute of audio, {label}, median of {runs[ours].count}",
            f"{runs[ours].cpu:.3f} s", f"{peer}: {runs[peer].cpu:.3f} s", f"{ratio:.2f}",
            f"≤ {target}×",
            met(ratio <= target))
        ratio = runs[ours].switches / runs[peer].switches
        row(f"Voluntary context switches per minute of audio, {label}",
            f"{runs[ours].switches:,}", f"{peer}: {runs[peer].switches:,}", f"{ratio:.2f}",
            f"≤ {target}×", met(ratio <= target))
    for ours, peer in pairs:
        label = f"`quorvel {ours[0]}` ({ours[1]})"
        row(f"Peak resident memory, {label}", f"{runs[ours].peak_kib / 1024:.1f} MiB",
            f"{peer}: {runs[peer].peak_kib / 1024:.1f} MiB",
            f"{runs[ours].peak_kib / runs[peer].peak_kib:.2f}")
    startup.add_rows(row, met, starts)
    row("Module static footprint (libQuorvelWaveForm.so)",
        f".data {sections.get('.data', 0):,} B, .bss {sections.get('.bss', 0):,} B "
        f"(.data.rel.ro {sections.get('.data.rel.ro', 0):,} B)")

    header = ("Measure", "QuorvelWaveForm", "Peer", "Ratio", "Target", "Met")
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(cells) + " |" for cells in rows]
    notes = [
        f"Machine: {where}.",
        f"Date: {started.strftime('%Y-%m-%d %H:%M UTC')}. Commit: {commit()}.",
        "Build: release preset (RelWithDebInfo, -O2). Cost per block: Google Benchmark, median "
        "of 5 repetitions; each handler repetition times 3,000 blocks on the device's own "
        "thread, one block let through the gate at a time. Fast runs: median of "
        f"{TIMED_RUNS}. Real time: a private PulseAudio server (scripts/with-pulse), null sink "
        "at 8000 Hz mono s16 (no rewinds, so its monitor passes on 50 ms at a time); one "
        f"minute each, and against aplay and arecord the median of {PEER_ROUNDS} rounds taken "
        "in turn, CPU time to the microsecond.",
    ]
    notes.append(startup.NOTE)
    for backend, timing in timings.items():
        if timing["skipped"]:
            notes.append(f"The machine itself stalled during the real-time minute ({backend}; "
                         "longest stall "
                         f"{max(timing['play_stall'], timing['capture_stall']):.0f} ms), so its "
                         "figures may show the stall rather than the code.")
    notes.append("Trace to sound: bench/trace_offset plays 24 blocks of distinct constant levels "
                 "and sets the time each block's trace appears (polled every millisecond) "
                 "against the time its first sample reaches the sink's monitor (parec-like "
                 "capture with its reported latency); positive means the trace comes after "
                 "the sound. Blocks 2 to 22 are judged. Capture: the sound is played into "
                 "the sink once the capture delivers, and since a block is drawn only once it "
                 "is whole, its lag is taken from the block's last sample reaching the monitor "
                 "(the block's first sample waits a block's length, 250 ms, more).")
    table = "\n".join(lines)
    print(table)
    print()
    print("\n".join(notes))
    # Sections other benchmarks keep in the file (from its first "## " heading on) stay.
    results = ROOT / "bench" / "results.md"
    kept = ""
    if results.exists():
        earlier = results.read_text()
        if "\n## " in earlier:
            kept = "\n" + earlier[earlier.index("\n## ") + 1:]
    results.write_text("# Benchmark results\n\nMade by `bench/run`.\n\n" + "\n\n".join(notes)
                       + "\n\n" + table + "\n" + kept)


if __name__ == "__main__":
    main()
