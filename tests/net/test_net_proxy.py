"""Downloads through a real squid that demands Basic authentication, found by the real proxy
manager from the user's settings, with credentials from the Credential Manager."""
import sys
from pathlib import Path

import pytest

from net_harness import Route, Squid, free_port
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "proxymanager"))
from scripted_proxy import ScriptedProxy  # noqa: E402
from test_net_trust import Install, manifest_for, run_log

USERS = {"alice": "wonderland", "j\u00f6rg": "p\u00e4ss\u20ac\u00df"}


@pytest.fixture(scope="module")
def squid():
    s = Squid("basic", USERS)
    try:
        yield s
    finally:
        s.stop()


@pytest.fixture
def through_squid(wine, squid):
    wine.settings_proxy(f"127.0.0.1:{squid.port}")
    yield squid
    wine.cred_delete("127.0.0.1")
    wine.settings_direct()


def statuses(log):
    return [m for _, m in log if ">> The return code" in m]


@pytest.mark.parametrize("user", list(USERS))
def test_manifest_through_the_proxy_with_stored_credentials(wine, http_server, through_squid, user):
    wine.cred_write("127.0.0.1", user, USERS[user])
    http_server.routes["/utility/kestrel/update.xml"] = Route(manifest_for("http://localhost/d/", "Setup.exe"))
    url = http_server.url("/utility/kestrel/update.xml")
    res, log, _ = wine.call("download", url, "update.xml")
    assert res["proxy"] == f"127.0.0.1:{through_squid.port}"
    # The proxy manager's texts are UTF-8; they reach WinHTTP as the characters they are.
    assert res["proxyUser"] == user
    assert res["fetch"]
    # The first answer asks for credentials; they are set and the request sent again.
    assert statuses(log) == ["4 >> The return code for the http request = [407].",
                             "3 >> The return code for the http request = [200]."]
    assert url in through_squid.access_log()
    for line in (m for _, m in log):
        assert USERS[user] not in line

    res, log, d = wine.call("manifest", url)
    assert (res["code"], res["version"], res["installerUrl"]) == (0, "7.1.0.12", "http://localhost/d/Setup.exe")


def test_https_through_the_proxy_tunnels_to_the_urls_own_port(wine, https_server, through_squid):
    wine.cred_write("127.0.0.1", "alice", USERS["alice"])
    https_server.routes["/secure/update.xml"] = Route(manifest_for("https://localhost/d/", "Setup.exe"))
    url = https_server.url("/secure/update.xml")
    wine.call("download", url, "update.xml")
    # The proxy manager's probe asks for a tunnel to the server's real port, never to 443.
    # (Wine's WinHTTP does not send the tunnel request again with the credentials after the
    # proxy's 407, so the download itself cannot complete here; squid logs the one refusal.)
    access = through_squid.access_log()
    assert f"CONNECT localhost:{https_server.port} " in access
    # The port ends at the blank: a server port such as 44391 is not 443.
    assert "CONNECT localhost:443 " not in access


def test_the_installer_through_the_proxy(wine, http_server, through_squid, installers):
    wine.cred_write("127.0.0.1", "alice", USERS["alice"])
    folder = wine.fresh("install")
    http_server.routes["/proxied/VeltraneDesktopApp.exe"] = Route(installers["maker"].read_bytes(), chunk=65_536)
    (folder / "update.xml").write_bytes(manifest_for(http_server.url("/proxied/"), "VeltraneDesktopApp.exe"))
    run = Install(wine, folder)
    res = run.finish()
    run.release()
    assert (res["code"], res["status"]) == (0, "Downloading ... 100.00%")
    assert "/proxied/VeltraneDesktopApp.exe" in through_squid.access_log()
    assert ("INFO", "4 >> The return code for the http request = [407].") in run_log(run)


def test_a_proxy_manager_failure_is_code_7(wine, http_server, installers):
    # The settings name a proxy that does not answer: the proxy manager's probe fails.
    wine.settings_proxy(f"127.0.0.1:{free_port()}")
    try:
        res, log, _ = wine.call("file", http_server.url("/update.xml"), "update.xml")
        assert res["code"] == 7
        assert log == [("ERROR", "Error in veltGetProxyInfo, error code 2"),
                       ("ERROR", "Error occurred, error code = [7].")]

        folder = wine.fresh("install")
        (folder / "update.xml").write_bytes(manifest_for(http_server.url("/x/"), "VeltraneDesktopApp.exe"))
        res = Install(wine, folder).finish()
        assert (res["code"], res["status"], res["states"]) == (7, "Aborted.(Error:7)", [2])
    finally:
        wine.settings_direct()


@pytest.mark.parametrize("mode", ["bare407", "bearer407"])
def test_a_challenge_that_cannot_be_answered_fails_at_once(wine, http_server, mode):
    # The probe's HEAD passes, the download's GET gets a 407 offering nothing WinHTTP can answer:
    # asking again would only bring the same 407.
    with ScriptedProxy(mode) as proxy:
        wine.settings_proxy(f"127.0.0.1:{proxy.port}")
        try:
            res, log, d = wine.call("file", http_server.url("/update.xml"), "update.xml")
        finally:
            wine.settings_direct()
    assert res["code"] == 8
    assert log == [("INFO", "4 >> The return code for the http request = [407]."),
                   ("ERROR", "The proxy asks for authentication without a scheme that can be answered."),
                   ("ERROR", "Error occurred, error code = [8].")]
    assert [line for line, _ in proxy.requests if not line.startswith("HEAD ")] == \
        [f"GET {http_server.url('/update.xml')} HTTP/1.1"]
    assert not (d / "update.xml").exists()


def test_a_cut_download_is_resumed_through_the_proxy_with_the_same_credentials(wine, http_server, through_squid):
    wine.cred_write("127.0.0.1", "alice", USERS["alice"])
    body = bytes(range(256)) * 1200
    http_server.routes["/proxied/cut.bin"] = Route(body, drop_after=[len(body) // 3], ranges=True, etag='"p1"',
                                                   chunk=16_384)
    res, log, d = wine.call("download", http_server.url("/proxied/cut.bin"), "cut.bin")
    assert res["fetch"] and (d / "cut.bin").read_bytes() == body
    assert http_server.requests[-1]["headers"].get("Range") == f"bytes={len(body) // 3}-"
    assert statuses(log)[-1] == "3 >> The return code for the http request = [206].", \
        "the further request is answered with the credentials too"
