"""Pieces every Python test harness of the project uses: the run's Wine session, Wine paths,
loopback ports, a squid of the test's own, and stopping a started process by its own id."""
import contextlib
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]


def winpath(path):
    """The Windows name of a Unix path (Wine maps / to Z:)."""
    return "Z:" + str(path).replace("/", "\\")


def stop_process(proc, timeout=10):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.1)
    raise TimeoutError(f"nothing listens on port {port}")


class Squid:
    """squid on loopback with a configuration of the test's own: `auth` is "basic", "digest",
    "ntlm" (the fake helper) or None (no authentication); `users` maps names to passwords."""

    def __init__(self, auth, users, realm="velt-test"):
        self.dir = Path(tempfile.mkdtemp(prefix="velt-squid-"))
        self.port = free_port()
        proxy_user = pwd.getpwnam("proxy")
        conf = [
            f"http_port 127.0.0.1:{self.port}",
            f"pid_filename {self.dir}/squid.pid",
            f"cache_log {self.dir}/cache.log",
            f"access_log {self.dir}/access.log",
            "cache_store_log none",
            "cache deny all",
            f"coredump_dir {self.dir}",
            "netdb_filename none",
            "cache_effective_user proxy",
            "shutdown_lifetime 0 seconds",
        ]
        if auth == "basic":
            lines = []
            for user, password in users.items():
                hashed = subprocess.run(["openssl", "passwd", "-apr1", password], check=True,
                                        capture_output=True, text=True).stdout.strip()
                lines.append(f"{user}:{hashed}")
            (self.dir / "passwd").write_text("\n".join(lines) + "\n")
            conf += [f"auth_param basic program /usr/lib/squid/basic_ncsa_auth {self.dir}/passwd",
                     f"auth_param basic realm {realm}"]
        elif auth == "digest":
            (self.dir / "digest").write_text("".join(f"{u}:{p}\n" for u, p in users.items()))
            conf += [f"auth_param digest program /usr/lib/squid/digest_file_auth {self.dir}/digest",
                     f"auth_param digest realm {realm}"]
        elif auth == "ntlm":
            conf += ["auth_param ntlm program /usr/lib/squid/ntlm_fake_auth", "auth_param ntlm children 2"]
        if auth:
            conf += ["acl authed proxy_auth REQUIRED", "http_access allow authed"]
        else:
            conf += ["http_access allow localhost"]
        conf += ["http_access deny all"]
        (self.dir / "squid.conf").write_text("\n".join(conf) + "\n")
        for path in [self.dir, *self.dir.iterdir()]:
            os.chown(path, proxy_user.pw_uid, proxy_user.pw_gid)
        self.dir.chmod(0o755)
        with open(self.dir / "squid.out", "wb") as out:
            self.proc = subprocess.Popen(["squid", "-f", str(self.dir / "squid.conf"), "-N"], stdout=out,
                                         stderr=subprocess.STDOUT)
        try:
            wait_for_port(self.port)
        except TimeoutError:
            self.stop()
            raise

    def access_log(self):
        path = self.dir / "access.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def stop(self):
        stop_process(self.proc, timeout=20)
        shutil.rmtree(self.dir, ignore_errors=True)


@contextlib.contextmanager
def wine_session(prefix):
    """The Wine environment of a test run. Under ./test.sh (VELT_WINE_SESSION=1) that is the run's
    own prefix, display and wineserver, which test.sh stops. Otherwise `prefix` with a private
    Xvfb and a persistent wineserver, both stopped by their process ids when the block ends."""
    if os.environ.get("VELT_WINE_SESSION") == "1":
        yield dict(os.environ)
        return
    started = []
    # Always a private display: the dialog tests type into whatever window has the focus.
    n = next(n for n in range(77, 200)
             if not Path(f"/tmp/.X11-unix/X{n}").exists() and not Path(f"/tmp/.X{n}-lock").exists())
    started.append(subprocess.Popen(["Xvfb", f":{n}", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    deadline = time.time() + 10
    while not Path(f"/tmp/.X11-unix/X{n}").exists() and time.time() < deadline:
        time.sleep(0.1)
    env = dict(os.environ, WINEPREFIX=str(prefix), DISPLAY=f":{n}", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    # A persistent server for the run, unless one already serves this prefix (a second server
    # for the same prefix exits at once, and the first one is not ours to stop).
    server = subprocess.Popen(["wineserver", "-f", "-p"], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    own_server = server.poll() is None
    try:
        if not (Path(prefix) / "system.reg").exists():
            subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=300, check=True)
        yield env
    finally:
        if own_server:
            # -k ends this prefix's processes through its own server, then the server itself.
            subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            stop_process(server)
        for proc in reversed(started):
            stop_process(proc)
