"""Discovery through the real registry and real WinHTTP: static list, PAC URL, automatic
detection with its switch, the default WinHTTP configuration, and nothing at all."""
import pytest

from pm_harness import free_port
from scripted_proxy import ScriptedProxy

# Flags of the user's Internet settings.
DIRECT, PROXY, PAC, AUTODETECT = 1, 2, 4, 8


def output_line(server, port, user="", scheme=0):
    return f"Output: [server={server} serverPort={port} user={user} password=**** authScheme={scheme}]"


def assert_result(q, server, port, user="", password="", scheme=0):
    assert q.status == 0, q.messages()
    assert q.call == {"status": 0, "server": server, "serverPort": str(port), "user": user,
                      "password": password, "authScheme": scheme}
    assert q.messages("[INFO]")[-2:] == ["PMStatus:0", output_line(server, port, user, scheme)]


def assert_no_result(q, status):
    assert q.call == {"status": status, "server": None, "serverPort": None, "user": None, "password": None,
                      "authScheme": 0}
    assert q.messages("[INFO]")[-1] == f"PMStatus:{status}"
    assert not any(m.startswith("Output: [") for m in q.messages())


def test_static_list_without_authentication(pm, settings):
    with ScriptedProxy("ok") as proxy:
        settings.ie(PROXY, f"127.0.0.1:{proxy.port}", "<local>")
        q = pm.query("http://localhost/file.xml")
    assert_result(q, "127.0.0.1", proxy.port)
    assert q.messages()[:4] == ["Performing 'GetProxyInfo' API ...", "Input URL:http://localhost/file.xml",
                                "Performing 'DiscoverProxyConfiguration' ...",
                                "Discovering proxy settings from Internet Explorer ..."]
    assert q.has(f"Proxy server list:127.0.0.1:{proxy.port}", "[DEBUG]")
    assert q.has("Bypass proxy server list:<local>", "[DEBUG]")
    assert q.has("No authenticating proxy server detected.", "[DEBUG]")
    # Nothing to remember when no credentials were needed.
    assert settings.cred_read("127.0.0.1") == {"found": False}


def test_tagged_static_list_picks_the_targets_scheme(pm, settings):
    with ScriptedProxy("ok") as http_proxy, ScriptedProxy("ok") as https_proxy:
        settings.ie(PROXY, f"http=127.0.0.1:{http_proxy.port};https=127.0.0.1:{https_proxy.port}")
        q = pm.query("http://localhost/")
        assert_result(q, "127.0.0.1", http_proxy.port)
        assert https_proxy.requests == []
        q = pm.query("ftp://localhost/")
    # No ftp entry in a tagged list: unusable, but no format error either.
    assert_no_result(q, 2)
    assert q.messages("[ERROR]") == []


def test_pac_script_returning_a_proxy(pm, settings, pac_server):
    with ScriptedProxy("ok") as proxy:
        pac_server.scripts["/proxy.pac"] = (
            'function FindProxyForURL(url, host) { return "PROXY 127.0.0.1:%d"; }' % proxy.port)
        settings.ie(PAC, pac=pac_server.url("/proxy.pac"))
        q = pm.query("http://localhost/")
    assert_result(q, "127.0.0.1", proxy.port)
    assert q.has("AutoConfig URL:" + pac_server.url("/proxy.pac"), "[DEBUG]")
    assert q.has("Performing 'AutoDetectProxyInfo' ...", "[INFO]")
    assert "/proxy.pac" in pac_server.hits


def test_pac_script_answering_direct_falls_back_to_the_static_list(pm, settings, pac_server):
    pac_server.scripts["/direct.pac"] = 'function FindProxyForURL(url, host) { return "DIRECT"; }'
    with ScriptedProxy("ok") as proxy:
        settings.ie(PAC | PROXY, f"127.0.0.1:{proxy.port}", pac=pac_server.url("/direct.pac"))
        q = pm.query("http://localhost/")
    assert_result(q, "127.0.0.1", proxy.port)
    assert q.has("Unable to automatically detect proxy information using PAC URL", "[INFO]")
    assert "/direct.pac" in pac_server.hits


def test_pac_script_answering_direct_without_other_source_means_no_proxy(pm, settings, pac_server):
    pac_server.scripts["/direct.pac"] = 'function FindProxyForURL(url, host) { return "DIRECT"; }'
    settings.ie(PAC, pac=pac_server.url("/direct.pac"))
    q = pm.query("http://localhost/")
    assert_no_result(q, 1)
    assert q.messages("[INFO]")[-3:] == ["Unable to detect proxy information from default proxy configuration",
                                         "No proxy server configuration detected.", "PMStatus:1"]


def test_unreachable_pac_url_is_reported_and_skipped(pm, settings):
    with ScriptedProxy("ok") as proxy:
        settings.ie(PAC | PROXY, f"127.0.0.1:{proxy.port}", pac="http://127.0.0.1:9/none.pac")
        q = pm.query("http://localhost/")
    assert_result(q, "127.0.0.1", proxy.port)
    assert any(m.startswith("WinHttpGetProxyForUrl() API failed. Error:") for m in q.messages("[ERROR]"))
    assert q.has("Unable to automatically detect proxy information using PAC URL", "[INFO]")


@pytest.mark.parametrize("switch", ["false", "FALSE", "False"])
def test_wpad_switched_off_goes_on_with_pac_and_static_list(pm, settings, switch):
    with ScriptedProxy("ok") as proxy:
        settings.ie(AUTODETECT | PROXY, f"127.0.0.1:{proxy.port}")
        q = pm.query("http://localhost/", env={"VELT_VELT_WPAD_PROXY_CHECK": switch})
    assert_result(q, "127.0.0.1", proxy.port)
    assert q.has("AutoDetect:1", "[DEBUG]")
    assert q.has("WDAP proxy check is disabled, skipping WPAD based proxy discovery.", "[INFO]")
    assert not q.has("Discovering WDAP based proxy setting ... (this may take several seconds)")
    assert not q.has("Performing 'AutoDetectProxyInfo' ...")


@pytest.mark.parametrize("switch", [None, "", "0", "no", "TRUE"])
def test_wpad_stays_on_unless_switched_off(pm, settings, switch):
    # This machine has no DNS domain and no DHCP: Wine's real detection fails, is reported, and
    # discovery goes on with the static list.
    env = {} if switch is None else {"VELT_VELT_WPAD_PROXY_CHECK": switch}
    with ScriptedProxy("ok") as proxy:
        settings.ie(AUTODETECT | PROXY, f"127.0.0.1:{proxy.port}")
        q = pm.query("http://localhost/", env=env)
    assert_result(q, "127.0.0.1", proxy.port)
    assert q.has("Discovering WDAP based proxy setting ... (this may take several seconds)", "[INFO]")
    assert any(m.startswith("WinHttpGetProxyForUrl() API failed. Error:") for m in q.messages("[ERROR]"))
    assert q.has("Unable to automatically detect proxy information using WPAD", "[INFO]")


def test_wpad_answer_wins_over_pac_and_static_list(pm, settings, pac_server):
    """WPAD itself needs a DNS domain or DHCP; the test stands in for the detection step only
    (WpadSeamManager in pmquery), everything else is the real discovery."""
    with ScriptedProxy("ok") as wpad_proxy, ScriptedProxy("ok") as static_proxy:
        pac_server.scripts["/wpad.dat"] = (
            'function FindProxyForURL(url, host) { return "PROXY 127.0.0.1:%d"; }' % wpad_proxy.port)
        pac_server.scripts["/user.pac"] = 'function FindProxyForURL(url, host) { return "PROXY 127.0.0.1:1"; }'
        settings.ie(AUTODETECT | PAC | PROXY, f"127.0.0.1:{static_proxy.port}", pac=pac_server.url("/user.pac"))
        q = pm.query("http://localhost/a", wpad=pac_server.url("/wpad.dat"))
    assert_result(q, "127.0.0.1", wpad_proxy.port)
    # Exactly one resolution, asked the way automatic detection must be asked.
    assert q.result["seam"] == [{"flags": 0x10001, "types": 3, "autologon": 1, "url": "http://localhost/a",
                                 "pac": None}]
    assert "/user.pac" not in pac_server.hits
    assert static_proxy.requests == []


def test_failed_wpad_goes_on_with_the_pac_url(pm, settings, pac_server):
    with ScriptedProxy("ok") as proxy:
        pac_server.scripts["/user.pac"] = (
            'function FindProxyForURL(url, host) { return "PROXY 127.0.0.1:%d"; }' % proxy.port)
        settings.ie(AUTODETECT | PAC, pac=pac_server.url("/user.pac"))
        q = pm.query("http://localhost/", wpad="fail")
    assert_result(q, "127.0.0.1", proxy.port)
    assert [s["flags"] for s in q.result["seam"]] == [0x10001, 0x2]
    assert q.result["seam"][1]["pac"] == pac_server.url("/user.pac")
    assert q.result["seam"][1]["autologon"] == 1
    assert q.has("WinHttpGetProxyForUrl() API failed. Error:12180 Description:", "[ERROR]")


def test_nothing_configured_gives_status_one(pm, settings):
    q = pm.query("http://localhost/")
    assert_no_result(q, 1)
    assert q.messages("[INFO]")[-4:] == [
        "Unable to detect proxy information from IE settings. Trying to get proxy information using default "
        "proxy configuration ...",
        "Unable to detect proxy information from default proxy configuration",
        "No proxy server configuration detected.", "PMStatus:1"]


def test_default_winhttp_configuration(pm, settings):
    with ScriptedProxy("ok") as proxy:
        settings.winhttp_default(f"127.0.0.1:{proxy.port}")
        q = pm.query("http://localhost/")
    assert_result(q, "127.0.0.1", proxy.port)
    msgs = q.messages()
    fallback = msgs.index("Unable to detect proxy information from IE settings. Trying to get proxy information "
                          "using default proxy configuration ...")
    assert f"Proxy server list:127.0.0.1:{proxy.port}" in msgs[fallback:]


def test_static_list_that_parses_to_nothing_is_a_failure(pm, settings):
    settings.ie(PROXY, ";;")
    q = pm.query("http://localhost/")
    assert_no_result(q, 2)
    assert q.has("No VALID proxy servers detected.", "[DEBUG]")
    assert q.messages("[DEBUG]").count("Failed while splitting proxy: '' into proxy server and port") == 2


def test_first_candidate_not_answering_second_one_used(pm, settings):
    refused_port = free_port()  # nothing listens there
    with ScriptedProxy("close") as mute, ScriptedProxy("ok") as good:
        for first in (f"127.0.0.1:{refused_port}", f"127.0.0.1:{mute.port}"):
            settings.ie(PROXY, f"{first};127.0.0.1:{good.port}")
            q = pm.query("http://localhost/")
            assert_result(q, "127.0.0.1", good.port)
            discovered = [m for m in q.messages("[DEBUG]") if m.startswith("Discovered proxy server information")]
            assert discovered == [f"Discovered proxy server information [server=127.0.0.1 port={first.split(':')[1]}]",
                                  f"Discovered proxy server information [server=127.0.0.1 port={good.port}]"]
            assert any(m.startswith(("WinHttpSendRequest() API failed", "WinHttpReceiveResponse() API failed"))
                       for m in q.messages("[ERROR]"))
    assert len(mute.requests) >= 1


def test_only_candidate_not_answering_gives_failure(pm, settings):
    with ScriptedProxy("close") as mute:
        settings.ie(PROXY, f"127.0.0.1:{mute.port}")
        q = pm.query("http://localhost/")
    assert_no_result(q, 2)
    assert q.has("No VALID proxy servers detected.", "[DEBUG]")


def test_empty_static_list_reads_as_none_under_wine(pm, settings):
    # Wine hands a zero-length proxy list back as no list at all, so discovery goes on to the
    # default configuration. (An empty list that does arrive is refused by parsing with
    # "Proxy server info is empty!"; the native tests cover that.)
    settings.ie(PROXY, "")
    q = pm.query("http://localhost/")
    assert_no_result(q, 1)
    assert not q.has("Proxy server info is empty!")
