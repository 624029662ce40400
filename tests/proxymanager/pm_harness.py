"""Helpers of the proxy manager's end-to-end tests: running the Windows helpers under Wine,
reading the debug output, the user's settings, squid, PAC files and the credential dialog."""
import contextlib
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from testlib import Squid, free_port, stop_process, wait_for_port, winpath  # noqa: E402,F401

REPO = Path(__file__).resolve().parents[2]
WIN_BIN = Path(os.environ.get("VELT_WIN_BIN", REPO / "build" / "win" / "bin"))
LINE_PREFIX = "Veltrane   VeltProxyManager   "



class Wine:
    """Runs the Windows helpers in the run's prefix, with output captured through files."""

    def __init__(self, prefix, display, workdir):
        self.prefix = prefix
        self.display = display
        self.workdir = workdir
        self._count = 0
        env = {k: v for k, v in os.environ.items()
               if k.lower() not in ("http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy")
               and not k.startswith("VELT_")}
        env.update(WINEPREFIX=str(prefix), DISPLAY=display, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env = env

    def _files(self, name):
        self._count += 1
        base = self.workdir / f"{self._count:04d}-{name}"
        return base.with_suffix(".out"), base.with_suffix(".err")

    def start(self, exe, *args, env=None):
        out, err = self._files(Path(exe).stem)
        full_env = dict(self.env)
        full_env.update(env or {})
        with open(out, "wb") as o, open(err, "wb") as e:
            return subprocess.Popen(["wine", str(WIN_BIN / exe), *map(str, args)], stdout=o, stderr=e,
                                    stdin=subprocess.DEVNULL, env=full_env, cwd=self.workdir)

    def run(self, exe, *args, env=None, timeout=120):
        proc = self.start(exe, *args, env=env)
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            stop_process(proc)
            raise

    def settings(self, *args):
        rc = self.run("pmsettings.exe", *args)
        assert rc == 0, f"pmsettings {args} failed with {rc}"


class RunDirectory:
    """Working files of this run, in a folder of its own under build/ (pytest's shared basetemp
    is pruned by other pytest sessions running at the same time). Kept when a test failed."""

    def __init__(self):
        base = REPO / "build" / "pm-e2e-runs"
        base.mkdir(parents=True, exist_ok=True)
        self.path = Path(tempfile.mkdtemp(prefix="run-", dir=base))
        os.chmod(self.path, 0o755)

    def mktemp(self, name):
        path = Path(tempfile.mkdtemp(prefix=name + "-", dir=self.path))
        return path


class DebugListener:
    """The debug-output buffer's one reader for the run, see tests/proxymanager/win/dbwin_listen.cpp."""

    def __init__(self, wine, path):
        self.path = path
        self.proc = wine.start("dbwin_listen.exe", winpath(path))
        ready = Path(str(path) + ".ready")
        deadline = time.time() + 60
        while not ready.exists():
            assert self.proc.poll() is None, "dbwin_listen ended early"
            assert time.time() < deadline, "dbwin_listen did not get ready"
            time.sleep(0.1)

    def records(self):
        data = self.path.read_bytes()
        out, pos = [], 0
        while pos < len(data):
            m = re.compile(rb"(\d+) (\d+) ").match(data, pos)
            if not m:
                break
            length = int(m.group(2))
            start = m.end()
            if start + length + 1 > len(data):
                break
            out.append((int(m.group(1)), data[start:start + length].decode("latin-1")))
            pos = start + length + 1
        return out

    def lines_of(self, pid, timeout=30):
        """The lines of one process, once its end marker has arrived."""
        marker = f"pmquery-done {pid}\n"
        deadline = time.time() + timeout
        while True:
            recs = self.records()
            if (pid, marker) in recs:
                return [text for p, text in recs if p == pid and text != marker]
            assert time.time() < deadline, f"no end marker from process {pid}"
            time.sleep(0.1)

    def stop(self):
        Path(str(self.path) + ".stop").touch()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            stop_process(self.proc)


class Query:
    def __init__(self, result, lines):
        self.result = result
        self.lines = lines
        self.calls = result["calls"]
        self.call = self.calls[0] if self.calls else None
        self.status = self.call["status"] if self.call else None

    def messages(self, level=None):
        """Messages of the proxy manager's lines (without prefix, level and line feed)."""
        out = []
        for line in self.lines:
            m = re.match(re.escape(LINE_PREFIX) + r"(\[[A-Z]+\])   (.*)\n$", line, re.S)
            assert m, f"malformed line {line!r}"
            if level is None or m.group(1) == level:
                out.append(m.group(2))
        return out

    def has(self, message, level=None):
        return message in self.messages(level)


class ProxyManagerRunner:
    def __init__(self, wine, listener, workdir):
        self.wine = wine
        self.listener = listener
        self.workdir = workdir
        self._n = 0

    def start(self, url="http://localhost/", env=None, debug="TRUE", **request):
        """Starts pmquery; returns a handle whose finish() gives the Query."""
        self._n += 1
        req = self.workdir / f"req{self._n}.txt"
        res = self.workdir / f"res{self._n}.json"
        lines = [] if url is None else [f"url={url}"]
        lines += [f"{k}={v}" for k, v in request.items()]
        req.write_text("\n".join(lines) + "\n", encoding="utf-8", errors="surrogateescape")
        full_env = {} if debug is None else {"VELT_ENABLE_DEBUG_STRING": debug}
        full_env.update(env or {})
        proc = self.wine.start("pmquery.exe", winpath(req), winpath(res), env=full_env)
        secrets = [request["password"]] if request.get("password") else []
        return RunningQuery(self, proc, res, secrets)

    def query(self, url="http://localhost/", timeout=120, **kw):
        return self.start(url, **kw).finish(timeout)


class RunningQuery:
    def __init__(self, runner, proc, result_path, secrets):
        self.runner = runner
        self.proc = proc
        self.result_path = result_path
        self.secrets = list(secrets)

    def finish(self, timeout=120):
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            stop_process(self.proc)
            raise
        result = json.loads(self.result_path.read_text(encoding="utf-8"))
        assert rc in (0, 3), f"pmquery exit code {rc}"
        lines = self.runner.listener.lines_of(result["pid"])
        for secret in self.secrets:
            for line in lines:
                assert secret not in line, f"password written to the debug output: {line!r}"
        return Query(result, lines)


class Settings:
    """The user's Internet settings, the default WinHTTP proxy and the Credential Manager."""

    def __init__(self, wine, workdir):
        self.wine = wine
        self.workdir = workdir

    def ie(self, flags, proxy="-", bypass="-", pac="-"):
        self.wine.settings("ie", flags, proxy or "-", bypass or "-", pac or "-")

    def winhttp_default(self, proxy="-"):
        self.wine.settings("winhttp-default", proxy)

    def cred_write(self, target, user, password):
        self.wine.settings("cred-write", target, user, password)

    def cred_delete(self, target):
        self.wine.run("pmsettings.exe", "cred-delete", target)

    def cred_read(self, target):
        out = self.workdir / f"cred-{time.time_ns()}.json"
        self.wine.settings("cred-read", target, winpath(out))
        return json.loads(out.read_text())


@contextlib.contextmanager
def running_squid(auth, users=None):
    squid = Squid(auth, users or {})
    try:
        yield squid
    finally:
        squid.stop()


class PacServer:
    """Serves proxy auto-configuration scripts on loopback: set scripts[path] = text."""

    def __init__(self):
        scripts = self.scripts = {}
        self.hits = []
        hits = self.hits

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                hits.append(self.path)
                body = scripts.get(self.path)
                if body is None:
                    self.send_error(404)
                    return
                data = body.encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/x-ns-proxy-autoconfig")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)


class Dialog:
    """Answers the credential dialog under Xvfb by typing into it with xdotool."""

    TITLE = "Connect to 127.0.0.1"

    def __init__(self, display):
        self.env = dict(os.environ, DISPLAY=display)
        self.handled = set()

    def _windows(self):
        out = subprocess.run(["xdotool", "search", "--name", f"^{re.escape(self.TITLE)}$"], env=self.env,
                             capture_output=True, text=True)
        return [w for w in out.stdout.split() if w not in self.handled]

    def wait(self, running, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            windows = self._windows()
            if windows:
                return windows[0]
            assert running.proc.poll() is None, "pmquery ended without showing the dialog"
            time.sleep(0.2)
        shot = running.result_path.with_suffix(".png")
        subprocess.run(["import", "-window", "root", str(shot)], env=self.env)
        raise TimeoutError(f"the credential dialog did not appear (screen: {shot})")

    def _xdo(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True)

    def answer(self, running, user, password):
        window = self.wait(running)
        self.handled.add(window)
        running.secrets.append(password)
        time.sleep(0.5)
        self._xdo("windowfocus", "--sync", window)
        # The fields are reached by their mnemonics: which one has the focus first depends on
        # whether the dialog announces a refused password.
        self._xdo("key", "alt+u")
        self._xdo("type", "--delay", "20", user)
        self._xdo("key", "alt+p")
        self._xdo("type", "--delay", "20", password)
        self._xdo("key", "Return")

    def cancel(self, running):
        window = self.wait(running)
        self.handled.add(window)
        time.sleep(0.5)
        self._xdo("windowfocus", "--sync", window)
        self._xdo("key", "Escape")

    def assert_none(self):
        assert not self._windows(), "a credential dialog is open"
