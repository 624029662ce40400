#!/usr/bin/python3
"""Benchmark (not a test): how quickly the stub shows its window, and its peak working set,
beside the smallest Win32 program that shows a dialog (build/win/bin/mindialog.exe), in the
same run under the same Wine session.

Run by hand after building both trees (pytest does not collect it):

    /usr/bin/python3 tests/bench_startup.py [--runs 7]

The stub is stamped with metadata and run with -showmetadata: it reads its metadata, shows its
window, and its worker closes the window again without touching the network, which is the
stub's start-up path on its own. startbench.exe (tests/helpers) starts each program, polls for its
visible window every millisecond and samples its working set until it ends. Both programs are
run alternately, after one unmeasured warm-up each. Times include Wine's own process start.
It uses the Wine session of ./test.sh when VELT_WINE_SESSION=1 is set, otherwise the prefix
build/bench-prefix with a private Xvfb and wineserver that it stops by their process ids.
"""
import argparse
import json
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from testlib import REPO, winpath, wine_session  # noqa: E402

WIN_BIN = REPO / "build" / "win" / "bin"
STUB = WIN_BIN / "VeltappBootstrap.exe"
VELTSTAMP = REPO / "build" / "host" / "bin" / "veltstamp"


def measure(env, work, exe, args, hold_ms):
    result = work / "start.json"
    result.unlink(missing_ok=True)
    subprocess.run(["wine", str(WIN_BIN / "startbench.exe"), winpath(result), str(hold_ms), winpath(exe), *args],
                   env=env, cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=True)
    return json.loads(result.read_text())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    work = Path(tempfile.mkdtemp(prefix="startup-bench-", dir=REPO / "build"))
    try:
        stub = work / "VeltappBootstrap.exe"
        metadata = json.dumps({"updateXmlUrl": "http://localhost:9/update.xml", "kestrelLauncherArguments": ""})
        subprocess.run([str(VELTSTAMP), str(STUB), str(stub), "--json", metadata], check=True,
                       stdout=subprocess.DEVNULL)
        baseline = work / "mindialog.exe"
        shutil.copyfile(WIN_BIN / "mindialog.exe", baseline)
        programs = [("VeltappBootstrap", stub, ["-showmetadata"], 5000), ("mindialog", baseline, [], 0)]
        with wine_session(REPO / "build" / "bench-prefix") as env:
            env = {k: v for k, v in env.items() if not k.startswith("VELT_")}
            for _, exe, extra, hold in programs:
                measure(env, work, exe, extra, hold)  # warm-up: Wine's caches, the prefix's first use
            rows = {name: [] for name, *_ in programs}
            for _ in range(args.runs):
                for name, exe, extra, hold in programs:
                    rows[name].append(measure(env, work, exe, extra, hold))

        print(f"start-up: process start to visible window, {args.runs} runs each (under Wine)\n")
        print(f"{'':18} {'size KiB':>9} {'median ms':>10} {'min ms':>8} {'max ms':>8} {'peak WS MiB':>12}")
        medians = {}
        for name, exe, *_ in programs:
            times = [r["visibleMs"] for r in rows[name] if r["visibleMs"] >= 0]
            peaks = [r["peakWorkingSet"] for r in rows[name]]
            missing = args.runs - len(times)
            medians[name] = statistics.median(times) if times else float("nan")
            print(f"{name:18} {exe.stat().st_size / 1024:>9.1f} {medians[name]:>10.1f} "
                  f"{min(times, default=float('nan')):>8.1f} {max(times, default=float('nan')):>8.1f} "
                  f"{max(peaks) / 2**20:>12.1f}" + (f"  ({missing} runs without a window)" if missing else ""))
        print(f"\nstub / baseline, median time to window: {medians['VeltappBootstrap'] / medians['mindialog']:.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
