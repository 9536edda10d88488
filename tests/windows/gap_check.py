#!/usr/bin/env python3
"""Checks that a file the DLL plays under Wine reaches the sound server without silences.

Writes a 3-second 8000 Hz mono 16-bit WAV whose every sample is far from 0 (a ramp up from
2000, one step a sample, so each sample is unique), records the default sink's monitor with
parec at that same rate and format, plays the file with qwf_gap_player.exe under the given
Wine loader, and then looks for the ramp in the recording: every silence (a run of near-zero
samples longer than 2 ms) where one block ends and the next begins is a gap the player left,
and what is not silence must be the file's samples, each once and in order. The null sink of
scripts/with-pulse runs at the file's own rate, format and channels, so nothing on the way
resamples and the comparison is exact.

Usage: gap_check.py WINE_LOADER PLAYER_EXE
Run inside scripts/with-pulse (and an X server). Ends with "gaps: N passed, M failed".
"""
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time

RATE = 8000
BLOCK_SAMPLES = 2000
BLOCKS = 12
FIRST_VALUE = 2000
NEAR_ZERO = 256  # the ramp never comes this close to 0
LONGEST_DIP = RATE * 2 // 1000  # 2 ms: a run longer than this is a silence
END_QUIET_SECONDS = 1.0  # silence this long after the ramp ends the recording
TIMEOUT_SECONDS = 60.0

passed = 0
failed = 0


def check(ok, what, detail=""):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
    print(f"{'PASS' if ok else 'FAIL'}: {what}{'' if ok or not detail else ': ' + detail}")
    sys.stdout.flush()


def ramp():
    return [FIRST_VALUE + n for n in range(BLOCKS * BLOCK_SAMPLES)]


def wav_image(samples):
    data = struct.pack(f"<{len(samples)}h", *samples)
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(data), b"WAVE", b"fmt ", 16,
                         1, 1, RATE, RATE * 2, 2, 16, b"data", len(data))
    return header + data


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Recorder:
    """parec on a monitor, its samples gathered by a thread as they come."""

    def __init__(self, monitor):
        self.process = subprocess.Popen(
            ["parec", f"--device={monitor}", "--raw", "--format=s16le", f"--rate={RATE}",
             "--channels=1", "--latency-msec=20"],
            stdout=subprocess.PIPE)
        self.data = bytearray()
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            chunk = self.process.stdout.read1(4096)
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def samples(self):
        with self.lock:
            whole = len(self.data) // 2 * 2
            return struct.unpack(f"<{whole // 2}h", bytes(self.data[:whole]))

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.thread.join(timeout=5)


def signal_ended(samples):
    """True once the ramp has started and a second of silence has followed it."""
    quiet = 0
    for sample in reversed(samples):
        if abs(sample) >= NEAR_ZERO:
            return quiet >= END_QUIET_SECONDS * RATE
        quiet += 1
    return False


def silences(samples):
    """(start, length) of each run of near-zero samples longer than 2 ms."""
    runs = []
    start = None
    for i, sample in enumerate(list(samples) + [NEAR_ZERO]):
        if abs(sample) < NEAR_ZERO:
            if start is None:
                start = i
        elif start is not None:
            if i - start > LONGEST_DIP:
                runs.append((start, i - start))
            start = None
    return runs


def main():
    if len(sys.argv) != 3:
        print("usage: gap_check.py WINE_LOADER PLAYER_EXE", file=sys.stderr)
        return 2
    loader, player = sys.argv[1], sys.argv[2]
    sink = subprocess.run(["pactl", "get-default-sink"], capture_output=True, text=True,
                          check=True).stdout.strip()
    expected = ramp()
    with tempfile.TemporaryDirectory(prefix="qwf-gaps.") as work:
        wav = os.path.join(work, "ramp.wav")
        with open(wav, "wb") as out:
            out.write(wav_image(expected))

        recorder = Recorder(sink + ".monitor")
        started = time.monotonic()
        # The monitor carries the sink's silence from the start: the recording is live once
        # some of it has come.
        while len(recorder.samples()) < RATE // 10 and time.monotonic() - started < 10:
            time.sleep(0.02)
        play = subprocess.Popen([loader, player, windows_path(wav)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        played = time.monotonic()
        while time.monotonic() - played < TIMEOUT_SECONDS and play.poll() is None:
            time.sleep(0.25)
            if signal_ended(recorder.samples()):
                break
        waited = time.monotonic() - played
        recorder.stop()
        try:
            output, _ = play.communicate(b"\n", timeout=30)
        except subprocess.TimeoutExpired:
            play.kill()
            output, _ = play.communicate()
        output = output.decode(errors="replace").replace("\r", "")
        for line in output.splitlines():
            print(f"player: {line}")
        if play.returncode != 0:
            # Wine 8 may die as the process ends (see scripts/test-windows); what reached the
            # sink is the verdict here.
            print(f"note: the player exited with status {play.returncode}")
        recorded = recorder.samples()

    print(f"info: recorded {len(recorded) / RATE:.2f} s of {sink}.monitor; "
          f"waited {waited:.2f} s after starting the player")
    loud = [i for i in range(len(recorded)) if abs(recorded[i]) >= NEAR_ZERO]
    check(bool(loud), "the ramp played by the DLL reaches the sink's monitor",
          "the recording holds only silence")
    if not loud:
        return 1
    first, last = loud[0], loud[-1]
    span = recorded[first:last + 1]
    if not signal_ended(recorded):
        print(f"note: the recording was ended by the {TIMEOUT_SECONDS:.0f} s limit, not by "
              "silence after the ramp")

    gaps = silences(span)
    heard = [sample for sample in span if abs(sample) >= NEAR_ZERO]
    # A silence where one block ends and the next begins is the player running dry between
    # blocks; one inside a block, which the device already held whole, is the machine stalling
    # the audio system, and is only reported.
    between = []
    for start, length in gaps:
        before = sum(1 for sample in span[:start] if abs(sample) >= NEAR_ZERO)
        at_boundary = before % BLOCK_SAMPLES == 0
        where = (f"at block boundary {before // BLOCK_SAMPLES}" if at_boundary
                 else f"inside block {before // BLOCK_SAMPLES + 1}")
        print(f"info: silence of {length * 1000 / RATE:.1f} ms after file sample {before} "
              f"({where})")
        if at_boundary:
            between.append(length)
    lengths = ", ".join(f"{length * 1000 / RATE:.1f}" for length in between)
    check(not between, "the file plays with no silence longer than 2 ms between blocks",
          f"{len(between)} silences between blocks, of {lengths} ms, over "
          f"{(last + 1 - first) * 1000 / RATE:.0f} ms for {len(expected) * 1000 // RATE} ms "
          "of sound")

    mismatch = next((i for i in range(min(len(heard), len(expected)))
                     if heard[i] != expected[i]), None)
    if mismatch is not None:
        detail = (f"sample {mismatch} of the file arrived as {heard[mismatch]}, "
                  f"not {expected[mismatch]}")
    else:
        detail = f"{len(heard)} samples arrived, not {len(expected)}"
    check(mismatch is None and len(heard) == len(expected),
          "every sample of the file arrives once, in order, unchanged", detail)
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    status = main()
    print(f"gaps: {passed} passed, {failed} failed")
    sys.exit(status)
