"""The whole bootstrap on the real exe: manifest, version decision, installer download, trust,
unattended run, launcher start; against a local update server, the real registry and real
processes (fakeapp stands in for the installer and the launcher and records how it was run)."""
import shutil
import threading
import time
from pathlib import Path

import pytest

from e2e_harness import WIN_BIN, Registry, manifest, read_records, winpath
from net_harness import NETTOOL, Pki, Route, Server, Squid
from scripted_proxy import ScriptedProxy

MANIFEST_PATH = "/utility/kestrel/update.xml"
INSTALLER = "VeltraneDesktopApp.exe"


@pytest.fixture(scope="module")
def site(tmp_path_factory, wine):
    """An update server with the maker-signed stand-in installer; the user's settings: no proxy."""
    rc, out = wine.run([NETTOOL, "ie", 1, "-"])
    assert rc == 0, out
    pki = Pki(tmp_path_factory.mktemp("pki"))
    folder = tmp_path_factory.mktemp("site")
    signed = pki.sign(WIN_BIN / "fakeapp.exe", folder / INSTALLER, "maker")
    other = pki.sign(WIN_BIN / "fakeapp.exe", folder / "other.exe", "other")
    # A maker-signed file that is no program at all: it passes the checks but cannot be started.
    not_a_program = pki.sign(WIN_BIN / "planted_dll.dll", folder / "dll.exe", "maker")
    server = Server()
    server.files = {"maker": signed.read_bytes(), "other": other.read_bytes(), "dll": not_a_program.read_bytes(),
                    "unsigned": (WIN_BIN / "fakeapp.exe").read_bytes()}
    yield server
    server.stop()


@pytest.fixture
def registry(wine):
    reg = Registry(wine)
    reg.clear()
    yield reg
    reg.clear()


class Scenario:
    def __init__(self, bootstrap, site, tmp_path):
        self.bootstrap = bootstrap
        self.site = site
        self.tmp = tmp_path
        self.record = tmp_path / "runs.jsonl"
        self.install_dir = tmp_path / "Program Files" / "Veltrane"
        self.downloads = tmp_path / "Downloads"
        self.downloads.mkdir()

    def serve(self, version, installer="maker", file_name=INSTALLER, **route):
        self.site.routes.clear()
        self.site.requests.clear()
        self.site.routes[MANIFEST_PATH] = Route(manifest(version, self.site.url("/files/"), file_name))
        self.site.routes["/files/" + file_name] = Route(self.site.files[installer], **route)

    def installer_requests(self):
        return [r for r in self.site.requests if r["path"].startswith("/files/")]

    def start(self, arguments="-postPurchase", fake_version="2.0.0.0", extra_env=None, args=()):
        meta = {"updateXmlUrl": self.site.url(MANIFEST_PATH)}
        if arguments is not None:
            meta["kestrelLauncherArguments"] = arguments
        exe = self.bootstrap.stamp(meta, folder=self.downloads)
        env = {"VELT_FAKE_RECORD": winpath(self.record), "VELT_FAKE_LOCATION": winpath(self.install_dir),
               "VELT_FAKE_VERSION": fake_version, **(extra_env or {})}
        return self.bootstrap.start(exe, args, extra_env=env)

    def runs(self):
        return read_records(self.record)

    def put_launcher(self, folder):
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(WIN_BIN / "fakeapp.exe", folder / "VeAppMgrLauncher.exe")


@pytest.fixture
def scenario(bootstrap, site, tmp_path, registry):
    return Scenario(bootstrap, site, tmp_path)


def messages(run):
    return [line.split("::", 1)[1] for line in run.log_lines() if "::" in line]


def test_nothing_installed_downloads_verifies_installs_and_launches(scenario, registry):
    scenario.serve("2.0.0.0", chunk=64 * 1024, delay=0.05)
    # The stand-in installer stays a moment, so the window can be seen in its installing state.
    run = scenario.start(extra_env={"VELT_FAKE_SLEEP_MS": "3000"})
    installing = run.wait_for(lambda s: s["found"] and s.get("status") == "Installing ...", timeout=90,
                              what="the installing state")
    assert installing["marquee"]
    run.screenshot("installing-en")
    assert run.wait(90) == 0

    runs = scenario.runs()
    assert [r["name"] for r in runs] == [INSTALLER, "VeAppMgrLauncher.exe"]
    installer, launcher = runs
    assert installer["cmdline"] == f'"{INSTALLER}" --mode unattended --launchClient "0"'
    assert installer["cwd"].lower() == winpath(scenario.downloads).lower()
    assert installer["path"].lower() == winpath(scenario.downloads / INSTALLER).lower()
    launcher_path = winpath(scenario.install_dir / "VeAppMgrLauncher.exe")
    assert launcher["cmdline"] == f'"{launcher_path}" -postPurchase'
    assert launcher["cwd"].lower() == winpath(scenario.install_dir).lower()

    msgs = messages(run)
    assert f'launchKestrel: commandLine = "{INSTALLER}" --mode unattended --launchClient "0". szPath = .\\' in msgs
    assert f'launchKestrel: commandLine = "{launcher_path}" -postPurchase. szPath = {winpath(scenario.install_dir)}' \
        in msgs
    assert "A certificate with a subject name [Veltrane, Inc] has been found!" in msgs
    assert not any("error code" in m for m in msgs)
    # The manifest and the installer land next to the stub.
    assert (scenario.downloads / "update.xml").exists()
    assert (scenario.downloads / INSTALLER).read_bytes() == scenario.site.files["maker"]


def test_downloads_cut_short_are_taken_up_again_and_the_installer_runs(scenario, registry):
    size = len(scenario.site.files["maker"])
    third = size // 3
    scenario.serve("2.0.0.0", drop_after=[third], ranges=True, etag='"build-1"', chunk=64 * 1024)
    # The manifest's server offers no ranges: its download starts again from zero.
    scenario.site.routes[MANIFEST_PATH].drop_after = [40]
    run = scenario.start()
    assert run.wait(90) == 0
    assert [r["name"] for r in scenario.runs()] == [INSTALLER, "VeAppMgrLauncher.exe"]
    assert (scenario.downloads / INSTALLER).read_bytes() == scenario.site.files["maker"]
    _, second = scenario.installer_requests()
    assert (second["headers"]["Range"], second["headers"]["If-Range"]) == (f"bytes={third}-", '"build-1"')
    assert [m for m in messages(run) if m.startswith("Download ended early")] == [
        "Download ended early; further request 1 of 5 from byte 0.",
        f"Download ended early; further request 1 of 5 from byte {third}."]


def test_verified_installer_cannot_be_swapped_before_it_has_run(scenario, registry):
    # The installer itself plays the attacker: while it runs, its file is still held by the
    # stub, which opened it before checking the signature.
    scenario.serve("2.0.0.0")
    run = scenario.start(extra_env={"VELT_FAKE_TRY_SWAP": "1"})
    assert run.wait(90) == 0
    installer = scenario.runs()[0]
    assert installer["name"] == INSTALLER
    assert installer["writeBlocked"] and installer["renameBlocked"]
    # The launcher, run from a file nobody holds, can rename itself: the check can tell.
    launcher = scenario.runs()[1]
    assert not launcher["renameBlocked"]


@pytest.mark.parametrize("installed,announced,installs", [
    ("2.0.0.0", "2.0.0.0", False),     # up to date
    ("1.9.9.9", "1.10.0.0", True),     # numerically older
    ("1.0.0.0", "1.2.3", False),       # a three-part announcement never installs
    ("10.0.0.0", "2.0.0.0", False),
])
def test_version_decision(scenario, registry, installed, announced, installs):
    scenario.serve(announced)
    scenario.put_launcher(scenario.install_dir)
    registry.set("Version", installed)
    registry.set("Location", winpath(scenario.install_dir))
    run = scenario.start()
    assert run.wait(90) == 0
    names = [r["name"] for r in scenario.runs()]
    assert names == ([INSTALLER] if installs else []) + ["VeAppMgrLauncher.exe"]
    assert bool(scenario.installer_requests()) == installs


def test_dword_version_is_read_as_text(scenario, registry):
    # 0x00320031 holds the bytes "1\0" "2\0": the text "12", not four parts, so no install.
    scenario.serve("9.0.0.0")
    scenario.put_launcher(scenario.install_dir)
    registry.set("Version", "0x00320031", kind="REG_DWORD")
    registry.set("Location", winpath(scenario.install_dir))
    run = scenario.start()
    assert run.wait(90) == 0
    assert [r["name"] for r in scenario.runs()] == ["VeAppMgrLauncher.exe"]


def test_without_a_recorded_location_no_launcher_starts(scenario, registry):
    scenario.serve("2.0.0.0")
    registry.set("Version", "2.0.0.0")
    run = scenario.start()
    assert run.wait(90) == 0
    assert scenario.runs() == []
    assert not any(m.startswith("launchKestrel:") for m in messages(run))


@pytest.mark.parametrize("trailing", ["", "\\"])
def test_location_with_or_without_backslash_and_no_arguments(scenario, registry, trailing):
    scenario.serve("2.0.0.0")
    scenario.put_launcher(scenario.install_dir)
    registry.set("Version", "2.0.0.0")
    registry.set("Location", winpath(scenario.install_dir) + trailing)
    run = scenario.start(arguments=None)
    assert run.wait(90) == 0
    [launcher] = scenario.runs()
    # One backslash before the name; no arguments leave one blank at the end.
    assert launcher["cmdline"] == f'"{winpath(scenario.install_dir)}\\VeAppMgrLauncher.exe" '


def test_running_installers_are_terminated_before_download_and_before_run(scenario, registry, wine):
    # The installer's last piece waits until the second copy runs: the download cannot end first.
    gate = threading.Event()
    scenario.serve("2.0.0.0", chunk=32 * 1024, hold=gate)
    stale = scenario.tmp / "stale"
    stale.mkdir()
    shutil.copyfile(WIN_BIN / "fakeapp.exe", stale / "veltranedesktopapp.EXE")
    import subprocess

    def start_copy(n):
        started = scenario.tmp / f"started-{n}"
        env = {**wine.env, "VELT_FAKE_SLEEP_MS": "120000", "VELT_FAKE_STARTED": winpath(started)}
        proc = subprocess.Popen(["wine", str(stale / "veltranedesktopapp.EXE")], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 60
        while not started.exists():
            assert proc.poll() is None and time.time() < deadline, "the copy did not start"
            time.sleep(0.1)
        return proc

    first = start_copy(1)
    second = None
    try:
        run = scenario.start()
        # The copy that ran before the start is ended before the download begins.
        first.wait(60)
        # A copy started during the download is ended before the installer runs.
        run.wait_for(lambda s: s["found"] and (s.get("status") or "").startswith("Downloading"), timeout=60,
                     what="the download")
        second = start_copy(2)
        gate.set()
        assert run.wait(120) == 0
        second.wait(60)
    finally:
        gate.set()
        for p in (first, second):
            if p and p.poll() is None:
                p.kill()
    names = [r["name"] for r in scenario.runs()]
    assert names == [INSTALLER, "VeAppMgrLauncher.exe"], "the stale copies never got to record a run"


def test_installer_that_cannot_start_is_logged_and_the_launcher_still_starts(scenario, registry):
    scenario.serve("2.0.0.0", installer="dll")
    scenario.put_launcher(scenario.install_dir)
    registry.set("Version", "1.0.0.0")
    registry.set("Location", winpath(scenario.install_dir))
    run = scenario.start()
    assert run.wait(90) == 0
    assert any(m.startswith("runProcess() fails to create process. error code: ") for m in messages(run))
    assert [r["name"] for r in scenario.runs()] == ["VeAppMgrLauncher.exe"]


def failed_with(run, code, while_shown=lambda: None):
    """Waits for the window's error state, closes it, and gives the log's messages before the
    ThreadProc line."""
    run.wait_for(lambda s: s["found"] and s.get("status") == f"Aborted.(Error:{code})", timeout=90,
                 what=f"error {code}")
    while_shown()
    run.close_window()
    assert run.wait() == 0
    msgs = messages(run)
    assert msgs[-1] == "ThreadProc exception caught, type std::exception, display error message."
    return msgs[:-1]


@pytest.mark.parametrize("installer", ["other", "unsigned"])
def test_refused_installer_is_deleted_before_code_9_is_shown(scenario, registry, installer):
    scenario.serve("2.0.0.0", installer=installer)

    def gone():
        assert not (scenario.downloads / INSTALLER).exists(), "nothing may be left to double-click"
    msgs = failed_with(scenario.start(), 9, while_shown=gone)
    assert msgs[-1] == "Error occurred, error code = [9]." and scenario.runs() == []


@pytest.mark.parametrize("file_name,reason", [
    ("..\\..\\x.exe", "it contains a path or drive separator"),
    ("C:\\x.exe", "it contains a path or drive separator"),
    ("\\\\127.0.0.1\\share\\x.exe", "it contains a path or drive separator"),
    ("NUL.exe", "it is a reserved device name"),
    ("x.exe.", "it ends in a dot or a blank"),
])
def test_installer_name_that_is_not_a_plain_file_name_is_refused_before_writing(scenario, registry, file_name,
                                                                                  reason):
    scenario.serve("2.0.0.0", file_name=file_name)
    # The attacker's server answers for the name as WinHTTP sends it (backslashes escaped).
    scenario.site.routes["/files/" + file_name.replace("\\", "%5C")] = scenario.site.routes["/files/" + file_name]
    msgs = failed_with(scenario.start(), 8)
    assert msgs[-2:] == [f"The installer's file name from the manifest is refused: {reason}.",
                         "Error occurred, error code = [8]."]
    assert scenario.installer_requests() == [] and scenario.runs() == []
    assert sorted(p.name for p in scenario.downloads.iterdir()) == ["VeltappBootstrap.exe", "update.xml"]
    for folder in (scenario.tmp.parent, scenario.tmp, Path(scenario.bootstrap.wine.env["WINEPREFIX"]) / "drive_c"):
        assert not (folder / "x.exe").exists(), folder


def test_signed_download_link_with_a_query_is_saved_under_its_path_name(scenario, registry):
    scenario.serve("2.0.0.0", file_name=INSTALLER + "?sig=a%2Fb&amp;exp=2")
    scenario.site.routes["/files/" + INSTALLER] = scenario.site.routes.pop("/files/" + INSTALLER + "?sig=a%2Fb&amp;exp=2")
    run = scenario.start()
    assert run.wait(90) == 0
    assert [r["path"] for r in scenario.installer_requests()] == ["/files/" + INSTALLER + "?sig=a%2Fb&exp=2"]
    assert (scenario.downloads / INSTALLER).read_bytes() == scenario.site.files["maker"]
    assert [r["name"] for r in scenario.runs()] == [INSTALLER, "VeAppMgrLauncher.exe"]


def test_manifest_rewritten_during_the_download_does_not_change_what_runs(scenario, registry):
    # While the installer arrives, update.xml is rewritten to name a program planted beside the
    # stub; what runs is still the file that was downloaded and verified.
    scenario.serve("2.0.0.0", chunk=16 * 1024, delay=0.1)
    shutil.copyfile(WIN_BIN / "fakeapp.exe", scenario.downloads / "planted.exe")
    run = scenario.start()
    run.wait_for(lambda s: s["found"] and (s.get("status") or "").startswith("Downloading"), timeout=60,
                 what="the download")
    (scenario.downloads / "update.xml").write_bytes(manifest("2.0.0.0", scenario.site.url("/files/"), "planted.exe"))
    assert run.wait(120) == 0
    runs = scenario.runs()
    assert [r["name"] for r in runs] == [INSTALLER, "VeAppMgrLauncher.exe"]
    assert runs[0]["path"].lower() == winpath(scenario.downloads / INSTALLER).lower()


def test_name_without_extension_runs_that_file_not_a_planted_exe(scenario, registry):
    scenario.serve("2.0.0.0", file_name="setup")
    shutil.copyfile(WIN_BIN / "fakeapp.exe", scenario.downloads / "setup.exe")
    run = scenario.start()
    assert run.wait(90) == 0
    [installer] = scenario.runs()
    assert installer["path"].lower() == winpath(scenario.downloads / "setup").lower()
    assert installer["cmdline"] == '"setup" --mode unattended --launchClient "0"'


@pytest.mark.parametrize("mode,stored_user,message,probes", [
    # A challenge no credential can answer: no prompt, the only candidate fails.
    ("noscheme", None, "Error in veltGetProxyInfo, error code 2", 1),
    # A stored user name with a lone surrogate (written by another program) has no UTF-8 form:
    # the conversion fails inside the proxy lookup, before the probe sends anything.
    ("ok", "u16:00d8", "The download session cannot be set up: the proxy lookup or a text conversion failed.", 0),
])
def test_proxy_lookup_failures_end_with_code_7(scenario, registry, wine, mode, stored_user, message, probes):
    with ScriptedProxy(mode) as proxy:
        assert wine.run([NETTOOL, "ie", 2, f"127.0.0.1:{proxy.port}"])[0] == 0
        if stored_user:
            assert wine.run([NETTOOL, "cred-write", "127.0.0.1", stored_user, "u16:7000"])[0] == 0
        try:
            scenario.serve("2.0.0.0")
            msgs = failed_with(scenario.start(), 7)
        finally:
            wine.run([NETTOOL, "cred-delete", "127.0.0.1"])
            wine.run([NETTOOL, "ie", 1, "-"])
    assert msgs[-2:] == [message, "Error occurred, error code = [7]."]
    assert len(proxy.requests) == probes and scenario.site.requests == []


def test_closing_the_window_during_the_download_ends_at_once(scenario, registry):
    scenario.serve("2.0.0.0", chunk=8 * 1024, delay=0.2)
    run = scenario.start()
    run.wait_for(lambda s: s["found"] and (s.get("status") or "").startswith("Downloading"), timeout=60,
                 what="the download")
    started = time.time()
    run.close_window()
    assert run.wait(30) == 0
    assert time.time() - started < 10
    partial = scenario.downloads / INSTALLER
    assert partial.exists() and partial.stat().st_size < len(scenario.site.files["maker"])
    assert scenario.runs() == []


def test_started_from_another_folder_writes_next_to_itself(scenario, registry):
    scenario.serve("2.0.0.0")
    elsewhere = scenario.tmp / "elsewhere"
    elsewhere.mkdir()
    meta = {"updateXmlUrl": scenario.site.url(MANIFEST_PATH)}
    exe = scenario.bootstrap.stamp(meta, folder=scenario.downloads)
    run = scenario.bootstrap.start(exe, cwd=elsewhere, extra_env={"VELT_FAKE_RECORD": winpath(scenario.record),
                                                                "VELT_FAKE_LOCATION": winpath(scenario.install_dir)})
    assert run.wait(90) == 0
    assert (scenario.downloads / "update.xml").exists() and (scenario.downloads / INSTALLER).exists()
    assert list(elsewhere.iterdir()) == []


def test_through_an_authenticating_proxy_no_credential_reaches_the_log(scenario, registry, wine):
    user, password = "proxyuser-7f3a", "Pa55-w0rd-\u00e4\u20ac-91c2"
    squid = Squid("basic", {user: password})
    try:
        assert wine.run([NETTOOL, "ie", 2, f"127.0.0.1:{squid.port}"])[0] == 0
        assert wine.run([NETTOOL, "cred-write", "127.0.0.1", user.encode().hex(),
                         password.encode().hex()])[0] == 0
        scenario.serve("2.0.0.0")
        run = scenario.start()
        assert run.wait(120) == 0
        assert [r["name"] for r in scenario.runs()] == [INSTALLER, "VeAppMgrLauncher.exe"]
        access = squid.access_log()
        assert MANIFEST_PATH in access and "/files/" + INSTALLER in access
        assert "4 >> The return code for the http request = [407]." in messages(run)
        raw = run.log_path.read_bytes()[run.log_start:]
        for secret in (password, user):
            for encoding in ("utf-8", "latin-1", "utf-16-le"):
                assert secret.encode(encoding, "replace") not in raw
    finally:
        wine.run([NETTOOL, "cred-delete", "127.0.0.1"])
        wine.run([NETTOOL, "ie", 1, "-"])
        squid.stop()
