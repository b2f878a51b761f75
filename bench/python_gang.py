#!/usr/bin/env python3
"""A gang of 8 driven from Python (quillrom.gang) against the same gang run by
the command line (quillrom auto --port x8), in alternating runs on the same
paced virtual targets; prints each run and the ratio of the medians.
Nothing is asserted.

Usage: PYTHONPATH=build/python bench/python_gang.py [--build build] [--targets 8] [--runs 3] [--baud 115200]
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
parser = argparse.ArgumentParser()
parser.add_argument("--build", default=os.path.join(here, "..", "build"))
parser.add_argument("--targets", type=int, default=8)
parser.add_argument("--runs", type=int, default=3)
parser.add_argument("--baud", default="115200")
a = parser.parse_args()
build = os.path.abspath(a.build)
sys.path.insert(0, os.path.join(build, "python"))
os.environ.setdefault("QUILLROM_SIM", os.path.join(build, "sim", "quillrom-sim"))

import quillrom  # noqa: E402
from quillrom.testing import virtual_targets  # noqa: E402

samples = os.path.join(here, "..", "samples")
prm, image = os.path.join(samples, "demo.prm"), os.path.join(samples, "demo.hex")
cli = os.path.join(build, "cli", "quillrom")

with virtual_targets(prm, a.targets, first_com=120, args=["--baud", a.baud]) as ports:
    def by_cli():
        args = [cli, "auto", image, "--prm", prm, "--auto-range", "--no-record", "--quiet"]
        for p in ports:
            args += ["--port", p]
        subprocess.run(args, check=True, env=dict(os.environ))

    def by_python():
        results = quillrom.gang(ports, "auto", prm, image, auto_range=True)
        assert all(r.ok for r in results), [r.detail for r in results if not r.ok]

    times = {"cli": [], "python": []}
    for run in range(a.runs):
        # Which goes first swaps every run, so a trend in the machine's load is shared.
        order = [("cli", by_cli), ("python", by_python)]
        for name, call in order if run % 2 == 0 else reversed(order):
            start = time.monotonic()
            call()
            times[name].append(time.monotonic() - start)
        print(f"run {run + 1}: command line {times['cli'][-1]:.3f} s, Python {times['python'][-1]:.3f} s", flush=True)
    cli_median, py_median = statistics.median(times["cli"]), statistics.median(times["python"])
    print(f"gang of {a.targets} at {a.baud} baud: medians command line {cli_median:.3f} s, Python {py_median:.3f} s: "
          f"Python / command line = {py_median / cli_median:.4f} ({(py_median / cli_median - 1) * 100:+.2f} %)")
