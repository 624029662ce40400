"""Fixtures of the end-to-end tests of the real bootstrap exe (see e2e_harness)."""
import os
import subprocess
import tempfile
from pathlib import Path

import pytest

from e2e_harness import REPO, Bootstrap, WineSession, stop, winpath


def _own_session(request):
    """Sets up prefix, display and server when the run was not started by ./test.sh."""
    procs = []
    display_no = next(n for n in range(130, 160) if not Path(f"/tmp/.X11-unix/X{n}").exists())
    xvfb = subprocess.Popen(["Xvfb", f":{display_no}", "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(xvfb)
    env = dict(os.environ, WINEPREFIX=str(REPO / "build" / "wineprefix"), DISPLAY=f":{display_no}",
               WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    server = subprocess.Popen(["wineserver", "-p", "-f"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(server)
    subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)

    def finish():
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for p in reversed(procs):
            stop(p)
    request.addfinalizer(finish)
    return env


@pytest.fixture(scope="session")
def wine(request):
    if os.environ.get("VELT_WINE_SESSION") == "1":
        env = dict(os.environ)
    else:
        env = _own_session(request)
    for k in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy", "NO_PROXY"):
        env.pop(k, None)
    session = WineSession(env, "")
    with tempfile.NamedTemporaryFile(suffix=".txt", delete=False) as f:
        out = Path(f.name)
    session.run(["cmd", "/c", f"echo %TEMP%>{winpath(out)}"])
    temp = out.read_text(errors="replace").strip()
    out.unlink()
    session.temp_dir = Path(subprocess.run(["winepath", "-u", temp], env=env, capture_output=True,
                                           text=True).stdout.strip())
    return session


@pytest.fixture
def bootstrap(wine, tmp_path):
    b = Bootstrap(wine, tmp_path)
    yield b
    for run in b.runs:
        run.cleanup()
