"""The real bootstrap exe, stamped with metadata by the packaging tool, fetching its manifest
under Wine: the flow's manifest step, and its errors as the user sees them in the window."""
import json
import os
import subprocess
import time
from pathlib import Path

import pytest

from net_harness import WIN_BIN, REPO, Route, free_port, stop_process, winpath
from test_net_trust import manifest_for

HOST_BIN = Path(os.environ.get("VELT_HOST_BIN", REPO / "build" / "host" / "bin"))
STUB = WIN_BIN / "VeltappBootstrap.exe"


@pytest.fixture(scope="module")
def temp_dir(wine):
    """The prefix's %TEMP% as a Unix path (where the bootstrap log lives)."""
    out = wine.workdir / "temp.txt"
    proc = subprocess.run(["wine", "cmd", "/c", f"echo %TEMP%>{winpath(out)}"], env=wine.env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    assert proc.returncode == 0
    temp = out.read_text(errors="replace").strip()
    return Path(subprocess.run(["winepath", "-u", temp], env=wine.env, capture_output=True,
                               text=True).stdout.strip())


class Run:
    def __init__(self, wine, temp_dir, metadata, extra_env=None):
        self.wine = wine
        self.folder = wine.fresh("exe")
        self.exe = self.folder / "VeltappBootstrap.exe"
        subprocess.run([str(HOST_BIN / "veltstamp"), str(STUB), str(self.exe), "--json",
                        json.dumps(metadata, indent="\t")], check=True, stdout=subprocess.DEVNULL)
        self.log = temp_dir / "VeltappBootstrap.log"
        self.start = self.log.stat().st_size if self.log.exists() else 0
        self.out = self.folder / "wine.out"
        with open(self.out, "wb") as o:
            self.proc = subprocess.Popen(["wine", str(self.exe)], stdout=o, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL, env={**wine.env, **(extra_env or {})},
                                         cwd=wine.workdir)

    def messages(self):
        data = self.log.read_bytes()[self.start:].decode("latin-1")
        return [tuple(line.split(" ", 1)[1].split("::", 1)) for line in data.split("\r\n") if line]

    def state(self):
        out = self.folder / f"probe-{time.monotonic_ns()}.json"
        self.wine.start_program("winprobe.exe", winpath(out), "state").wait(60)
        return json.loads(out.read_text(encoding="utf-8"))

    def wait_for_status(self, text, timeout=60):
        deadline = time.time() + timeout
        last = None
        while time.time() < deadline:
            last = self.state()
            if last.get("found") and last.get("status") == text:
                return last
            assert self.proc.poll() is None, f"the program ended; log {self.messages()}"
            time.sleep(0.3)
        raise AssertionError(f"no {text!r}; last {last}")

    def close(self):
        out = self.folder / "close.json"
        self.wine.start_program("winprobe.exe", winpath(out), "close").wait(60)
        try:
            return self.proc.wait(30)
        finally:
            stop_process(self.proc)


@pytest.mark.usefixtures("direct")
def test_the_flow_fetches_the_manifest_next_to_the_exe_and_closes(wine, temp_dir, http_server):
    manifest = manifest_for("http://localhost/desktop/", "VeltraneDesktopApp.exe")
    http_server.routes["/utility/kestrel/update.xml"] = Route(manifest)
    run = Run(wine, temp_dir, {"updateXmlUrl": http_server.url("/utility/kestrel/update.xml"),
                               "kestrelLauncherArguments": "-postPurchase"})
    assert run.proc.wait(120) == 0
    assert (run.folder / "update.xml").read_bytes() == manifest
    msgs = run.messages()
    assert ("INFO", "4 >> The return code for the http request = [200].") in msgs
    assert not [m for level, m in msgs if level == "ERROR"]
    req = [r for r in http_server.requests if r["path"] == "/utility/kestrel/update.xml"][-1]
    assert req["headers"]["User-Agent"] == "WEB_INSTALL_3_0"


@pytest.mark.usefixtures("direct")
def test_a_missing_manifest_is_error_8_in_the_window(wine, temp_dir, http_server):
    run = Run(wine, temp_dir, {"updateXmlUrl": http_server.url("/nothing/update.xml")},
              extra_env={"WINEDEBUG": "-all,fixme+progress"})
    try:
        state = run.wait_for_status("Aborted.(Error:8)")
        assert state["visible"]
        msgs = run.messages()
        assert [m for _, m in msgs if ">> The return code" in m] == [
            f"{n} >> The return code for the http request = [404]." for n in (4, 3, 2, 1)]
        assert msgs[-2:] == [("ERROR", "Error occurred, error code = [8]."),
                             ("ERROR", "ThreadProc exception caught, type std::exception, display error message.")]
        assert not (run.folder / "update.xml").exists()
    finally:
        assert run.close() == 0
    # Wine draws no error state, but the request reached the bar.
    assert "state 2 not yet handled" in run.out.read_text(errors="replace")


def test_a_proxy_manager_failure_is_error_7_in_the_window(wine, temp_dir, http_server):
    wine.settings_proxy(f"127.0.0.1:{free_port()}")
    try:
        run = Run(wine, temp_dir, {"updateXmlUrl": http_server.url("/utility/kestrel/update.xml")})
        try:
            run.wait_for_status("Aborted.(Error:7)")
            assert ("ERROR", "Error in veltGetProxyInfo, error code 2") in run.messages()
        finally:
            run.close()
    finally:
        wine.settings_direct()
