"""The real bootstrap exe under Wine: start-up, options, metadata, log, languages, window."""
import os
import re
import socket
import threading
import time

import pytest

from e2e_harness import MARKER

LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d (INFO|ERROR)::(.*)$")
NOT_JSON = "this is not { json"


def messages(run):
    """(level, message) of every complete log line the run added."""
    out = []
    for line in run.log_lines():
        m = LINE.match(line)
        assert m, f"malformed log line {line!r}"
        out.append((m.group(1), m.group(2)))
    return out


class Listener:
    """A TCP port that only records whether anybody connected."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(5)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.connections = 0
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
                self.connections += 1
                conn.close()
            except OSError:
                pass

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()


def test_without_metadata_no_window_and_exit_minus_one(bootstrap):
    exe = bootstrap.plain_stub()
    run = bootstrap.start(exe)
    assert run.wait() == 255  # -1 as the process exit status
    assert messages(run) == [
        ("INFO", "Begin to call RetrieveMetadata."),
        ("INFO", f"Path of the stub executable = [Z:{str(exe).replace('/', chr(92))}]"),
        ("ERROR", "Error occurred, error code = [2]."),
    ]


def test_log_is_appended_across_runs(bootstrap):
    exe = bootstrap.plain_stub()
    first = bootstrap.start(exe)
    assert first.wait() == 255
    first_lines = first.log_lines()
    second = bootstrap.start(exe)
    assert second.wait() == 255
    assert second.log_start >= first.log_start + sum(len(l) + 2 for l in first_lines)
    # The first run's lines are still there, in front of the second's.
    data = bootstrap.log_path.read_bytes()[first.log_start:].decode("latin-1")
    assert data.count("INFO::Begin to call RetrieveMetadata.\r\n") == 2
    assert data.split("\r\n")[:3] == first_lines


def test_show_metadata_logs_the_text_closes_and_touches_no_network(bootstrap):
    listener = Listener()
    try:
        text = (MARKER + '{\n\t"updateXmlUrl": "http://127.0.0.1:%d/utility/kestrel/update.xml",' + MARKER +
                '\n\t"kestrelLauncherArguments": "-postPurchase"\n}' + MARKER) % listener.port
        exe = bootstrap.stamp(text, unusable=True)
        run = bootstrap.start(exe, ["-showmetadata"])
        assert run.wait() == 0
        time.sleep(0.5)
        assert listener.connections == 0
    finally:
        listener.close()
    raw = bootstrap.log_path.read_bytes()[run.log_start:].decode("latin-1")
    # The metadata's own line ends and tabs are written escaped: the dump stays one log line.
    expected = text.replace(MARKER, "").replace("\n", "\\n").replace("\t", "\\t")
    assert f"ERROR::Embedded metadata = [{expected}].\r\n" in raw
    assert MARKER not in raw
    # The language is chosen before the dump (the status line shows string 103 by then).
    assert raw.index("INFO::Found string resource of langid [1033].") < raw.index("Embedded metadata")


@pytest.mark.parametrize("stamped", [True, False], ids=["stamped", "plain"])
def test_stub_padded_to_a_gigabyte_gives_its_metadata_or_none(bootstrap, stamped):
    # Padding after the block (a sparse file: NULs) must neither be held in memory nor hide the
    # block; a plain stub padded the same way has an empty block, that is no metadata.
    text = '{"updateXmlUrl": "http://127.0.0.1:9/update.xml"}'
    exe = bootstrap.stamp(text) if stamped else bootstrap.plain_stub()
    os.truncate(exe, 1 << 30)
    run = bootstrap.start(exe, ["-showmetadata"])
    code = run.wait()
    if stamped:
        assert code == 0
        assert ("ERROR", f"Embedded metadata = [{text}].") in messages(run)
    else:
        assert code == 255
        assert messages(run)[-1] == ("ERROR", "Error occurred, error code = [2].")


def test_debug_box_comes_before_everything_else(bootstrap):
    exe = bootstrap.stamp('{"updateXmlUrl": "http://127.0.0.1:9/update.xml"}')
    run = bootstrap.start(exe, ["-showmetadata", "-debug"])
    box = run.wait_for(lambda s: s["found"], title="Debug", what="the Debug box")
    assert box["caption"] == "Debug"
    # The flow waits for the box: no language choice, no metadata dump yet.
    time.sleep(1)
    assert [m for _, m in messages(run) if "langid" in m or "Embedded" in m] == []
    assert run.proc.poll() is None
    run.close_window(title="Debug")
    assert run.wait() == 0
    assert any(m.startswith("Embedded metadata = [") for _, m in messages(run))


@pytest.mark.parametrize("args", [["-ShowMetadata"], ["/showmetadata"], ["--showmetadata"], ["-DEBUG", "x"]])
def test_options_in_other_spellings_are_ignored(bootstrap, args):
    # Had an option been taken, the run would end at once (-showmetadata) or stop at a box.
    exe = bootstrap.stamp(NOT_JSON, unusable=True)
    run = bootstrap.start(exe, args)
    run.wait_for(lambda s: s["found"] and s.get("status") == "Aborted.(Error:3)", what="the abort text")
    assert not any("Embedded metadata" in m for _, m in messages(run))
    run.close_window()
    assert run.wait() == 0


LANGS = [
    # locale, LANGID the log names, found or fallback, the abort text, screenshot name
    ("en_US.UTF-8", 1033, True, "Aborted.(Error:3)", "abort-en"),
    ("de_DE.UTF-8", 1031, True, "Abgebrochen.(Fehler:3)", "abort-de"),
    ("ja_JP.UTF-8", 1041, True, "中止されました。(エラー:3)", "abort-ja"),
    ("pt_PT.UTF-8", 2070, True, "Abortado. (Erro: 3)", "abort-pt"),
    ("en_GB.UTF-8", 2057, False, "Aborted.(Error:3)", "abort-en-gb"),
]


@pytest.mark.parametrize("locale,langid,found,abort,shot", LANGS, ids=[l[0] for l in LANGS])
def test_metadata_that_is_not_json_aborts_with_code_3_in_the_users_language(bootstrap, locale, langid, found,
                                                                           abort, shot):
    exe = bootstrap.stamp(NOT_JSON, unusable=True)
    run = bootstrap.start(exe, lang=locale, extra_env={"WINEDEBUG": "-all,fixme+progress"})
    state = run.wait_for(lambda s: s["found"] and s.get("status") == abort, what=f"status {abort!r}")
    assert state["caption"] == "Veltrane"
    assert state["visible"] and state["hasProgress"]
    assert not state["marquee"]
    run.screenshot(shot)

    # The window stays until the user closes it.
    time.sleep(1)
    assert run.proc.poll() is None
    msgs = messages(run)
    if found:
        assert ("INFO", f"Found string resource of langid [{langid}].") in msgs
    else:
        assert ("INFO", f"Can not find string resource of langid [{langid}], fall back to LANG_ENGLISH.") in msgs
    assert msgs[-2:] == [("ERROR", "Error occurred, error code = [3]."),
                         ("ERROR", "ThreadProc exception caught, type std::exception, display error message.")]

    assert run.close_window()["found"]
    assert run.wait() == 0
    # Wine draws no error state, but the request must have reached the bar.
    assert "state 2 not yet handled" in run.output()


@pytest.mark.parametrize("metadata", ['[1, 2]', '{"updateXmlUrl": 5}', '{"kestrelLauncherArguments": "x"}', '"text"'])
def test_json_without_a_usable_manifest_url_fails_like_bad_json(bootstrap, metadata):
    exe = bootstrap.stamp(metadata, unusable=True)
    run = bootstrap.start(exe)
    run.wait_for(lambda s: s["found"] and s.get("status") == "Aborted.(Error:3)", what="the abort text")
    assert ("ERROR", "Error occurred, error code = [3].") in messages(run)
    run.close_window()
    assert run.wait() == 0


DESKTOP_KEY = r"HKCU\Control Panel\Desktop"


def test_window_scales_with_the_display_and_keeps_its_text_whole(bootstrap):
    """At 96, 144 and 192 DPI (the prefix's LogPixels) the per-monitor-aware dialog is laid out
    again: window, bar and status line grow with the scale, and the status text in the dialog's
    font fits its line. Screenshots dpi-96/144/192 are kept."""
    exe = bootstrap.stamp(NOT_JSON, unusable=True)
    layouts = {}
    try:
        for dpi in (96, 144, 192):
            rc, out = bootstrap.wine.run(["reg", "add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD",
                                          "/d", str(dpi), "/f"])
            assert rc == 0, out
            # German: among the longer texts of string 107.
            run = bootstrap.start(exe, lang="de_DE.UTF-8")
            state = run.wait_for(lambda s: s["found"] and s.get("status") == "Abgebrochen.(Fehler:3)",
                                 what="abort text")
            run.screenshot(f"dpi-{dpi}")
            layouts[dpi] = state
            assert run.close_window()["found"]
            assert run.wait() == 0
    finally:
        bootstrap.wine.run(["reg", "add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d", "96", "/f"])

    width = lambda r: r[2] - r[0]  # noqa: E731
    height = lambda r: r[3] - r[1]  # noqa: E731
    base = layouts[96]
    for dpi, s in layouts.items():
        scale = dpi / 96
        # Text not clipped: the status line holds the text in the dialog's font at this scale.
        text_width, text_height = s["statusExtent"]
        assert text_width <= width(s["statusRect"]) and text_height <= height(s["statusRect"]), (dpi, s)
        # In proportion: every measure grows with the scale (font metrics round, hence 10 %).
        for measure, value in [("client width", s["client"][0] / base["client"][0]),
                               ("client height", s["client"][1] / base["client"][1]),
                               ("bar width", width(s["barRect"]) / width(base["barRect"])),
                               ("bar height", height(s["barRect"]) / height(base["barRect"])),
                               ("status width", width(s["statusRect"]) / width(base["statusRect"])),
                               ("status height", height(s["statusRect"]) / height(base["statusRect"])),
                               ("text height", text_height / base["statusExtent"][1])]:
            assert abs(value / scale - 1) <= 0.1, (dpi, measure, value)
