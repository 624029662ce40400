"""Harness of the end-to-end tests of the real bootstrap exe under Wine.

One Wine prefix, one wineserver and one X display per run: when ./test.sh has set them up
(VELT_WINE_SESSION=1) they are taken from the environment, otherwise this harness starts its
own (prefix under build/, a private Xvfb) and stops them by their process ids at the end.
The exe is stamped with metadata by the real packaging tool (build/host/bin/veltstamp) and its
window is read from outside by build/win/bin/winprobe.exe.
"""
import base64
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
# The HTTP server and the test PKI of the download tests serve here too.
sys.path.insert(0, str(REPO / "tests" / "net"))
# The scripted proxy answers as squid cannot be made to.
sys.path.insert(0, str(REPO / "tests" / "proxymanager"))
sys.path.insert(0, str(REPO / "tests"))
from testlib import stop_process as stop, winpath  # noqa: E402,F401

WIN_BIN = REPO / "build" / "win" / "bin"
HOST_BIN = REPO / "build" / "host" / "bin"
STUB = WIN_BIN / "VeltappBootstrap.exe"
VELTSTAMP = HOST_BIN / "veltstamp"
WINPROBE = WIN_BIN / "winprobe.exe"
ARTIFACTS = REPO / "build" / "artifacts"
MARKER = "{B2F2947D-EA42-43B8-8EB5-BB9FE4B236E2}"


class WineSession:
    def __init__(self, env, temp_dir):
        self.env = env
        self.temp_dir = Path(temp_dir)  # the prefix's %TEMP% as a Unix path

    def run(self, args, timeout=60, extra_env=None, cwd=None):
        """Runs a Windows program to its end; output through files, never a pipe."""
        with tempfile.TemporaryFile() as out:
            proc = subprocess.run(["wine", *map(str, args)], stdout=out, stderr=subprocess.STDOUT,
                                  env={**self.env, **(extra_env or {})}, cwd=cwd, timeout=timeout)
            out.seek(0)
            return proc.returncode, out.read().decode("utf-8", "replace")


class RunningBootstrap:
    """One run of a stamped stub: the Wine process, its stderr trace, and the log lines it adds."""

    def __init__(self, wine, exe, args, extra_env, cwd, log_path):
        self.wine = wine
        self.exe = exe
        self.log_path = log_path
        self.log_start = log_path.stat().st_size if log_path.exists() else 0
        self.out = tempfile.NamedTemporaryFile(delete=False, suffix=".out")
        env = {**wine.env, **(extra_env or {})}
        self.proc = subprocess.Popen(["wine", str(exe), *args], stdout=self.out, stderr=subprocess.STDOUT,
                                     env=env, cwd=str(cwd or exe.parent))

    def wait(self, timeout=60):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.close_window()
            stop(self.proc)
            raise

    def output(self):
        return Path(self.out.name).read_text(errors="replace")

    def log_lines(self):
        if not self.log_path.exists():
            return []
        data = self.log_path.read_bytes()[self.log_start:]
        return data.decode("latin-1").split("\r\n")[:-1]

    def _probe(self, command, title):
        with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
            out = Path(f.name)
        try:
            self.wine.run([WINPROBE, winpath(out), command, title], timeout=30)
            return json.loads(out.read_text(encoding="utf-8") or '{"found": false}')
        finally:
            out.unlink()

    def state(self, title="Veltrane"):
        return self._probe("state", title)

    def wait_for(self, predicate, timeout=30, what="window state", title="Veltrane"):
        deadline = time.time() + timeout
        last = None
        while time.time() < deadline:
            last = self.state(title)
            if predicate(last):
                return last
            if self.proc.poll() is not None:
                break
            time.sleep(0.2)
        raise AssertionError(f"timed out waiting for {what}; last state {last}; log {self.log_lines()}; "
                             f"wine output (tail) {self.output()[-3000:]}")

    def close_window(self, title="Veltrane"):
        return self._probe("close", title)

    def screenshot(self, name):
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        target = ARTIFACTS / f"{name}.png"
        subprocess.run(["import", "-display", self.wine.env["DISPLAY"], "-window", "root", str(target)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        return target

    def cleanup(self):
        if self.proc.poll() is None:
            self.close_window()
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                stop(self.proc)
        self.out.close()
        os.unlink(self.out.name)


class Bootstrap:
    """Stamps stubs into a test folder and runs them."""

    def __init__(self, wine, folder):
        self.wine = wine
        self.folder = folder
        self.log_path = wine.temp_dir / "VeltappBootstrap.log"
        self.runs = []

    def stamp(self, metadata, name="VeltappBootstrap.exe", folder=None, unusable=False):
        """A stamped copy of the stub; `unusable` documents (to see the stub refuse them) are
        stamped past the packaging tool's document check."""
        target = Path(folder or self.folder) / name
        target.parent.mkdir(parents=True, exist_ok=True)
        text = metadata if isinstance(metadata, str) else json.dumps(metadata, indent="\t")
        subprocess.run([str(VELTSTAMP), str(STUB), str(target), "--json", text] + (["--unchecked"] if unusable else []),
                       check=True, stdout=subprocess.DEVNULL)
        return target

    def plain_stub(self, name="VeltappBootstrap.exe"):
        target = self.folder / name
        shutil.copyfile(STUB, target)
        return target

    def start(self, exe, args=(), lang=None, extra_env=None, cwd=None):
        env = dict(extra_env or {})
        if lang:
            env.update(LANG=lang, LC_ALL=lang)
        run = RunningBootstrap(self.wine, Path(exe), list(args), env, cwd, self.log_path)
        self.runs.append(run)
        return run


APP_KEY = r"HKLM\SOFTWARE\Veltrane\Veltrane Application Manager"


def manifest(version, base_url, file_name="VeltraneDesktopApp.exe", pin=None, expires=None):
    """An update manifest announcing `version` (None: no version element) of the installer;
    `pin` (the installer's bytes, or a (sha256 text, size text) pair) and `expires` add the
    elements a signed manifest carries."""
    ver = "" if version is None else f"<version>{version}</version>"
    exp = "" if expires is None else f"<expires>{expires}</expires>"
    if isinstance(pin, bytes):
        pin = (hashlib.sha256(pin).hexdigest(), str(len(pin)))
    pinned = "" if pin is None else f"<sha256>{pin[0]}</sha256><size>{pin[1]}</size>"
    return (f'<?xml version="1.0" encoding="UTF-8"?>\n<installerInformation>{ver}{exp}'
            f"<downloadLocationList><downloadLocation><url>{base_url}</url></downloadLocation>"
            f"</downloadLocationList><platformFileList><file><platform>windows</platform>"
            f"<filename>{file_name}</filename>{pinned}</file></platformFileList></installerInformation>\n").encode()


class UpdateKeys:
    """Manifest signing keys made by openssl in the test run: P-256 keys by name, their public
    keys as the metadata carries them, and signatures as the release recipe makes them."""

    def __init__(self, folder):
        self.dir = Path(folder)
        for name in ("first", "second", "stranger"):
            self._openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", self.key(name))
        # Keys a stub must refuse: another curve, another algorithm.
        self._openssl("ecparam", "-name", "secp384r1", "-genkey", "-noout", "-out", self.key("p384"))
        self._openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", self.key("rsa"))

    def _openssl(self, *args, data=None):
        return subprocess.run(["openssl", *map(str, args)], check=True, capture_output=True, input=data).stdout

    def key(self, name):
        return self.dir / f"{name}.pem"

    def public(self, name):
        der = self._openssl("pkey", "-in", self.key(name), "-pubout", "-outform", "DER")
        return base64.b64encode(der).decode()

    def sign(self, name, data):
        return self._openssl("dgst", "-sha256", "-sign", self.key(name), data=data)


class Registry:
    """The application's key as the 32-bit stub sees it, written with Wine's own reg tool."""

    def __init__(self, wine):
        self.wine = wine

    def clear(self):
        self.wine.run(["reg", "delete", APP_KEY, "/f", "/reg:32"])

    def set(self, name, value, kind="REG_SZ"):
        rc, out = self.wine.run(["reg", "add", APP_KEY, "/v", name, "/t", kind, "/d", str(value), "/f", "/reg:32"])
        assert rc == 0, out

    def query(self, name):
        rc, out = self.wine.run(["reg", "query", APP_KEY, "/v", name, "/reg:32"])
        return out if rc == 0 else None


def read_records(path):
    """The runs fakeapp recorded (installer and launcher stand-ins)."""
    if not Path(path).exists():
        return []
    return [json.loads(line) for line in Path(path).read_text(encoding="utf-8").splitlines() if line.strip()]
