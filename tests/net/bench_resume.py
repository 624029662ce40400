#!/usr/bin/python3
"""Benchmark (not a test): what resuming costs. Downloads a 256 MiB installer through
downloadFile with the progress window attached, once from a server that cuts the connection
after every 64 MiB it sends (it serves byte ranges of a file with an ETag, so each cut is
resumed), and once cleanly from the same server in the same run, and prints the bytes the
server sent per byte of file and the wall times side by side.

Run by hand after building the Windows tree (pytest does not collect it):

    /usr/bin/python3 tests/net/bench_resume.py [--size-mib 256] [--cut-mib 64] [--runs 2]

It uses the Wine session of ./test.sh when VELT_WINE_SESSION=1 is set, otherwise a prefix
build/net-prefix with a private Xvfb and wineserver that it stops by their process ids.
Target it is meant to show: at most 1.05 bytes sent per byte of file.
"""
import json
import os
import shutil
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_download import run_benchmark, run_measured  # noqa: E402
from net_harness import NETTOOL, REPO, Route, Server, winpath  # noqa: E402

MIB = 1 << 20


def main():
    run_benchmark(bench, [("--cut-mib", 64)])


def bench(args, env):
    work = Path(tempfile.mkdtemp(prefix="resume-bench-", dir=REPO / "build"))
    server = Server()
    try:
        block = os.urandom(MIB)
        body = b"".join(block[i % 7:] + block[:i % 7] for i in range(args.size_mib))

        rows = []
        for run in range(args.runs):
            for name, cut in (("clean", None), ("cut", args.cut_mib * MIB)):
                route = Route(body, drop_after=cut, ranges=True, etag='"bench-1"', chunk=MIB)
                server.routes["/VeltraneDesktopApp.exe"] = route
                before = len(server.requests)
                target, result = work / "bench.bin", work / "bench.json"
                rc, wall, _, out = run_measured(["wine", str(NETTOOL), "bench", server.url("/VeltraneDesktopApp.exe"),
                                                 winpath(target), winpath(result)], env=env, cwd=work)
                assert rc == 0, out
                res = json.loads(result.read_text())
                assert res["code"] == 0, res
                with open(target, "rb") as f:
                    assert f.read() == body, "the file is not the resource"
                rows.append((name, run, res["wall"], wall, route.sent, len(server.requests) - before))
                target.unlink()

        size = len(body)
        print(f"{args.size_mib} MiB over loopback, cut every {args.cut_mib} MiB, {args.runs} runs each\n")
        print(f"{'':6} {'run':>3} {'requests':>8} {'sent MiB':>9} {'sent/file':>9} {'download s':>10} {'process s':>9}")
        for name, run, wall, process, sent, requests in rows:
            print(f"{name:6} {run:>3} {requests:>8} {sent / MIB:>9.1f} {sent / size:>9.4f} {wall:>10.2f} {process:>9.2f}")
        best = lambda name: min(r[2] for r in rows if r[0] == name)  # noqa: E731
        print(f"\nbytes sent per byte of file, cut transfer (max): "
              f"{max(r[4] for r in rows if r[0] == 'cut') / size:.4f}  (target <= 1.05)")
        print(f"wall time cut / clean (best runs): {best('cut'):.2f} s / {best('clean'):.2f} s = "
              f"{best('cut') / best('clean'):.2f}")
        # Further request n (n >= 2) waits 2^(n-2) s before it goes out.
        further = max(r[5] for r in rows if r[0] == "cut") - 1
        print(f"of which the pauses before further requests: {sum(1 << (n - 2) for n in range(2, further + 1))} s")
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
