"""The whole bootstrap on the real exe: manifest, version decision, installer download, trust,
unattended run, launcher start; against a local update server, the real registry and real
processes (fakeapp stands in for the installer and the launcher and records how it was run)."""
import hashlib
import json
import os
import shutil
import subprocess
import threading
import time
from pathlib import Path

import pytest

from e2e_harness import REPO, STUB, VELTSTAMP, WIN_BIN, Registry, UpdateKeys, manifest, read_records, winpath
from net_harness import NETTOOL, Pki, Route, Server, Squid
from scripted_proxy import ScriptedProxy

MANIFEST_PATH = "/utility/kestrel/update.xml"
KEY_NAMES = ("first", "second", "stranger", "p384", "rsa")
JSON_NULL = object()
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
    lookalike = pki.sign(WIN_BIN / "fakeapp.exe", folder / "lookalike.exe", "lookalike")
    # Another maker-signed program, told apart from the served one by its size.
    intruder = pki.sign(WIN_BIN / "fakeapp.exe", folder / "intruder.exe", "maker", added=("other", "root"))
    # A maker-signed file that is no program at all: it passes the checks but cannot be started.
    not_a_program = pki.sign(WIN_BIN / "planted_dll.dll", folder / "dll.exe", "maker")
    # Another program the maker signed: it passes every check but a pin of the installer.
    maker_other = pki.sign(WIN_BIN / "winprobe.exe", folder / "maker-other.exe", "maker")
    server = Server()
    server.files = {"maker": signed.read_bytes(), "other": other.read_bytes(), "dll": not_a_program.read_bytes(),
                    "maker-other": maker_other.read_bytes(),
                    "unsigned": (WIN_BIN / "fakeapp.exe").read_bytes(), "lookalike": lookalike.read_bytes(),
                    "intruder": intruder.read_bytes()}
    server.intruder = intruder
    server.keys = UpdateKeys(tmp_path_factory.mktemp("keys"))
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

    def serve_signed(self, signer="first", installer="maker", pin="maker", expires=None, tamper=False,
                     signature=True, extra=0, cut=False):
        """A manifest signed by `signer` pinning the installer `pin` (None: no pin; a pair: its
        texts), with `installer` served in its place, `extra` bytes after it, `cut` halfway and
        then resumed; `tamper` changes one byte of the manifest after signing."""
        half = len(self.site.files[installer]) // 2
        self.serve("2.0.0.0", installer, **(dict(drop_after=[half], ranges=True, etag='"v1"') if cut else {}))
        pinned = self.site.files[pin] if isinstance(pin, str) else pin(self.site.files) if callable(pin) else pin
        body = manifest("2.0.0.0", self.site.url("/files/"), INSTALLER, pin=pinned, expires=expires)
        self.signature = self.site.keys.sign(signer, body)
        if tamper:
            body = body.replace(b"<version>2.", b"<version>3.")
        self.site.routes[MANIFEST_PATH].body = body
        if signature:
            self.site.routes[MANIFEST_PATH + ".sig"] = Route(self.signature)
        self.site.routes["/files/" + INSTALLER].body += b"\0" * extra

    def start(self, arguments="-postPurchase", fake_version="2.0.0.0", extra_env=None, args=(), keys=None,
              unchecked=False, exe=None):
        meta = {"updateXmlUrl": self.site.url(MANIFEST_PATH)}
        if keys is JSON_NULL:
            meta["updateXmlKeys"] = None
        elif keys is not None:
            names = self.site.keys
            meta["updateXmlKeys"] = [names.public(k) if k in KEY_NAMES else k for k in keys] \
                if isinstance(keys, list) else keys
        if arguments is not None:
            meta["kestrelLauncherArguments"] = arguments
        self.metadata = meta
        if exe is None:
            exe = self.bootstrap.stamp(meta, folder=self.downloads, unusable=unchecked)
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


@pytest.mark.parametrize("installer", ["other", "unsigned", "lookalike"])
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


def test_a_users_file_named_by_the_manifest_survives_a_failed_download(scenario, registry):
    scenario.serve("2.0.0.0", file_name="taxes-2025.pdf", status=404)
    (scenario.downloads / "taxes-2025.pdf").write_bytes(b"the user's own")
    msgs = failed_with(scenario.start(), 8)
    assert msgs[-1] == "Error occurred, error code = [8]." and len(scenario.installer_requests()) == 4
    assert (scenario.downloads / "taxes-2025.pdf").read_bytes() == b"the user's own"


class Racer:
    """nettool race: another process of the user, trying all along to write over `target` or to
    replace it with `source`, until stopped."""

    def __init__(self, wine, tmp, mode, target, source):
        self.stop_file, self.out = tmp / "race.stop", tmp / "race.json"
        self.proc = subprocess.Popen(["wine", str(NETTOOL), "race", mode, winpath(target), winpath(source),
                                      winpath(self.stop_file), winpath(self.out)], env=wine.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 60
        while not self.out.exists() and self.proc.poll() is None and time.time() < deadline:
            time.sleep(0.1)
        assert self.out.exists(), "the racing process did not start"

    def finish(self):
        self.stop_file.write_bytes(b"")
        self.proc.wait(60)
        result = json.loads(self.out.read_text())
        assert "refused" in result, "the racing process did not finish"
        return result


@pytest.mark.parametrize("target,mode,route", [
    # Writing into the installer while it arrives, and replacing it while a resume waits.
    (INSTALLER, "write", dict(chunk=8 * 1024, delay=0.05)),
    (INSTALLER, "replace", dict(drop_after=[8192, 8192], ranges=True, etag='"b1"', chunk=4096)),
    # Rewriting the manifest once it has arrived, to name a program planted beside the stub.
    ("update.xml", "write", dict(chunk=8 * 1024, delay=0.05)),
], ids=["write-installer", "replace-installer", "rewrite-manifest"])
def test_another_process_of_the_user_never_chooses_what_runs(scenario, registry, wine, target, mode, route):
    scenario.serve("2.0.0.0", **route)
    if target == INSTALLER:
        source = scenario.site.intruder
    else:
        shutil.copyfile(WIN_BIN / "fakeapp.exe", scenario.downloads / "planted.exe")
        source = scenario.tmp / "planted.xml"
        source.write_bytes(manifest("2.0.0.0", scenario.site.url("/files/"), "planted.exe"))
    racer = Racer(wine, scenario.tmp, mode, scenario.downloads / target, source)
    try:
        run = scenario.start()
        deadline = time.time() + 120
        while run.proc.poll() is None and time.time() < deadline:
            if (run.state().get("status") or "").startswith("Aborted"):
                run.close_window()
                break
            time.sleep(0.2)
        assert run.wait(30) == 0
    finally:
        raced = racer.finish()
    # Only the bytes the server sent ever start: the run installs them, or, had the other
    # process got in between the download and the lock, refuses with 9 (other bytes) or 8 (the
    # file held open by it, so it cannot be locked) and starts nothing.
    served = len(scenario.site.files["maker"])
    runs = [(r["name"], r["size"]) for r in scenario.runs()]
    refused = [m for m in messages(run) if m.startswith("Error occurred, error code = [")]
    if refused:
        assert refused in (["Error occurred, error code = [8]."], ["Error occurred, error code = [9]."]) and runs == []
    else:
        assert runs == [(INSTALLER, served), ("VeAppMgrLauncher.exe", served)], messages(run)
    # The other process was there all along: kept out of the installer while it downloaded, and
    # free to write the manifest once it had arrived.
    assert raced["refused"] > 0 if target == INSTALLER else raced["wrote"] > 0


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


SIGNATURE_REFUSED = "The update manifest's signature does not verify under any of the stub's update keys."
NO_PIN = "The signed update manifest names no valid sha256 and size for the installer."
NOT_PINNED = "The installer is not the one the signed update manifest names."
INSTALLER_ERRORS = (NOT_PINNED, "The download is longer than")


@pytest.mark.parametrize("keys,served,code,error", [
    (["first"], {}, 0, None),
    (["stranger", "second"], {"signer": "second"}, 0, None),  # any of the keys, here the second
    (["first"], {"expires": "2099-12-31T23:59:59Z"}, 0, None),
    (["first"], {"tamper": True}, 9, SIGNATURE_REFUSED),
    (["first"], {"signer": "stranger"}, 9, SIGNATURE_REFUSED),
    (["first"], {"signature": False}, 8, None),
    (["first"], {"pin": None}, 9, NO_PIN),
    (["first"], {"pin": ("ab" * 32, "0")}, 9, NO_PIN),
    (["first"], {"pin": ("ab" * 31 + "a", "12")}, 9, NO_PIN),
    (["first"], {"expires": "2001-02-03T04:05:06Z"}, 9, "The update manifest has expired."),
    (["first"], {"expires": "2099-02-29T00:00:00Z"}, 9,
     "The update manifest's expiry time is not a UTC time of the form YYYY-MM-DDTHH:MM:SSZ."),
    # Another program of the maker in the installer's place: of the pinned size, but not its hash.
    (["first"], {"installer": "maker-other", "pin": lambda files: (hashlib.sha256(files["maker"]).hexdigest(),
                                                                   str(len(files["maker-other"])))}, 9, NOT_PINNED),
    (["first"], {"extra": 64 << 20}, 9, "The download is longer than"),
    # Neither part is longer than the pin; together they are.
    (["first"], {"extra": 4096, "cut": True}, 9, "The download is longer than"),
], ids=["signed", "second-key", "not-yet-expired", "one-byte-changed", "unknown-key", "no-signature", "no-pin",
        "size-zero", "short-hash", "expired", "no-such-date", "other-maker-program", "endless", "resumed-too-long"])
def test_signed_manifest(scenario, registry, keys, served, code, error):
    scenario.serve_signed(**served)
    run = scenario.start(keys=keys)
    installer_route = scenario.site.routes["/files/" + INSTALLER]
    requested = code == 0 or (error or "").startswith(INSTALLER_ERRORS)
    if code == 0:
        assert run.wait(90) == 0
        assert [r["name"] for r in scenario.runs()] == [INSTALLER, "VeAppMgrLauncher.exe"]
        assert (scenario.downloads / "update.xml.sig").read_bytes() == scenario.signature
        which = 2 if served.get("signer") == "second" else 1
        assert f"The update manifest's signature verifies under update key {which}." in messages(run)
    else:
        msgs = failed_with(run, code)
        assert msgs[-1] == f"Error occurred, error code = [{code}]."
        if error:
            assert any(m.startswith(error) for m in msgs[-3:]), msgs[-3:]
        assert scenario.runs() == [] and not (scenario.downloads / INSTALLER).exists()
    paths = [r["path"] for r in scenario.site.requests]
    assert paths[:2] == [MANIFEST_PATH, MANIFEST_PATH + ".sig"]
    assert bool(scenario.installer_requests()) == requested
    if served.get("cut"):
        assert scenario.installer_requests()[1]["headers"]["Range"].startswith("bytes=")
    elif served.get("extra"):
        # Cut off once the pinned size is passed, long before the server could send it all.
        assert installer_route.sent < len(installer_route.body) - (32 << 20)


@pytest.mark.parametrize("keys,error", [
    ("first", 'The metadata\'s "updateXmlKeys" is not an array.'),
    ([], 'The metadata\'s "updateXmlKeys" is an empty array.'),
    (["first"] * 9, 'The metadata\'s "updateXmlKeys" holds more than 8 keys.'),
    (["first", 7], 'The metadata\'s "updateXmlKeys" holds an entry that is not a string (entry 2).'),
    (["first", "AAAA AAAA"], 'The metadata\'s "updateXmlKeys" holds an entry that is not standard base64 (entry 2).'),
    (["rsa"], 'The metadata\'s "updateXmlKeys" entry 1 is not an ECDSA P-256 public key.'),
    (["first", "p384"], 'The metadata\'s "updateXmlKeys" entry 2 is not an ECDSA P-256 public key.'),
    (["QUJD"], 'The metadata\'s "updateXmlKeys" entry 1 is not an ECDSA P-256 public key.'),
])
def test_unusable_update_keys_end_with_code_3_before_any_request(scenario, registry, keys, error):
    scenario.serve_signed()
    run = scenario.start(keys=keys, unchecked=True)
    # The packaging tool refuses the same metadata, for the same reason.
    stamped = subprocess.run([str(VELTSTAMP), str(STUB), str(scenario.tmp / "refused.exe"), "--json",
                              json.dumps(scenario.metadata)], capture_output=True, text=True)
    assert stamped.returncode == 1 and error[len("The "):-1] in stamped.stderr, stamped.stderr
    assert not (scenario.tmp / "refused.exe").exists()
    msgs = failed_with(run, 3)
    assert msgs[-2:] == [error, "Error occurred, error code = [3]."]
    assert scenario.site.requests == [] and scenario.runs() == []


@pytest.mark.parametrize("keys", [None, "null"])
def test_without_keys_the_requests_and_log_lines_are_those_of_old(scenario, registry, keys):
    # The same delivery twice: a plain manifest, then one with a wrong pin and a past expiry,
    # which a stub without keys does not look at.
    outcomes = []
    for pinned in (False, True):
        registry.clear()
        scenario.serve("2.0.0.0")
        if pinned:
            scenario.site.routes[MANIFEST_PATH].body = manifest(
                "2.0.0.0", scenario.site.url("/files/"), INSTALLER, pin=("00" * 32, "1"), expires="2001-01-01T00:00:00Z")
        run = scenario.start(keys=None if keys is None else JSON_NULL)
        assert run.wait(90) == 0
        outcomes.append(([r["path"] for r in scenario.site.requests], messages(run), [r["name"] for r in scenario.runs()]))
        scenario.record.unlink()
    assert outcomes[0] == outcomes[1]
    assert outcomes[0][0] == [MANIFEST_PATH, "/files/" + INSTALLER]
    assert outcomes[0][2] == [INSTALLER, "VeAppMgrLauncher.exe"]
    assert not (scenario.downloads / "update.xml.sig").exists()


def test_readme_recipe_as_written(scenario, registry):
    readme = (REPO / "README.md").read_text()
    recipe = readme.split("<!-- signed-manifest recipe", 1)[1].split("```sh\n", 1)[1].split("```", 1)[0]
    work = scenario.tmp / "release"
    (work / "out").mkdir(parents=True)
    (work / "build").symlink_to(REPO / "build")
    (work / "out" / INSTALLER).write_bytes(scenario.site.files["maker"])
    env = {**os.environ, "MANIFEST_URL": scenario.site.url(MANIFEST_PATH), "BASE_URL": scenario.site.url("/files/")}
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", recipe], cwd=work, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    scenario.serve("2.0.0.0")
    for name, path in (("update.xml", MANIFEST_PATH), ("update.xml.sig", MANIFEST_PATH + ".sig")):
        scenario.site.routes[path] = Route((work / "out" / name).read_bytes())
    exe = scenario.downloads / "VeltappBootstrap.exe"
    shutil.copyfile(work / "out" / "VeltappBootstrap.exe", exe)
    run = scenario.start(exe=exe)
    assert run.wait(90) == 0
    assert [r["name"] for r in scenario.runs()] == [INSTALLER, "VeAppMgrLauncher.exe"]
    assert "The update manifest's signature verifies under update key 1." in messages(run)
