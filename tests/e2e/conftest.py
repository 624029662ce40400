"""Fixtures of the end-to-end tests of the real bootstrap exe (see e2e_harness)."""
import subprocess
import tempfile
from pathlib import Path

import pytest

from e2e_harness import REPO, Bootstrap, WineSession, winpath
from testlib import wine_session


@pytest.fixture(scope="session")
def wine():
    with wine_session(REPO / "build" / "wineprefix") as env:
        yield _session(dict(env))


def _session(env):
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
