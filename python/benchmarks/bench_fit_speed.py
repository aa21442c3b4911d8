"""Whole-process times of the fits users wait for: the README's joint example (2 distances x 2
wavelengths, two layers, six free spectral parameters), the same with the top layer's thickness
freed too, and the README's single-curve example. Each command runs --repeats times; printed are
the minimum, median and maximum wall time, the median CPU time (user + system, all threads) and
the fit's forward evaluations and iterations.

    /usr/bin/python3 python/benchmarks/bench_fit_speed.py [--build build] [--repeats 5]

Seconds depend on the CPU: `build/bin/run_bench --ratios` prints the four-layer reference of this
machine, by which to scale them against another's.
"""

import argparse
import os
import pathlib
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]


def joint_problem(folder, free_d1):
    """The README's joint problem with its curves' paths made absolute; with free_d1 the top
    layer's thickness is fitted too (start 10 mm, the truth)."""
    text = (ROOT / "examples" / "joint" / "problem.toml").read_text()
    joint = (ROOT / "examples" / "joint").as_posix()
    text = re.sub(r'(file|irf) = "', lambda m: f'{m.group(1)} = "{joint}/', text)
    if free_d1:
        text = text.replace("d = 10.0 ", "d = { start = 10.0, lower = 5.0, upper = 15.0 } ", 1)
        assert "lower = 5.0" in text
    path = pathlib.Path(folder) / ("joint_d1.toml" if free_d1 else "joint.toml")
    path.write_text(text)
    return str(path)


def run(command):
    """(wall s, CPU s of the child, its output)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode not in (0, 3):
        sys.exit(f"{' '.join(command)} failed ({done.returncode}): {done.stderr.strip()}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, done.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"), help="the build folder (default build)")
    parser.add_argument("--repeats", type=int, default=5, help="runs per command (default 5)")
    args = parser.parse_args()
    fit = os.path.join(args.build, "bin", "nlayer-fit")
    with tempfile.TemporaryDirectory() as folder:
        example = ROOT / "examples" / "fit"
        cases = [
            ("joint example, 6 free", [fit, joint_problem(folder, False)]),
            ("joint example, 6 free and d1", [fit, joint_problem(folder, True)]),
            ("single-curve example", [fit, "--measured", str(example / "measured.csv"), "--irf", str(example / "irf.csv"),
                                      "--model", str(example / "input.dat"), "--free", "mua1,musp1"]),
        ]
        print(f"{'case':32} {'wall min':>9} {'median':>8} {'max':>8} {'CPU':>8}  evaluations")
        for name, command in cases:
            runs = [run(command) for _ in range(args.repeats)]
            walls = [w for w, _, _ in runs]
            cpu = statistics.median(c for _, c, _ in runs)
            found = re.search(r"forward_evaluations = (\d+) \((\d+) iterations", runs[0][2])
            cost = f"{found.group(1)} ({found.group(2)} iterations)" if found else "?"
            print(f"{name:32} {min(walls):8.2f}s {statistics.median(walls):7.2f}s {max(walls):7.2f}s {cpu:7.2f}s  {cost}",
                  flush=True)


if __name__ == "__main__":
    main()
