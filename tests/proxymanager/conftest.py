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
from pathlib import Path

import pytest

from pm_harness import (REPO, WIN_BIN, DebugListener, Dialog, PacServer, ProxyManagerRunner, RunDirectory,
                        Settings, Wine, running_squid)
from testlib import wine_session


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
    with wine_session(Path(os.environ.get("WINEPREFIX") or REPO / "build" / "pm-prefix")) as env:
        yield Wine(Path(env["WINEPREFIX"]), env["DISPLAY"], workdir)


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
