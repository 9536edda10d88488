"""Peak memory and time to first sound of `quorvel play`, `aplay -D pulse` and `paplay` on the
same canonical 16-bit WAV, loud from its first sample, on the private PulseAudio server. The
players take turns, round after round; each figure is the median of the rounds.

bench/measure.py adds these rows to its table; run alone (after a release build), inside
scripts/with-pulse, it prints them: scripts/with-pulse python3 bench/startup.py"""

import statistics
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "release"
FIRST_SOUND = BUILD / "bench" / "first_sound"
RATE = 8000
ROUNDS = 9
MEMORY_TARGET = 1.0  # against the lighter of aplay and paplay
FIRST_SOUND_TARGET = 1.1  # against the quicker


def write_loud_wav(path, seconds=1):
    """A square wave at 500 Hz, half of full scale from the first sample on."""
    samples = [16000 if (i // 8) % 2 == 0 else -16000 for i in range(seconds * RATE)]
    data = struct.pack(f"<{len(samples)}h", *samples)
    with open(path, "wb") as out:
        out.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
                  struct.pack("<IHHIIHH", 16, 1, 1, RATE, RATE * 2, 2, 16) + b"data" +
                  struct.pack("<I", len(data)) + data)


def players(wav):
    # quorvel on the sound server by name, so a fall back to the virtual device cannot pass.
    return {
        "quorvel": ([BUILD / "quorvel", "play", wav, "--view", "none"],
                    {"QUORVEL_OUTPUT": "pulse"}),
        "aplay": (["aplay", "-q", "-D", "pulse", wav], {}),
        "paplay": (["paplay", wav], {}),
    }


def first_sound_ms(command, env):
    result = subprocess.run([FIRST_SOUND] + [str(part) for part in command], env=env,
                            capture_output=True, text=True, check=False)
    if result.returncode != 0 or "first_sound_ms=" not in result.stdout:
        raise SystemExit(f"bench: first_sound {' '.join(map(str, command))} failed:\n"
                         + result.stdout + result.stderr)
    return float(result.stdout.split("first_sound_ms=")[1].split()[0])


def measure(directory, run_class, environment):
    """{player: (peak KiB, first sound ms)}, medians of ROUNDS rounds."""
    wav = directory / "loud.wav"
    write_loud_wav(wav)
    taken = {name: ([], []) for name in players(wav)}
    for _ in range(ROUNDS):
        for name, (command, extra) in players(wav).items():
            env = dict(environment, **extra)
            peaks, firsts = taken[name]
            peaks.append(run_class(command, directory / "startup.out", env).peak_kib)
            firsts.append(first_sound_ms(command, env))
    return {name: (statistics.median(peaks), statistics.median(firsts))
            for name, (peaks, firsts) in taken.items()}


def add_rows(row, met, figures):
    """The two rows, through measure.py's row(measure, ours, peer, ratio, target, verdict)."""
    peak, first = figures["quorvel"]
    lighter = min(("aplay", "paplay"), key=lambda name: figures[name][0])
    quicker = min(("aplay", "paplay"), key=lambda name: figures[name][1])
    ratio = peak / figures[lighter][0]
    row(f"Peak resident memory, `quorvel play` of a canonical WAV (pulse), median of {ROUNDS}",
        f"{peak / 1024:.1f} MiB",
        ", ".join(f"{name}: {figures[name][0] / 1024:.1f} MiB" for name in ("aplay", "paplay")),
        f"{ratio:.2f}", f"≤ {MEMORY_TARGET}× {lighter}", met(ratio <= MEMORY_TARGET))
    ratio = first / figures[quicker][1]
    row(f"Time to first sound at the sink's monitor, `quorvel play` (pulse), median of {ROUNDS}",
        f"{first:.1f} ms",
        ", ".join(f"{name}: {figures[name][1]:.1f} ms" for name in ("aplay", "paplay")),
        f"{ratio:.2f}", f"≤ {FIRST_SOUND_TARGET}× {quicker}", met(ratio <= FIRST_SOUND_TARGET))


NOTE = ("Peak memory and first sound: a one-second 8000 Hz mono 16-bit WAV, loud from its first "
        "sample; quorvel with --view none, aplay -D pulse, paplay, in turn for "
        f"{ROUNDS} rounds. Peak memory from GNU time; first sound is bench/first_sound's time "
        "from starting the player to reading its first loud sample at the sink's monitor (the "
        "monitor's own 5 ms or so included, the same for all three).")


def main():
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import measure as bench  # pylint: disable=import-outside-toplevel

    rows = []
    with tempfile.TemporaryDirectory(prefix="quorvel-startup-") as folder:
        figures = measure(Path(folder), bench.Run, dict(bench.os.environ))
    add_rows(lambda *cells: rows.append(cells), bench.met, figures)
    for cells in rows:
        print("| " + " | ".join(cells) + " |")
    print(NOTE)


if __name__ == "__main__":
    main()
