"""Benchmark rows of several quillet builds or settings, measured in one run.

Each build is an interpreter (with its own quillet installed) plus arguments
for bench.py; the builds take turns, round after round, and each row keeps the
best time seen.  Printed: quillet's time per build, and each build's ratio to
the first one and to PyTorch (above 1: faster).

    python benchmarks/compare.py native=/tmp/native/bin/python wheel=python
    python benchmarks/compare.py "1 thread=python --threads 1" "2 threads=python --threads 2" --words conv2d CNN
    python benchmarks/compare.py --json best.json old=/tmp/old/bin/python new=python
"""

import argparse
import json
import os
import shlex
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+", help="LABEL=PYTHON [bench.py options]")
    parser.add_argument("--rounds", type=int, default=2, help="turns each build takes (default 2)")
    parser.add_argument("--words", nargs="*", default=[], help="only rows whose name contains one of these words")
    parser.add_argument("--json", help="also write every build's best times (seconds) to this file")
    args = parser.parse_args()
    builds = []
    for given in args.builds:
        label, sep, command = given.partition("=")
        if not sep or not command.strip():
            parser.error(f"{given!r}: expected LABEL=PYTHON [options]")
        builds.append((label, shlex.split(command)))
    best = {label: {} for label, _ in builds}
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(args.rounds):
            for label, command in builds:
                out = os.path.join(tmp, "times.json")
                subprocess.run(
                    command[:1] + [os.path.join(HERE, "bench.py"), *command[1:], "--json", out, *args.words],
                    check=True,
                    stdout=subprocess.DEVNULL,
                    cwd=tmp,
                )
                with open(out) as f:
                    for row, times in json.load(f).items():
                        kept = best[label].setdefault(row, {})
                        for key, t in times.items():
                            kept[key] = min(t, kept.get(key, float("inf")))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(best, f, indent=1)
    first = builds[0][0]
    rows = [r for r in best[first] if "quillet" in best[first][r]]
    head = f"{'benchmark':<54}" + "".join(f" {label[:14]:>14}" for label, _ in builds)
    head += "".join(f" {'x ' + first[:10]:>12}" for label, _ in builds[1:]) + "".join(
        f" {label[:8] + ' x torch':>16}" for label, _ in builds
    )
    print("quillet ms per build; ratios above 1 mean faster")
    print(head)
    print("-" * len(head))
    for r in rows:
        q = {label: best[label].get(r, {}).get("quillet") for label, _ in builds}
        line = f"{r:<54}" + "".join(f" {q[label] * 1e3:14.3f}" if q[label] else f" {'-':>14}" for label, _ in builds)
        line += "".join(f" {q[first] / q[label]:12.2f}" if q[label] else f" {'-':>12}" for label, _ in builds[1:])
        for label, _ in builds:
            t = best[label].get(r, {}).get("torch")
            line += f" {t / q[label]:16.2f}" if t and q[label] else f" {'-':>16}"
        print(line)


if __name__ == "__main__":
    sys.exit(main())
