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


@pytest.fixture
def nothing_installed(wine):
    """No earlier installation recorded: the flow installs whatever the manifest announces."""
    subprocess.run(["wine", "reg", "delete", r"HKLM\SOFTWARE\Veltrane\Veltrane Application Manager", "/f",
                    "/reg:32"], env=wine.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def serve_release(server, installer, prefix, **route):
    manifest = manifest_for(server.url(f"/{prefix}/"), "VeltraneDesktopApp.exe")
    server.routes[f"/{prefix}/update.xml"] = Route(manifest)
    server.routes[f"/{prefix}/VeltraneDesktopApp.exe"] = Route(installer.read_bytes(), **route)
    return server.url(f"/{prefix}/update.xml"), manifest


@pytest.mark.usefixtures("direct", "nothing_installed")
def test_manifest_and_installer_download_with_the_bar_moving(wine, temp_dir, http_server, installers):
    data = installers["maker"].read_bytes()
    url, manifest = serve_release(http_server, installers["maker"], "good", chunk=len(data) // 40, delay=0.1)
    run = Run(wine, temp_dir, {"updateXmlUrl": url, "kestrelLauncherArguments": "-postPurchase"})
    seen = []
    try:
        while run.proc.poll() is None and len(seen) < 60:
            state = run.state()
            if state.get("found") and state.get("hasProgress"):
                seen.append((state["status"], state["pos"]))
        assert run.proc.wait(120) == 0, run.messages()
    finally:
        if run.proc.poll() is None:
            run.close()
    downloading = [(t, p) for t, p in seen if t.startswith("Downloading ... ")]
    assert len({p for _, p in downloading}) >= 2, f"the bar did not move: {seen}"
    assert [p for _, p in downloading] == sorted(p for _, p in downloading)
    assert (run.folder / "update.xml").read_bytes() == manifest
    assert (run.folder / "VeltraneDesktopApp.exe").read_bytes() == data
    msgs = run.messages()
    assert [m for _, m in msgs if ">> The return code" in m] == [
        "4 >> The return code for the http request = [200]."] * 2
    assert ("INFO", "A certificate with a subject name [Veltrane, Inc] has been found!") in msgs
    assert not [m for level, m in msgs if level == "ERROR"]
    agents = {r["headers"]["User-Agent"] for r in http_server.requests if r["path"].startswith("/good/")}
    assert agents == {"WEB_INSTALL_3_0"}


@pytest.mark.usefixtures("direct", "nothing_installed")
def test_an_installer_of_another_company_is_error_9_in_the_window(wine, temp_dir, http_server, installers):
    url, _ = serve_release(http_server, installers["other+maker"], "other")
    run = Run(wine, temp_dir, {"updateXmlUrl": url}, extra_env={"WINEDEBUG": "-all,fixme+progress"})
    try:
        run.wait_for_status("Aborted.(Error:9)")
        assert run.messages()[-3:] == [
            ("INFO", "A certificate with a subject name [Veltrane, Inc] can not be found!"),
            ("ERROR", "Error occurred, error code = [9]."),
            ("ERROR", "ThreadProc exception caught, type std::exception, display error message.")]
    finally:
        assert run.close() == 0
    assert "state 2 not yet handled" in run.out.read_text(errors="replace")


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


def veltstamp(*args):
    return subprocess.run([str(HOST_BIN / "veltstamp"), *map(str, args)], capture_output=True, text=True)


def _wrapped(image):
    """The last section moved to 0xFFFFF000 with 0x1400 bytes: its end wraps around 32 bits."""
    pe = int.from_bytes(image[60:64], "little")
    count = int.from_bytes(image[pe + 6:pe + 8], "little")
    entry = pe + 24 + int.from_bytes(image[pe + 20:pe + 22], "little") + 40 * (count - 1)
    image[entry + 16:entry + 24] = (0x1400).to_bytes(4, "little") + (0xFFFFF000).to_bytes(4, "little")
    return image


@pytest.mark.parametrize("image, document, reason", [
    (_wrapped, '{"updateXmlUrl": "http://h/u.xml"}', "wraps around 32 bits"),
    (None, "this is not { json", "the metadata is not JSON"),
    (None, '{"kestrelLauncherArguments": "x"}', '"updateXmlUrl" is missing'),
    (None, '{"updateXmlUrl": "update.xml"}', "not an absolute http or https URL"),
], ids=["wrapping-section", "not-json", "no-url", "relative-url"])
def test_the_packaging_step_refuses_what_no_stub_can_use_and_leaves_nothing(tmp_path, image, document, reason):
    stub = tmp_path / "stub.exe"
    stub.write_bytes(bytes(image(bytearray(STUB.read_bytes()))) if image else STUB.read_bytes())
    out = veltstamp(stub, tmp_path / "release.exe", "--json", document)
    assert out.returncode == 1 and reason in out.stderr, out.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["stub.exe"]


def test_a_signed_release_shows_its_metadata_and_a_planted_link_is_replaced_not_followed(tmp_path, pki):
    document = '{\n\t"updateXmlUrl": "http://h/utility/kestrel/update.xml",\n\t"kestrelLauncherArguments": "-postPurchase"\n}'
    victim = tmp_path / "victim"
    victim.write_bytes(b"keep")
    (tmp_path / "stamped.exe").symlink_to(victim)
    assert veltstamp(STUB, tmp_path / "stamped.exe", "--json", document).returncode == 0
    assert victim.read_bytes() == b"keep" and not (tmp_path / "stamped.exe").is_symlink()
    signed = pki.sign(tmp_path / "stamped.exe", tmp_path / "signed.exe", "maker")
    shown = veltstamp("--show", signed)
    assert (shown.returncode, shown.stdout) == (0, document + "\n")
    assert veltstamp("--show", STUB).returncode == 1
    assert sorted(p.name for p in tmp_path.iterdir() if not p.name.startswith("signed.exe.")) == [
        "signed.exe", "stamped.exe", "victim"]
