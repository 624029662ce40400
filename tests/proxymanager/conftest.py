"""Fixtures of the proxy manager's end-to-end tests under Wine.

One Wine prefix and one wineserver per run: when ./test.sh set them up (VELT_WINE_SESSION=1,
WINEPREFIX, DISPLAY) they are used as they are; otherwise the prefix build/pm-prefix and a
private Xvfb display are used, and a persistent wineserver is started for the run. Every process
started here (Xvfb, wineserver, the debug-output listener, squid, the Windows helpers) is stopped
by its own process id.

The Windows helpers are taken from VELT_WIN_BIN, by default build/win/bin.
"""
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from pm_harness import (REPO, WIN_BIN, DebugListener, Dialog, PacServer, ProxyManagerRunner, RunDirectory,
                        Settings, Wine, running_squid, stop_process)


@pytest.fixture(scope="session")
def run_dir(request):
    d = RunDirectory()
    yield d
    if request.session.testsfailed == 0:
        shutil.rmtree(d.path, ignore_errors=True)


@pytest.fixture(scope="session")
def wine(run_dir):
    if not (WIN_BIN / "pmquery.exe").exists():
        pytest.skip(f"Windows helpers not built in {WIN_BIN}")
    workdir = run_dir.mktemp("wine")
    if os.environ.get("VELT_WINE_SESSION") == "1":
        # test.sh's session: its prefix, display and wineserver, which it stops itself.
        yield Wine(Path(os.environ["WINEPREFIX"]), os.environ["DISPLAY"], workdir)
        return

    started = []
    prefix = Path(os.environ.get("WINEPREFIX") or REPO / "build" / "pm-prefix")
    # Always a private display: the dialog tests type into whatever window has the focus.
    n = next(n for n in range(77, 120)
             if not Path(f"/tmp/.X11-unix/X{n}").exists() and not Path(f"/tmp/.X{n}-lock").exists())
    display = f":{n}"
    started.append(subprocess.Popen(["Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    deadline = time.time() + 10
    while not Path(f"/tmp/.X11-unix/X{n}").exists() and time.time() < deadline:
        time.sleep(0.1)
    w = Wine(prefix, display, workdir)
    # A persistent server for the run, unless one already serves this prefix (a second server
    # for the same prefix exits at once, and the first one is not ours to stop).
    server = subprocess.Popen(["wineserver", "-f", "-p"], env=w.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    own_server = server.poll() is None
    try:
        if not (prefix / "system.reg").exists():
            with open(workdir / "wineboot.out", "wb") as out:
                subprocess.run(["wineboot", "-i"], env=w.env, stdout=out, stderr=subprocess.STDOUT, timeout=300,
                               check=True)
        yield w
    finally:
        if own_server:
            # -k ends this prefix's processes through its own server, then the server itself.
            subprocess.run(["wineserver", "-k"], env=w.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            stop_process(server)
        for proc in reversed(started):
            stop_process(proc)


@pytest.fixture(scope="session")
def debug_listener(wine, run_dir):
    listener = DebugListener(wine, run_dir.mktemp("dbwin") / "debug.txt")
    try:
        yield listener
    finally:
        listener.stop()


@pytest.fixture(scope="session")
def pm(wine, debug_listener, run_dir):
    return ProxyManagerRunner(wine, debug_listener, run_dir.mktemp("pmquery"))


@pytest.fixture(scope="session")
def settings_session(wine, run_dir):
    s = Settings(wine, run_dir.mktemp("settings"))
    yield s
    # Leave the prefix as a fresh one reads: no Internet settings written, no default proxy.
    wine.settings("ie-clear")
    s.winhttp_default("-")


@pytest.fixture
def settings(settings_session):
    """A clean slate for each test: direct connection, no default proxy, nothing stored."""
    s = settings_session
    s.ie(1)
    s.winhttp_default("-")
    s.cred_delete("127.0.0.1")
    yield s
    s.cred_delete("127.0.0.1")


@pytest.fixture(scope="module")
def squid_basic():
    with running_squid("basic", {"alice": "wonderland", "bob": "p\u00e4ss\u20ac"}) as s:
        yield s


@pytest.fixture
def pac_server():
    server = PacServer()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def dialog(wine):
    return Dialog(wine.display)
