"""Building blocks of the download and trust tests: the Windows helper under Wine, local HTTP
and HTTPS servers with scripted answers, squid, and a test PKI with signed installers.

Everything here is started by the test run and stopped by its own process id (or, for the
servers that live in this Python process, shut down explicitly).
"""
import contextlib
import json
import os
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from urllib.parse import urlsplit

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from testlib import Squid, free_port, stop_process, wait_for_port, winpath  # noqa: E402,F401

REPO = Path(__file__).resolve().parents[2]
WIN_BIN = Path(os.environ.get("VELT_WIN_BIN", REPO / "build" / "win" / "bin"))
NETTOOL = WIN_BIN / "nettool.exe"
SIGNER_SUBJECT = "Veltrane, Inc"



def log_messages(path):
    """The bootstrap log's lines as (level, message), without the time stamp."""
    if not Path(path).exists():
        return []
    out = []
    for line in Path(path).read_bytes().decode("latin-1").splitlines():
        stamp, _, rest = line.partition(" ")
        level, sep, message = rest.partition("::")
        assert sep and level in ("INFO", "ERROR"), f"malformed log line {line!r}"
        out.append((level, message))
    return out


class Wine:
    """Runs nettool.exe in the run's prefix; output through files, never a pipe."""

    def __init__(self, env, workdir):
        self.env = env
        self.workdir = Path(workdir)
        self._n = 0

    def fresh(self, name):
        self._n += 1
        d = self.workdir / f"{self._n:04d}-{name}"
        d.mkdir()
        return d

    def start(self, *args, cwd=None, env=None):
        self._n += 1
        out = self.workdir / f"{self._n:04d}-nettool.out"
        with open(out, "wb") as o:
            return subprocess.Popen(["wine", str(NETTOOL), *map(str, args)], stdout=o, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL, env={**self.env, **(env or {})},
                                    cwd=cwd or self.workdir)

    def start_program(self, exe, *args):
        """Another Windows program of the build (winprobe.exe) with output through a file."""
        self._n += 1
        out = self.workdir / f"{self._n:04d}-{Path(exe).stem}.out"
        with open(out, "wb") as o:
            return subprocess.Popen(["wine", str(WIN_BIN / exe), *map(str, args)], stdout=o,
                                    stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=self.env,
                                    cwd=self.workdir)

    def run(self, *args, timeout=180, env=None):
        proc = self.start(*args, env=env)
        try:
            rc = proc.wait(timeout)
        except subprocess.TimeoutExpired:
            stop_process(proc)
            raise
        assert rc == 0, f"nettool {args[0]} exited with {rc}"

    def call(self, command, *args, name=None, timeout=180):
        """Runs one nettool command in a fresh folder; returns (result, log lines, folder)."""
        d = self.fresh(name or command)
        log, res = d / "bootstrap.log", d / "result.json"
        if command in ("download", "file"):
            url, file_name, *rest = args
            self.run(command, url, winpath(d / file_name) if file_name else "", winpath(log), winpath(res), *rest,
                     timeout=timeout)
        elif command in ("manifest",):
            self.run(command, winpath(d), args[0], winpath(log), winpath(res), timeout=timeout)
        elif command == "verify":
            self.run(command, winpath(args[0]), winpath(log), winpath(res), timeout=timeout)
        else:
            raise ValueError(command)
        return json.loads(res.read_text(encoding="utf-8")), log_messages(log), d

    def settings_direct(self):
        self.run("ie", 1, "-")

    def settings_proxy(self, proxy):
        self.run("ie", 2, proxy)

    def cred_write(self, target, user, password):
        self.run("cred-write", target, user.encode().hex(), password.encode().hex())

    def cred_delete(self, target):
        proc = self.start("cred-delete", target)
        proc.wait(60)


# ---------------------------------------------------------------- HTTP and HTTPS servers

class Route:
    """What the server answers for one path.

    drop_after: cut the connection after that many body bytes of every answer; a list gives the
    cut of each answer in turn (None: no cut), later answers are whole.
    ranges: answer "Range"/"If-Range" (206, or 200 when If-Range names another version) and say
    "Accept-Ranges: bytes"; etag / last_modified: the version's validators.
    then: (body, etag) that replace the route's after its first answer (the file changed).
    reset: cut with a reset instead of an orderly close.
    part_validators: False, a 206 leaves out the ETag and Last-Modified; part_extra: (n, what), a 206
    carries n bytes more than the range it starts with, and says so in its Content-Length ("length")
    or in its Content-Range ("range", the total then "*"); part_size: a 206 carries at most that
    many bytes, and its Content-Range says so (the rest is left for another request).
    hold: a threading.Event the answer waits for before its last piece (the test sets it once
    what must happen during the download has happened).
    """

    def __init__(self, body=b"", status=200, length=True, drop_after=None, chunk=None, delay=0.0, headers=None,
                 ranges=False, etag=None, last_modified=None, then=None, reset=False, part_validators=True,
                 part_extra=None, part_size=None, hold=None):
        self.body = body
        self.status = status
        self.length = length
        self.drop_after = drop_after
        self.chunk = chunk
        self.delay = delay
        self.headers = headers or {}
        self.ranges = ranges
        self.etag = etag
        self.last_modified = last_modified
        self.then = then
        self.reset = reset
        self.part_validators = part_validators
        self.part_extra = part_extra
        self.part_size = part_size
        self.hold = hold
        self.answers = 0
        self.sent = 0  # body bytes written, over all answers

    def next_cut(self):
        cut = self.drop_after
        if isinstance(cut, list):
            cut = cut[self.answers] if self.answers < len(cut) else None
        self.answers += 1
        return cut

    def part(self, headers):
        """(status, first byte) of the answer to a request with these headers."""
        wanted = headers.get("Range", "")
        if not (self.ranges and self.status == 200 and wanted.startswith("bytes=") and wanted.endswith("-")):
            return self.status, 0
        validator = headers.get("If-Range")
        if validator is not None and validator not in (self.etag, self.last_modified):
            return 200, 0
        first = int(wanted[len("bytes="):-1])
        return (206, first) if first < len(self.body) else (416, 0)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        server = self.server
        server.requests.append({"path": self.path, "headers": dict(self.headers)})
        route = server.routes.get(urlsplit(self.path).path)
        if route is None:
            route = Route(b"not here", status=404)
        status, first = route.part(self.headers)
        whole = len(route.body)
        body = memoryview(route.body)[first:] if status != 416 else memoryview(b"")
        extra, claim = route.part_extra or (0, None)
        if status == 206 and route.part_size:
            body = body[:route.part_size]
        if status == 206 and extra:
            body = memoryview(bytes(body) + os.urandom(extra))
        cut = route.next_cut()
        validators = (("ETag", route.etag), ("Last-Modified", route.last_modified))
        if status == 206 and not route.part_validators:
            validators = ()
        if route.then:
            route.body, route.etag = route.then
            route.then = None
        self.send_response(status)
        for k, v in route.headers.items():
            self.send_header(k, v)
        if route.ranges:
            self.send_header("Accept-Ranges", "bytes")
        for name, value in validators:
            if value is not None:
                self.send_header(name, value)
        if status == 206 and claim == "range":
            self.send_header("Content-Range", f"bytes {first}-{whole - 1 + extra}/*")
        elif status == 206:
            self.send_header("Content-Range", f"bytes {first}-{first + len(body) - 1}/{whole}")
        elif status == 416:
            self.send_header("Content-Range", f"bytes */{whole}")
        if route.length is True:
            self.send_header("Content-Length", str(len(body)))
        elif route.length is not False:
            self.send_header("Content-Length", str(route.length))
        if route.length is False:
            # No length: the end of the connection ends the body.
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        limit = len(body) if cut is None else min(cut, len(body))
        step = route.chunk or limit or 1
        try:
            for pos in range(0, limit, step):
                if route.hold is not None and pos + step >= limit:
                    route.hold.wait(120)
                self.wfile.write(body[pos:min(pos + step, limit)])
                self.wfile.flush()
                route.sent += min(step, limit - pos)
                if route.delay:
                    time.sleep(route.delay)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
            return
        if cut is not None:
            # Cut the connection mid-body: an orderly close, or a reset (RST) when asked for.
            self.close_connection = True
            with contextlib.suppress(OSError):
                if route.reset:
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                else:
                    self.connection.shutdown(socket.SHUT_RDWR)

    def log_message(self, *args):
        pass


class Server:
    """A threaded HTTP server on loopback, optionally with TLS (cert/key files)."""

    def __init__(self, host="localhost", tls=None):
        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self.httpd.daemon_threads = True
        self.httpd.routes = {}
        self.httpd.requests = []
        if tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(*tls)
            self.httpd.socket = ctx.wrap_socket(self.httpd.socket, server_side=True,
                                                do_handshake_on_connect=False)
        self.scheme = "https" if tls else "http"
        self.host = host
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    @property
    def routes(self):
        return self.httpd.routes

    @property
    def requests(self):
        return self.httpd.requests

    def url(self, path):
        return f"{self.scheme}://{self.host}:{self.port}{path}"

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(5)


# ---------------------------------------------------------------- test PKI and signed files

EXTENSIONS = """\
[ca]
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
[codesign]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
[server]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1
"""


class Pki:
    """A root CA with server and code-signing certificates, made with openssl at test time."""

    def __init__(self, folder):
        self.dir = Path(folder)
        (self.dir / "ext.cnf").write_text(EXTENSIONS)
        self._self_signed("root", "/CN=Velt Test Root CA", ca=True)
        self._self_signed("rogue-root", "/CN=Nobody Trusts This CA", ca=True)
        self.issue("server", "/CN=localhost", "root", "server")
        self.issue("rogue-server", "/CN=localhost", "rogue-root", "server")
        self.issue("maker", "/C=US/O=Veltrane, Inc./CN=Veltrane, Inc.", "root", "codesign")
        self.issue("other", "/C=GB/O=Other Software Ltd/CN=Other Software Ltd", "root", "codesign")
        # The maker's name only across two attributes: "L=Veltrane, O=Incognito ..." as one text.
        self.issue("lookalike", "/L=Veltrane/O=Incognito Widgets LLC/CN=Incognito Widgets LLC", "root", "codesign")
        self.issue("maker-ca", "/O=Veltrane, Inc./CN=Veltrane, Inc. Code Signing CA", "root", "ca")
        self.issue("build", "/O=Release Engineering/CN=Desktop Build Signer", "maker-ca", "codesign")
        self._self_signed("selfsigned-maker", "/O=Veltrane, Inc./CN=Veltrane, Inc.", ca=False)
        self._openssl("x509", "-in", self.pem("root"), "-outform", "der", "-out", self.dir / "root.der")

    def _openssl(self, *args):
        subprocess.run(["openssl", *map(str, args)], check=True, capture_output=True)

    def _self_signed(self, name, subject, ca):
        extra = ["-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"] \
            if ca else ["-addext", "extendedKeyUsage=codeSigning"]
        self._openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key(name), "-out",
                      self.pem(name), "-days", "30", "-subj", subject, *extra)

    def issue(self, name, subject, issuer, profile):
        csr = self.dir / f"{name}.csr"
        self._openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key(name), "-out", csr, "-subj",
                      subject)
        self._openssl("x509", "-req", "-in", csr, "-CA", self.pem(issuer), "-CAkey", self.key(issuer),
                      "-set_serial", str(int.from_bytes(os.urandom(8), "big")), "-out", self.pem(name), "-days", "30",
                      "-extfile", self.dir / "ext.cnf", "-extensions", profile)

    def pem(self, name):
        return self.dir / f"{name}.pem"

    def key(self, name):
        return self.dir / f"{name}.key"

    def tls(self, name):
        return str(self.pem(name)), str(self.key(name))

    def sign(self, unsigned, out, signer, chain=(), added=()):
        """Authenticode-signs a PE file: `chain` are the signer's issuers sent along, `added`
        further certificates placed in the signature without being part of the chain."""
        certs = self.dir / f"{Path(out).name}.certs.pem"
        certs.write_bytes(b"".join(self.pem(n).read_bytes() for n in (signer, *chain)))
        args = ["osslsigncode", "sign", "-certs", certs, "-key", self.key(signer), "-n", "Veltrane Desktop App",
                "-h", "sha256", "-in", unsigned, "-out", out]
        if added:
            extra = self.dir / f"{Path(out).name}.added.pem"
            extra.write_bytes(b"".join(self.pem(n).read_bytes() for n in added))
            args[2:2] = ["-ac", extra]
        subprocess.run(list(map(str, args)), check=True, capture_output=True)
        return Path(out)

    def signature_subjects(self, signed):
        """The subjects of every certificate the file's signature carries."""
        sig = self.dir / f"{Path(signed).name}.p7"
        sig.unlink(missing_ok=True)
        subprocess.run(["osslsigncode", "extract-signature", "-in", str(signed), "-out", str(sig)], check=True,
                       capture_output=True)
        out = subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-in", str(sig), "-print_certs", "-noout"],
                             check=True, capture_output=True, text=True).stdout
        return [line[len("subject="):].strip() for line in out.splitlines() if line.startswith("subject=")]
