#!/usr/bin/env python3
"""Writes the committed seed corpora of the fuzz targets (tests/fuzz/seeds/<corpus>/).

Run again after the stub's layout changed (scripts/build.sh first):
    /usr/bin/python3 tests/fuzz/make_seeds.py

pe/: the built stub shrunk to its real headers and the first file-alignment unit of every
section (the full stub is far too big for a corpus and libFuzzer would cut it anyway), that
stub stamped by the real packaging tool (the delivered block, a block with the marker) and
the stamped one signed with a throw-away certificate (a certificate table after the block).
manifest/: update manifests as the update server sends them, and broken ones.
proxy_list/: one byte that picks the target URL's scheme, then a proxy list.
http_headers/: values of the headers a resumed download reads (Content-Range, Accept-Ranges,
ETag, Last-Modified), as servers send them and as they must not be trusted.
"""
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
STUB = REPO / "build" / "win" / "bin" / "VeltappBootstrap.exe"
VELTSTAMP = REPO / "build" / "host" / "bin" / "veltstamp"
SEEDS = REPO / "tests" / "fuzz" / "seeds"
MARKER = "{B2F2947D-EA42-43B8-8EB5-BB9FE4B236E2}"
DELIVERED = ('{\n\t"updateXmlUrl": "http://update.example/utility/kestrel/update.xml",\n'
             '\t"kestrelLauncherArguments": "-postPurchase"\n}')


def shrink(image: bytes) -> bytes:
    """The stub's headers with every section cut to its first 512 bytes, pointers moved up."""
    pe = struct.unpack_from("<I", image, 60)[0]
    count = struct.unpack_from("<H", image, pe + 6)[0]
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional_size
    size_of_headers = struct.unpack_from("<I", image, pe + 24 + 60)[0]
    out = bytearray(image[:size_of_headers])
    for i in range(count):
        entry = table + 40 * i
        raw_size, raw_pointer = struct.unpack_from("<II", image, entry + 16)
        keep = image[raw_pointer:raw_pointer + min(raw_size, 512)] if raw_pointer else b""
        keep = keep.ljust(512 if raw_pointer else 0, b"\0")
        struct.pack_into("<II", out, entry + 16, len(keep), len(out) if raw_pointer else 0)
        out += keep
    # No symbol table, no certificate table: it would point into what was cut off.
    struct.pack_into("<II", out, pe + 12, 0, 0)
    struct.pack_into("<II", out, pe + 24 + 128, 0, 0)
    return bytes(out)


def write(corpus, name, data):
    folder = SEEDS / corpus
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def pe_seeds(work: Path):
    stub = work / "stub.exe"
    stub.write_bytes(shrink(STUB.read_bytes()))
    write("pe", "stub_shrunk.exe", stub.read_bytes())
    for name, text in (("stamped_delivered.exe", DELIVERED),
                       ("stamped_marker.exe", MARKER + DELIVERED.replace("\n}", "\n" + MARKER + "}"))):
        subprocess.run([str(VELTSTAMP), str(stub), str(work / name), "--json", text, "--unchecked"], check=True,
                       stdout=subprocess.DEVNULL)
        write("pe", name, (work / name).read_bytes())
    key, cert = work / "k.pem", work / "c.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "1", "-subj", "/O=Veltrane, Inc./CN=Veltrane, Inc."], check=True, capture_output=True)
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256", "-in",
                    work / "stamped_delivered.exe", "-out", work / "signed.exe"], check=True, capture_output=True)
    write("pe", "stamped_signed.exe", (work / "signed.exe").read_bytes())


def manifest(body):
    return '<?xml version="1.0" encoding="UTF-8"?>\n<installerInformation>' + body + "</installerInformation>\n"


FILES = ("<platformFileList><file><platform>windows</platform><filename>VeltraneDesktopApp.exe</filename></file>"
         "<file><platform>osx</platform><filename>VeltraneDesktopApp.dmg</filename></file></platformFileList>")
LOCATION = "<downloadLocationList><downloadLocation><url>http://h/dl/</url></downloadLocation></downloadLocationList>"


def manifest_seeds():
    write("manifest", "full.xml", manifest("<version>4.10.2.1</version>" + LOCATION + FILES))
    write("manifest", "no_version.xml", manifest(LOCATION + FILES))
    write("manifest", "query_name.xml", manifest("<version>5.0</version>" + LOCATION.replace("/dl/", "/dl/?sig=1&amp;x")
                                                 + FILES.replace("App.exe", "App.exe?sig=a%2F")))
    write("manifest", "traversal.xml", manifest("<version>9</version>" + LOCATION + FILES.replace(
        "VeltraneDesktopApp.exe", "..\\..\\x.exe")))
    write("manifest", "entities_cdata.xml", manifest("<version><![CDATA[1.2]]></version>" + LOCATION
                                                     + FILES.replace("Desktop", "&#13;&#10;Desk&lt;top")))
    write("manifest", "truncated.xml", manifest("<version>1.0</version>" + LOCATION + FILES)[:120])
    write("manifest", "pinned.xml", manifest("<version>4.10.2.1</version><expires>2032-02-29T23:59:59Z</expires>"
                                             + LOCATION + FILES.replace("</filename>", "</filename><sha256>" + "0f" * 32
                                                                        + "</sha256><size>4194304</size>", 1)))


def proxy_seeds():
    # First byte: 0 http, 1 https, 2 ftp, 3 socks, 4 no scheme.
    for i, (pick, text) in enumerate([
            (0, "proxy.corp:8080"), (1, "10.0.0.1:3128;10.0.0.2"), (0, "http=a:1;https=b:2;ftp=c:3"),
            (1, "https://secure.corp:8443"), (2, "http=only-http:80"), (3, "socks=s:1080"),
            (4, ";;a:;:9;[::1]:8080"), (0, "h\u00e9llo.example:80")]):
        write("proxy_list", f"list{i}", bytes([pick]) + text.encode())


def header_seeds():
    for i, text in enumerate([
            "bytes 100-199/1000", "bytes 0-0/*", "bytes */1000", "bytes 5-4/10", "bytes 0-18446744073709551615/1",
            "bytes", "none", '"v1-abc"', 'W/"weak"', '"a\r\nSet-Cookie: x"', "Wed, 09 Dec 2026 00:00:00 GMT"]):
        write("http_headers", f"header{i}", text)


def main():
    if not STUB.exists() or not VELTSTAMP.exists():
        sys.exit("build first: scripts/build.sh")
    shutil.rmtree(SEEDS, ignore_errors=True)
    with tempfile.TemporaryDirectory() as work:
        pe_seeds(Path(work))
    manifest_seeds()
    proxy_seeds()
    header_seeds()


if __name__ == "__main__":
    main()
