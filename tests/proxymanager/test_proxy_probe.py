"""The authenticating-proxy probe against a real squid (Basic, Digest, NTLM), the scripted proxy
for what squid cannot be made to do, the real Credential Manager and the real credential dialog."""
import pytest

from pm_harness import running_squid
from scripted_proxy import ScriptedProxy

PROXY = 2
URL = "http://localhost/update.xml"  # the origin is named differently from the proxy (Wine quirk)


def store_lines(q):
    return [m for m in q.messages() if m.startswith("Performing 'StoreCredentials'")]


def dialog_count(q):
    return q.messages("[INFO]").count("Performing 'ShowCredentialDialog' ...")


def assert_success(q, port, user, password, scheme):
    assert q.call == {"status": 0, "server": "127.0.0.1", "serverPort": str(port), "user": user,
                      "password": password, "authScheme": scheme}, q.messages()
    assert q.messages("[INFO]")[-1] == (f"Output: [server=127.0.0.1 serverPort={port} user={user} "
                                        f"password=**** authScheme={scheme}]")


def assert_failure(q, status):
    assert q.call == {"status": status, "server": None, "serverPort": None, "user": None, "password": None,
                      "authScheme": 0}, q.messages()
    assert q.messages("[INFO]")[-1] == f"PMStatus:{status}"


class TestWithoutAuthentication:
    def test_proxy_answering_head_with_200(self, pm, settings, dialog):
        with ScriptedProxy("ok") as proxy:
            settings.ie(PROXY, f"127.0.0.1:{proxy.port}")
            q = pm.query("http://localhost:8080/deep/path?x=1")
        assert_success(q, proxy.port, "", "", 0)
        assert dialog_count(q) == 0 and store_lines(q) == []
        assert settings.cred_read("127.0.0.1") == {"found": False}
        # The probe asks for the root of the host on the URL's own port, without credentials,
        # once.
        assert [line for line, _ in proxy.requests] == ["HEAD http://localhost:8080/ HTTP/1.1"]
        assert proxy.requests[0][1] is None

    def test_caller_credentials_are_stored_even_without_a_challenge(self, pm, settings):
        with ScriptedProxy("ok") as proxy:
            settings.ie(PROXY, f"127.0.0.1:{proxy.port}")
            q = pm.query(URL, user="CORP\\carol", password="s\u00e9same")
        assert_success(q, proxy.port, "CORP\\carol", "s\u00e9same", 0)
        assert q.has("Using invoker provided proxy credentials with user:CORP\\carol", "[INFO]")
        assert q.has("Input password:****", "[INFO]")
        assert settings.cred_read("127.0.0.1") == {"found": True, "user": "CORP\\carol", "password": "s\u00e9same"}

    def test_password_without_user_is_not_used_as_credentials(self, pm, settings):
        with ScriptedProxy("ok") as proxy:
            settings.ie(PROXY, f"127.0.0.1:{proxy.port}")
            q = pm.query(URL, password="orphan")
        assert_success(q, proxy.port, "", "", 0)
        assert settings.cred_read("127.0.0.1") == {"found": False}


class TestSquidBasic:
    def test_caller_credentials(self, pm, settings, squid_basic):
        settings.ie(PROXY, f"127.0.0.1:{squid_basic.port}")
        q = pm.query(URL, user="alice", password="wonderland")
        assert_success(q, squid_basic.port, "alice", "wonderland", 1)
        debug = q.messages("[DEBUG]")
        assert "Proxy server supports AuthScheme:1" in debug
        assert "Trying 1 authentication scheme although proxy server supports 1 authentication scheme" in debug
        assert "Authenticating proxy server detected with credentials [user=alice password=****]" in debug
        assert store_lines(q) == ["Performing 'StoreCredentials' for proxy server:127.0.0.1 with user:alice"]
        assert settings.cred_read("127.0.0.1") == {"found": True, "user": "alice", "password": "wonderland"}
        assert " alice " in squid_basic.access_log()

    def test_stored_credentials_accepted(self, pm, settings, squid_basic):
        settings.ie(PROXY, f"127.0.0.1:{squid_basic.port}")
        settings.cred_write("127.0.0.1", "alice", "wonderland")
        q = pm.query(URL)
        assert_success(q, squid_basic.port, "alice", "wonderland", 1)
        assert q.has("Using cached credentials for proxy server:127.0.0.1  user:alice", "[INFO]")
        # Loaded once, accepted at the first attempt: nothing is written back.
        assert store_lines(q) == []
        assert q.messages("[INFO]").count("Successfully loaded credential.") == 1
        assert dialog_count(q) == 0

    def test_non_ascii_password_round_trip_through_the_proxy(self, pm, settings, squid_basic):
        settings.ie(PROXY, f"127.0.0.1:{squid_basic.port}")
        q = pm.query(URL, user="bob", password="p\u00e4ss\u20ac")
        assert_success(q, squid_basic.port, "bob", "p\u00e4ss\u20ac", 1)
        assert settings.cred_read("127.0.0.1") == {"found": True, "user": "bob", "password": "p\u00e4ss\u20ac"}

    def test_two_ports_of_one_host_share_the_entry(self, pm, settings, squid_basic):
        settings.ie(PROXY, f"127.0.0.1:{squid_basic.port}")
        assert pm.query(URL, user="alice", password="wonderland").status == 0
        with ScriptedProxy("basic", user="alice", password="wonderland") as other:
            settings.ie(PROXY, f"127.0.0.1:{other.port}")
            q = pm.query(URL)
        assert_success(q, other.port, "alice", "wonderland", 1)
        assert q.has("Using cached credentials for proxy server:127.0.0.1  user:alice", "[INFO]")

    def test_silent_mode_with_nothing_stored_gives_six(self, pm, settings, squid_basic, dialog):
        settings.ie(PROXY, f"127.0.0.1:{squid_basic.port}")
        q = pm.query(URL, silent=1, timeout=60)
        assert_failure(q, 6)
        assert q.messages("[ERROR]") == ["PM_STATUS_SILENT_MODE_ERROR - Application running under Silent Mode and "
                                         "it requires proxy server credentials."]
        assert dialog_count(q) == 0
        # One attempt without credentials, then the store is asked once more, then no prompt.
        assert q.messages("[DEBUG]").count("Received HTTP status:407") == 1
        assert q.messages("[INFO]").count("Performing 'LoadCredentials' for proxy server:127.0.0.1 with user:") == 2
        dialog.assert_none()

    def test_wrong_caller_credentials_in_silent_mode(self, pm, settings, squid_basic):
        settings.ie(PROXY, f"127.0.0.1:{squid_basic.port}")
        q = pm.query(URL, user="alice", password="wrong", silent=1, timeout=60)
        assert_failure(q, 6)
        assert settings.cred_read("127.0.0.1") == {"found": False}


class TestCredentialDialog:
    def test_nothing_stored_prompt_with_name_qualified_by_the_proxy_host(self, pm, settings, squid_basic, dialog):
        settings.ie(PROXY, f"127.0.0.1:{squid_basic.port}")
        running = pm.start(URL)
        dialog.answer(running, "127.0.0.1\\alice", "wonderland")
        q = running.finish()
        # The dialog's domain equals the proxy host, so the bare name is used and accepted.
        assert_success(q, squid_basic.port, "alice", "wonderland", 1)
        assert dialog_count(q) == 1
        assert q.has("ShowCredentialDialog response:0", "[INFO]")
        assert settings.cred_read("127.0.0.1") == {"found": True, "user": "alice", "password": "wonderland"}

    def test_wrong_stored_credentials_lead_to_the_prompt(self, pm, settings, squid_basic, dialog):
        settings.ie(PROXY, f"127.0.0.1:{squid_basic.port}")
        settings.cred_write("127.0.0.1", "alice", "stale-password")
        running = pm.start(URL)
        # Answering here cannot succeed under Wine: its WinHTTP keeps sending the first Basic
        # answer of a request handle after WinHttpSetCredentials changed the credentials.
        dialog.cancel(running)
        q = running.finish()
        assert_failure(q, 5)
        assert q.has("Using cached credentials for proxy server:127.0.0.1  user:alice", "[INFO]")
        assert q.messages("[DEBUG]").count("Received HTTP status:407") == 1
        assert dialog_count(q) == 1
        assert store_lines(q) == []
        assert settings.cred_read("127.0.0.1") == {"found": True, "user": "alice", "password": "stale-password"}

    def test_each_further_challenge_prompts_again_until_cancelled(self, pm, settings, squid_basic, dialog):
        settings.ie(PROXY, f"127.0.0.1:{squid_basic.port}")
        running = pm.start(URL)
        dialog.answer(running, "alice", "not-the-password")
        dialog.cancel(running)
        q = running.finish()
        assert_failure(q, 5)
        assert dialog_count(q) == 2
        assert q.has("User CANCELLED credential dialog!", "[INFO]")
        assert q.has("ShowCredentialDialog response:1223", "[INFO]")
        assert settings.cred_read("127.0.0.1") == {"found": False}

    def test_other_domain_is_kept_in_front_of_the_name(self, pm, settings, dialog):
        with ScriptedProxy("basic", user="OTHER\\alice", password="pw") as proxy:
            settings.ie(PROXY, f"127.0.0.1:{proxy.port}")
            running = pm.start(URL)
            dialog.answer(running, "OTHER\\alice", "pw")
            q = running.finish()
        assert_success(q, proxy.port, "OTHER\\alice", "pw", 1)
        assert settings.cred_read("127.0.0.1") == {"found": True, "user": "OTHER\\alice", "password": "pw"}

    def test_cancel_on_a_proxy_that_always_challenges(self, pm, settings, dialog):
        with ScriptedProxy("always407") as proxy:
            settings.ie(PROXY, f"127.0.0.1:{proxy.port}")
            running = pm.start(URL)
            dialog.cancel(running)
            q = running.finish()
        assert_failure(q, 5)


class TestSchemes:
    def test_ntlm_and_negotiate_offer_is_answered_with_ntlm(self, pm, settings):
        with ScriptedProxy("challenge") as proxy:
            settings.ie(PROXY, f"127.0.0.1:{proxy.port}")
            q = pm.query(URL, user="CORP\\dave", password="n7lm")
        assert_success(q, proxy.port, "CORP\\dave", "n7lm", 4)
        debug = q.messages("[DEBUG]")
        assert "Proxy server supports AuthScheme:18" in debug
        assert "Trying 2 authentication scheme although proxy server supports 18 authentication scheme" in debug
        assert settings.cred_read("127.0.0.1")["user"] == "CORP\\dave"
        # Detection send, then the attempt that the proxy accepts.
        assert len(proxy.requests) == 2 and proxy.requests[0][1] is None
        # Wine answers a challenge only when a request of the attempt gets one; this proxy accepts
        # the attempt as it comes, so what is checked here is the probe's choice, not NTLM itself.

    def test_digest_is_chosen_but_wine_does_not_answer_it(self, pm, settings):
        # Wine 8's WinHTTP knows the Digest flag but cannot compute the answer ("invalid
        # scheme" in its trace) and sends the request without credentials.
        with running_squid("digest", {"alice": "wonderland"}) as squid:
            settings.ie(PROXY, f"127.0.0.1:{squid.port}")
            q = pm.query(URL, user="alice", password="wonderland", silent=1, timeout=60)
            log = squid.access_log()
        debug = q.messages("[DEBUG]")
        assert "Proxy server supports AuthScheme:8" in debug
        assert "Trying 8 authentication scheme although proxy server supports 8 authentication scheme" in debug
        assert_failure(q, 6)
        assert "TCP_DENIED/407" in log and " alice " not in log

    def test_ntlm_squid_is_chosen_as_ntlm(self, pm, settings):
        # squid's ntlm_fake_auth accepts any NTLM exchange, but Wine completes none with it:
        # without Samba's ntlm_auth Wine has no NTLM at all, and with it ntlm_auth refuses the
        # helper's challenge (NT_STATUS_INVALID_PARAMETER).
        with running_squid("ntlm") as squid:
            settings.ie(PROXY, f"127.0.0.1:{squid.port}")
            q = pm.query(URL, user="CORP\\dave", password="n7lm", silent=1, timeout=60)
        debug = q.messages("[DEBUG]")
        assert "Proxy server supports AuthScheme:2" in debug
        assert "Trying 2 authentication scheme although proxy server supports 2 authentication scheme" in debug
        assert_failure(q, 6)



@pytest.mark.parametrize("mode,stored", [("noscheme", False), ("noscheme", True), ("unknown", False)])
def test_challenge_without_a_usable_scheme_ends_the_candidate_without_a_prompt(pm, settings, dialog, mode, stored):
    with ScriptedProxy(mode) as proxy:
        settings.ie(PROXY, f"127.0.0.1:{proxy.port}")
        if stored:
            settings.cred_write("127.0.0.1", "alice", "wonderland")
        q = pm.query(URL, timeout=60)
    assert_failure(q, 2)
    assert dialog_count(q) == 0 and q.has("Proxy server offers no usable authentication scheme (0).", "[ERROR]")
    dialog.assert_none()
    # Stored credentials first cost one send that learns the (missing) schemes.
    assert len(proxy.requests) == (2 if stored else 1)
