"""Fixtures of the download and trust tests under Wine.

When ./test.sh runs them (VELT_WINE_SESSION=1) the run's prefix, display and wineserver are
taken from the environment; otherwise a prefix build/net-prefix, a private Xvfb and a
persistent wineserver are started here and stopped by their process ids at the end.
The Windows helper is nettool.exe from VELT_WIN_BIN (default build/win/bin).
"""

import pytest

from net_harness import NETTOOL, REPO, Pki, Server, Wine, winpath
from testlib import wine_session


@pytest.fixture(scope="session")
def wine(tmp_path_factory):
    if not NETTOOL.exists():
        pytest.fail(f"{NETTOOL} is not built")
    with wine_session(REPO / "build" / "net-prefix") as env:
        # No proxy of the host and none of the program's switches leak into the programs under test.
        env = {k: v for k, v in env.items()
               if k.lower() not in ("http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy")
               and not k.startswith("VELT_")}
        env.update(WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        yield Wine(env, tmp_path_factory.mktemp("nettool"))


@pytest.fixture(scope="session")
def pki(tmp_path_factory, wine):
    pki = Pki(tmp_path_factory.mktemp("pki"))
    # HTTPS servers of the tests are trusted the way any server is: their CA is in the Root store.
    wine.run("addroot", winpath(pki.dir / "root.der"))
    return pki


@pytest.fixture
def direct(wine):
    """The user's settings say: no proxy."""
    wine.settings_direct()
    return wine


@pytest.fixture(scope="session")
def http_server():
    server = Server()
    yield server
    server.stop()


@pytest.fixture(scope="session")
def https_server(pki):
    server = Server(tls=pki.tls("server"))
    yield server
    server.stop()


@pytest.fixture(scope="session")
def untrusted_https_server(pki):
    server = Server(tls=pki.tls("rogue-server"))
    yield server
    server.stop()


@pytest.fixture(scope="session")
def installers(pki, unsigned_installer):
    """The installer in every signing variant the trust check must tell apart."""
    d = unsigned_installer.parent
    changed = pki.sign(unsigned_installer, d / "changed.exe", "maker")
    data = bytearray(changed.read_bytes())
    data[0x400] ^= 0xFF  # a byte of the code, covered by the signature's hash
    changed.write_bytes(bytes(data))
    return {
        "maker": pki.sign(unsigned_installer, d / "maker.exe", "maker"),
        "unsigned": unsigned_installer,
        "changed": changed,
        "other": pki.sign(unsigned_installer, d / "other.exe", "other"),
        "other+maker": pki.sign(unsigned_installer, d / "other-plus-maker.exe", "other", added=("maker",)),
        "intermediate": pki.sign(unsigned_installer, d / "intermediate.exe", "build", chain=("maker-ca",)),
        "other+maker-ca": pki.sign(unsigned_installer, d / "other-plus-maker-ca.exe", "other",
                                   added=("maker-ca",)),
        "self-signed": pki.sign(unsigned_installer, d / "self-signed.exe", "selfsigned-maker"),
    }


@pytest.fixture(scope="session")
def unsigned_installer(tmp_path_factory):
    """A real PE file to sign (a small helper program of the build)."""
    path = tmp_path_factory.mktemp("installers") / "unsigned.exe"
    path.write_bytes((NETTOOL.parent / "winprobe.exe").read_bytes())
    return path
