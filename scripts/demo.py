#!/usr/bin/env python3
"""The demo run behind ./run.sh: a local update server, a demo installer signed at run time by a
demo certificate whose subject names the maker, a stub stamped to point at that server, and two
runs of it under Wine: the first installs and starts the launcher, the second finds the
application up to date and only starts the launcher. Prints the log and what was started.

Expects the Wine session of scripts/wine-session.sh (WINEPREFIX, DISPLAY, VELT_WINE_TEMP).
"""
import json
import os
import shutil
import subprocess
import sys
import threading
import time
from functools import partial
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WIN_BIN = ROOT / "build" / "win" / "bin"
OUT = ROOT / "build" / "run"
VERSION = "1.0.0.0"
APP_KEY = r"HKLM\SOFTWARE\Veltrane\Veltrane Application Manager"


def winpath(path):
    return "Z:" + str(path).replace("/", "\\")


def wine(*args, env=None, timeout=120):
    with open(OUT / "wine.out", "ab") as out:
        return subprocess.run(["wine", *map(str, args)], stdout=out, stderr=subprocess.STDOUT,
                              env={**os.environ, **(env or {})}, timeout=timeout).returncode


def openssl(*args):
    subprocess.run(["openssl", *map(str, args)], check=True, capture_output=True)


def sign_demo_installer(folder):
    """A throw-away root and a code-signing certificate of "Veltrane, Inc." made for this run."""
    pki = folder / "pki"
    pki.mkdir()
    (pki / "ext.cnf").write_text("[codesign]\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                                 "extendedKeyUsage=codeSigning\n")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", pki / "root.key", "-out", pki / "root.pem",
            "-days", "2", "-subj", "/CN=Veltrane Demo Root", "-addext", "basicConstraints=critical,CA:TRUE")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", pki / "signer.key", "-out", pki / "signer.csr",
            "-subj", "/C=US/O=Veltrane, Inc./CN=Veltrane, Inc.")
    openssl("x509", "-req", "-in", pki / "signer.csr", "-CA", pki / "root.pem", "-CAkey", pki / "root.key",
            "-set_serial", "1", "-days", "2", "-out", pki / "signer.pem", "-extfile", pki / "ext.cnf",
            "-extensions", "codesign")
    (pki / "chain.pem").write_bytes((pki / "signer.pem").read_bytes() + (pki / "root.pem").read_bytes())
    files = folder / "site" / "files"
    files.mkdir(parents=True)
    subprocess.run(["osslsigncode", "sign", "-certs", pki / "chain.pem", "-key", pki / "signer.key",
                    "-n", "Veltrane Desktop App (demo)", "-h", "sha256", "-in", WIN_BIN / "fakeapp.exe",
                    "-out", files / "VeltraneDesktopApp.exe"], check=True, capture_output=True)


class QuietHandler(SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve(site):
    handler = partial(QuietHandler, directory=str(site))
    httpd = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    return httpd


def run_stub(exe, env, screenshot=None):
    proc = subprocess.Popen(["wine", str(exe)], stdout=open(OUT / "wine.out", "ab"), stderr=subprocess.STDOUT,
                            env={**os.environ, **env}, cwd=str(exe.parent))
    if screenshot and os.environ.get("VELT_USER_DISPLAY") != "1":
        probe = OUT / "probe.json"
        for _ in range(150):
            wine(WIN_BIN / "winprobe.exe", winpath(probe), "state")
            if probe.exists() and "Installing" in probe.read_text(encoding="utf-8"):
                subprocess.run(["import", "-display", os.environ["DISPLAY"], "-window", "root", str(screenshot)],
                               capture_output=True)
                print(f"   window while installing: {probe.read_text(encoding='utf-8').strip()}")
                print(f"   screenshot: {screenshot}")
                break
            if proc.poll() is not None:
                break
            time.sleep(0.2)
    return proc.wait(300)


def main():
    shutil.rmtree(OUT, ignore_errors=True)
    OUT.mkdir(parents=True)
    sign_demo_installer(OUT)
    site = OUT / "site"
    httpd = serve(site)
    base = f"http://localhost:{httpd.server_address[1]}"
    manifest = site / "utility" / "kestrel" / "update.xml"
    manifest.parent.mkdir(parents=True)
    manifest.write_text(
        f'<?xml version="1.0" encoding="UTF-8"?>\n<installerInformation><version>{VERSION}</version>'
        f"<downloadLocationList><downloadLocation><url>{base}/files/</url></downloadLocation>"
        f"</downloadLocationList><platformFileList><file><platform>windows</platform>"
        f"<filename>VeltraneDesktopApp.exe</filename></file></platformFileList></installerInformation>\n")

    downloads = OUT / "Downloads"
    downloads.mkdir()
    metadata = OUT / "metadata.json"
    metadata.write_text('{\n\t"updateXmlUrl": "%s/utility/kestrel/update.xml",\n'
                        '\t"kestrelLauncherArguments": "-postPurchase"\n}' % base)
    exe = downloads / "VeltappBootstrap.exe"
    subprocess.run([ROOT / "build" / "host" / "bin" / "veltstamp", WIN_BIN / "VeltappBootstrap.exe", exe,
                    "--json-file", metadata], check=True)

    # A machine without the application, whose Internet settings say: connect directly.
    wine("reg", "delete", APP_KEY, "/f", "/reg:32")
    wine(WIN_BIN / "nettool.exe", "ie", "1", "-")
    record = OUT / "started.jsonl"
    log = Path(os.environ["VELT_WINE_TEMP"]) / "VeltappBootstrap.log"
    start = log.stat().st_size if log.exists() else 0
    env = {"VELT_FAKE_RECORD": winpath(record), "VELT_FAKE_VERSION": VERSION, "VELT_FAKE_SLEEP_MS": "1500"}

    print(f"== first run: nothing installed (update server {base})")
    rc = run_stub(exe, env, screenshot=OUT / "installing.png")
    print(f"   exit code {rc}")
    print("== second run: the application is up to date")
    rc2 = run_stub(exe, env)
    print(f"   exit code {rc2}")
    httpd.shutdown()

    print("== programs the bootstrap started")
    for line in record.read_text(encoding="utf-8").splitlines() if record.exists() else []:
        r = json.loads(line)
        print(f"   {r['name']}: {r['cmdline']}   (in {r['cwd']})")
    print(f"== log ({log})")
    sys.stdout.write(log.read_bytes()[start:].decode("latin-1").replace("\r\n", "\n"))
    return 0 if rc == 0 and rc2 == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
