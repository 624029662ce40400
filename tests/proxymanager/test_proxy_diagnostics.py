"""The proxy manager's debug output as a debug-output viewer sees it: the switch, the exact line
format, one status line per call, the result line only on success, no password anywhere."""
import re

import pytest

from scripted_proxy import ScriptedProxy

PROXY = 2
PREFIX = "Veltrane   VeltProxyManager   "


@pytest.mark.parametrize("value", ["TRUE", "true", "True"])
def test_switch_on(pm, settings, value):
    q = pm.query("http://localhost/", debug=value)
    assert q.status == 1
    assert q.lines[0] == PREFIX + "[INFO]   Performing 'GetProxyInfo' API ...\n"
    assert q.lines[-1] == PREFIX + "[INFO]   PMStatus:1\n"
    for line in q.lines:
        assert re.fullmatch(re.escape(PREFIX) + r"\[(DEBUG|INFO|ERROR)\]   [^\n]*\n", line), line


@pytest.mark.parametrize("value", [None, "", "yes", "1", "FALSE", "on"])
def test_switch_off(pm, settings, value):
    q = pm.query("http://localhost/", debug=value)
    assert q.status == 1
    assert q.lines == []


def test_switch_is_read_once_at_start_up(pm, settings):
    q = pm.query("http://localhost/", debug=None, setenv="VELT_ENABLE_DEBUG_STRING=TRUE")
    assert q.status == 1
    assert q.lines == []
    q = pm.query("http://localhost/", debug="TRUE", setenv="VELT_ENABLE_DEBUG_STRING=FALSE")
    assert q.lines[-1] == PREFIX + "[INFO]   PMStatus:1\n"


def test_one_status_line_per_call_and_result_line_only_on_success(pm, settings):
    q = pm.query("http://localhost/", calls=3)
    assert [c["status"] for c in q.calls] == [1, 1, 1]
    assert q.messages().count("PMStatus:1") == 3
    assert not any(m.startswith("Output: [") for m in q.messages())

    with ScriptedProxy("ok") as proxy:
        settings.ie(PROXY, f"127.0.0.1:{proxy.port}")
        q = pm.query("http://localhost/", calls=2, user="eve", password="hunter2")
    assert [c["status"] for c in q.calls] == [0, 0]
    status_lines = [i for i, m in enumerate(q.messages()) if m.startswith("PMStatus:")]
    assert len(status_lines) == 2
    for i in status_lines:
        assert q.messages()[i] == "PMStatus:0"
        assert q.lines[i + 1] == (PREFIX + f"[INFO]   Output: [server=127.0.0.1 serverPort={proxy.port} user=eve "
                                  "password=**** authScheme=0]\n")
    assert all("hunter2" not in line for line in q.lines)


def test_unknown_level_is_written_as_info(pm, settings):
    q = pm.query("http://localhost/", level=7)
    assert q.lines[0] == PREFIX + "[INFO]   level probe\n"


def test_api_failure_line_with_and_without_system_text(pm, settings):
    # Nothing listens on port 9: WinHTTP's own error code, for which the system has no text.
    settings.ie(PROXY, "127.0.0.1:9")
    q = pm.query("http://localhost/")
    assert q.status == 2
    assert PREFIX + "[ERROR]   WinHttpSendRequest() API failed. Error:12029 Description:\n" in q.lines
    # A host name longer than WinHttpCrackUrl's buffer: a system error with its text.
    q = pm.query("http://" + "h" * 300 + "/")
    errors = [line for line in q.lines if "WinHttpCrackUrl() API failed." in line]
    assert len(errors) == 1
    assert re.fullmatch(re.escape(PREFIX) + r"\[ERROR\]   WinHttpCrackUrl\(\) API failed\. Error:(\d+) "
                        r"Description:(.+)\r\n\n", errors[0]), errors[0]


def test_long_message_is_cut_safely(pm, settings):
    url = "http://localhost/" + "x" * 3000
    q = pm.query(url)
    assert q.status == 1
    line = next(line for line in q.lines if "Input URL:" in line)
    assert line == PREFIX + "[INFO]   " + ("Input URL:" + url)[:1023] + "\n"


def test_null_records_and_empty_url(pm, settings):
    q = pm.query("http://localhost/", null_in=1)
    assert q.call["status"] == 4 and q.lines == []
    q = pm.query("http://localhost/", null_out=1)
    assert q.call["status"] == 4 and q.lines == []
    q = pm.query("")
    assert q.call == {"status": 4, "server": None, "serverPort": None, "user": None, "password": None,
                      "authScheme": 0}
    assert q.lines == [PREFIX + "[INFO]   Performing 'GetProxyInfo' API ...\n",
                       PREFIX + "[ERROR]   Input data 'UserData.url' is NULL or empty!\n",
                       PREFIX + "[INFO]   PMStatus:4\n"]
    q = pm.query(None, no_url=1)
    assert q.call["status"] == 4
    assert PREFIX + "[ERROR]   Input data 'UserData.url' is NULL or empty!\n" in q.lines


def test_invalid_utf8_leaves_as_bad_conversion(pm, settings):
    # A lone 0xFF byte in the password (written through surrogateescape).
    with ScriptedProxy("ok") as proxy:
        settings.ie(PROXY, f"127.0.0.1:{proxy.port}")
        q = pm.query("http://localhost/", user="ok", password="\udcff")
    assert q.result["exception"] == "bad conversion"
