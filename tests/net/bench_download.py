#!/usr/bin/python3
"""Benchmark (not a test): downloads a 256 MiB installer from a loopback server through
downloadFile with the progress window attached, a plain WinHTTP loop (no window, no proxy lookup,
1 MiB reads: the platform's ceiling under Wine) and curl fetching the same file from the same
server in the same run, and prints wall time, CPU time and peak memory side by side.

Run by hand after building the Windows tree (pytest does not collect it):

    /usr/bin/python3 tests/net/bench_download.py [--size-mib 256] [--runs 2]

It uses the Wine session of ./test.sh when VELT_WINE_SESSION=1 is set, otherwise a prefix
build/net-prefix with a private Xvfb and wineserver that it stops by their process ids.
Targets it is meant to show: at most 1.15x the plain WinHTTP loop's wall time (curl's ratio is
printed beside it), a peak working set under 32 MiB, a window that keeps answering (slowest
answer to a message while the download runs), and at most 1.05x the installer step's wall time
with a signed manifest's pin (byte limit, hash compared) beside the same step without one.
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from net_harness import NETTOOL, REPO, winpath  # noqa: E402
from testlib import wine_session  # noqa: E402


def serve(path):
    size = path.stat().st_size

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.send_header("Content-Type", "application/octet-stream")
            self.end_headers()
            with open(path, "rb") as f:
                self.connection.sendfile(f)

        def log_message(self, *args):
            pass

    httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    httpd.daemon_threads = True
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    return httpd, thread


def maker_signed(work, payload):
    """A PE of the maker's (the test program with the payload after its sections), signed with a
    throw-away certificate, so that the installer step runs to its end."""
    raw = work / "raw.exe"
    with open(raw, "wb") as out, open(payload, "rb") as tail:
        out.write((NETTOOL.parent / "fakeapp.exe").read_bytes())
        shutil.copyfileobj(tail, out, 1 << 20)
    payload.unlink()
    key, cert, signed = work / "maker.key", work / "maker.pem", work / "VeltraneDesktopApp.exe"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "1", "-subj", "/O=Veltrane, Inc./CN=Veltrane, Inc.", "-addext",
                    "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256", "-in", raw, "-out", signed],
                   check=True, capture_output=True)
    raw.unlink()
    return signed


def run_measured(argv, env=None, cwd=None):
    """Runs a program to its end; wall time and the rusage of it and its waited children."""
    with tempfile.TemporaryFile() as out:
        start = time.monotonic()
        proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env,
                                cwd=cwd)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        wall = time.monotonic() - start
        out.seek(0)
        return proc.returncode, wall, usage, out.read().decode(errors="replace")


def run_benchmark(bench, extra_arguments=()):
    """Parses the common options (--size-mib, --runs, plus `extra_arguments` as (flag, default)
    integer options) and calls bench(args, env) in a Wine session whose programs reach the
    loopback server directly, as on a machine without a proxy."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=2)
    for flag, default in extra_arguments:
        parser.add_argument(flag, type=int, default=default)
    args = parser.parse_args()

    with wine_session(REPO / "build" / "net-prefix") as env:
        env = {k: v for k, v in env.items() if k.lower() not in ("http_proxy", "https_proxy", "no_proxy")
               and not k.startswith("VELT_")}
        subprocess.run(["wine", str(NETTOOL), "ie", "1", "-"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        bench(args, env)


def main():
    run_benchmark(bench)


def bench(args, env):
    work = Path(tempfile.mkdtemp(prefix="net-bench-", dir=REPO / "build"))
    httpd = None
    try:
        source = work / "source.bin"
        with open(source, "wb") as f:
            block = os.urandom(1 << 20)
            for i in range(args.size_mib):
                f.write(block[i % 7:] + block[:i % 7])
        source = maker_signed(work, source)
        pin = f"{hashlib.sha256(source.read_bytes()).hexdigest()}:{source.stat().st_size}"
        httpd, _ = serve(source)
        url = f"http://localhost:{httpd.server_address[1]}/VeltraneDesktopApp.exe"
        landing = work / "downloads"
        landing.mkdir()

        rows = []
        for run in range(args.runs):
            target = work / "curl.bin"
            rc, wall, usage, _ = run_measured(["curl", "-s", "-o", str(target), url])
            assert rc == 0 and target.stat().st_size == source.stat().st_size
            rows.append(("curl", run, wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024, None))
            target.unlink()

            target = work / "plain.bin"
            result = work / "plain.json"
            rc, wall, usage, out = run_measured(["wine", str(NETTOOL), "plainget", url, winpath(target),
                                                 winpath(result)], env=env, cwd=work)
            assert rc == 0, out
            res = json.loads(result.read_text())
            assert res["ok"] and target.stat().st_size == source.stat().st_size, res
            rows.append(("plain WinHTTP", run, res["wall"], None, res["peakWorkingSet"], None))
            target.unlink()

            target = work / "bench.bin"
            result = work / "bench.json"
            rc, wall, usage, out = run_measured(["wine", str(NETTOOL), "bench", url, winpath(target), winpath(result)],
                                                env=env, cwd=work)
            assert rc == 0, out
            res = json.loads(result.read_text())
            assert res["code"] == 0 and target.stat().st_size == source.stat().st_size, res
            rows.append(("downloadFile", run, res["wall"], res["cpu"], res["peakWorkingSet"], res))
            rows.append(("  (wine process)", run, wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024,
                         None))
            target.unlink()

            # The installer step (download, rehash under the lock, Authenticode), without and
            # with the pin of a signed manifest (byte limit and hash compared with the pin).
            # The second of two 256 MiB writes in a row tends to be the slower one (the first
            # one's pages are still being written back): the order changes from run to run.
            pair = [("installer", "install"), ("installer pinned", "install:" + pin)]
            for name, mode in pair if run % 2 == 0 else pair[::-1]:
                rc, wall, usage, out = run_measured(["wine", str(NETTOOL), "bench", url, "-", winpath(result), mode],
                                                    env=env, cwd=landing)
                assert rc == 0, out
                res = json.loads(result.read_text())
                installed = landing / "VeltraneDesktopApp.exe"
                assert res["code"] == 0 and installed.stat().st_size == source.stat().st_size, res
                rows.append((name, run, res["wall"], res["cpu"], res["peakWorkingSet"], None))
                installed.unlink()

        print(f"{args.size_mib} MiB over loopback, {args.runs} runs each\n")
        print(f"{'':18} {'run':>3} {'wall s':>8} {'cpu s':>8} {'peak MiB':>9}")
        for name, run, wall, cpu, peak, _ in rows:
            cpu_text = f"{cpu:>8.2f}" if cpu is not None else f"{'-':>8}"
            print(f"{name:18} {run:>3} {wall:>8.2f} {cpu_text} {peak / 2**20:>9.1f}")
        best = lambda name, i: min(r[i] for r in rows if r[0] == name)  # noqa: E731
        print(f"\nwall-time ratio downloadFile / plain WinHTTP (best runs): "
              f"{best('downloadFile', 2) / best('plain WinHTTP', 2):.2f}  (target at most 1.15)")
        print(f"wall-time ratio installer pinned / installer (best runs):  "
              f"{best('installer pinned', 2) / best('installer', 2):.3f}  (target at most 1.05)")
        print(f"wall-time ratio downloadFile / curl (best runs):          {best('downloadFile', 2) / best('curl', 2):.2f}")
        print(f"cpu-time ratio downloadFile / curl (best runs):  {best('downloadFile', 3) / best('curl', 3):.2f}")
        window = [r[5] for r in rows if r[5]]
        print(f"peak working set of the program (max):         "
              f"{max(w['peakWorkingSet'] for w in window) / 2**20:.1f} MiB")
        print(f"window: slowest answer {max(w['slowestAnswerMs'] for w in window):.1f} ms over "
              f"{sum(w['pings'] for w in window)} pings; bar moves sent {window[-1]['barMoves']}; "
              f"final text {window[-1]['status']!r}")
        print(f"installer check: the file locked and hashed again in {min(w['rehash'] for w in window):.2f} s "
              f"(best run; {'matches' if all(w['rehashOk'] for w in window) else 'FAILED'})")
    finally:
        if httpd:
            httpd.shutdown()
            httpd.server_close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
