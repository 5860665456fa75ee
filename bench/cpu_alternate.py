#!/usr/bin/env python3
"""CPU of bvplay builds against mpg123, runs alternated in one sitting.

The machine's speed drifts within minutes, so builds are compared run by run rather
than sitting by sitting: each round plays the URL once with every bvplay given and once
with mpg123, and the CPU of each process (user + system, all threads, from wait4) is
reported per run, as medians and as ratios to mpg123's median.

    bench/cpu_alternate.py [--runs N] [--seconds S] [--url URL] BVPLAY...

Run it beside the reference bench (source ../shared/bench/common.sh for PULSE_SERVER).
"""
import argparse
import os
import statistics
import subprocess
import time

MP3_FRAMES_PER_SECOND = 44100 / 1152


def cpu_ms(argv):
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    if status != 0:
        raise SystemExit(f"{argv[0]} failed with status {status}")
    return (usage.ru_utime + usage.ru_stime) * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--url", default="http://127.0.0.1:8000/mp3")
    parser.add_argument("bvplay", nargs="+", help="bvplay binaries to compare")
    args = parser.parse_args()

    players = {path: [path, "--duration", str(args.seconds), args.url] for path in args.bvplay}
    frames = str(round(args.seconds * MP3_FRAMES_PER_SECOND))
    players["mpg123"] = ["mpg123", "-q", "-o", "pulse", "-n", frames, args.url]
    runs = {name: [] for name in players}
    for _ in range(args.runs):
        for name, argv in players.items():
            runs[name].append(cpu_ms(argv))
            time.sleep(0.5)  # the sink's input is gone before the next start

    reference = statistics.median(runs["mpg123"])
    for name, values in runs.items():
        median = statistics.median(values)
        print(f"{name}: {' '.join(f'{v:.1f}' for v in values)} ms, median {median:.1f} ms,"
              f" {median / reference:.2f} x mpg123")


if __name__ == "__main__":
    main()
