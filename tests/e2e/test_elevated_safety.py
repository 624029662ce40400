"""The stub runs elevated from a Downloads folder: DLLs planted beside it must never load."""
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from e2e_harness import STUB, WIN_BIN, winpath

# DLLs the loader takes from the system's known-DLL list (or, for the common controls, from
# the side-by-side store the manifest names), whatever lies beside the program.
KNOWN = {"advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "shell32.dll",
         "user32.dll", "shlwapi.dll", "ole32.dll", "oleaut32.dll", "ws2_32.dll"}
DELAY_LOADED = ["winhttp.dll", "wintrust.dll", "crypt32.dll", "credui.dll", "bcrypt.dll"]
# Loaded late, by the stub or by system DLLs on its behalf. Not planted: uxtheme.dll and
# version.dll, which Wine's own user32 loads by bare name while the process initialises, before
# the program's first instruction (on Windows user32 and what it imports are known DLLs).
LATE_LOADED = ["dwmapi.dll", "secur32.dll", "jsproxy.dll", "dnsapi.dll", "iphlpapi.dll", "dhcpcsvc.dll",
               "comctl32.dll", "msimg32.dll"]


ALLOWED_IMPORTS = Path(__file__).with_name("allowed_imports.txt")
WINDOWS_7 = (6, 1)


def import_table(exe):
    """(dll, function) for every function the loader binds before the program starts."""
    out = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(exe)], capture_output=True, text=True,
                         check=True).stdout
    dll, table = None, set()
    for line in out.splitlines():
        named = re.match(r"\s+DLL Name: (\S+)", line)
        if named:
            dll = named.group(1).lower()
            table.add((dll, None))
        elif dll and (entry := re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)):
            table.add((dll, entry.group(1)))
    return table


def imported_dlls(exe):
    return {dll for dll, _ in import_table(exe)}


def test_every_import_exists_on_windows_7():
    allowed = {}
    for line in ALLOWED_IMPORTS.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            dll, function, version = line.split()
            allowed[(dll, function)] = tuple(int(part) for part in version.split("."))
    functions = {entry for entry in import_table(STUB) if entry[1] is not None}
    assert functions, "no import table read"
    unlisted = sorted(f"{dll}!{fn}" for dll, fn in functions if (dll, fn) not in allowed)
    too_new = sorted(f"{dll}!{fn} ({'.'.join(map(str, allowed[(dll, fn)]))})" for dll, fn in functions
                     if (dll, fn) in allowed and allowed[(dll, fn)] > WINDOWS_7)
    assert not unlisted, f"imports missing from {ALLOWED_IMPORTS.name}: {unlisted}"
    assert not too_new, f"imports Windows 7 does not have: {too_new}"


def test_import_table_names_only_known_dlls():
    imports = imported_dlls(STUB)
    assert imports <= KNOWN, f"imported the ordinary way: {sorted(imports - KNOWN)}"
    data = STUB.read_bytes().lower()
    for dll in DELAY_LOADED:
        assert dll.encode() in data, f"{dll} is neither imported nor delay-loaded"


def plant(folder, names):
    for name in names:
        shutil.copyfile(WIN_BIN / "planted_dll.dll", folder / name)


# With the loader's search flags (Windows 8 on, Windows 7 with the loader update), and without
# them as on Windows 7 as released, which the stub's switch selects where the flags exist.
@pytest.mark.parametrize("search", [{}, {"VELT_DLL_SEARCH_WITHOUT_FLAGS": "1"}], ids=["search-flags", "full-paths"])
def test_planted_dlls_beside_the_stub_are_not_loaded(bootstrap, tmp_path, search):
    names = DELAY_LOADED + LATE_LOADED
    overrides = "mscoree,mshtml=;" + ",".join(n[:-4] for n in names) + "=n,b"

    # The plant works: a program without the protection picks it up from its own folder.
    control = tmp_path / "control"
    control.mkdir()
    shutil.copyfile(WIN_BIN / "dll_search_control.exe", control / "dll_search_control.exe")
    plant(control, ["winhttp.dll"])
    rc, _ = bootstrap.wine.run([control / "dll_search_control.exe", "winhttp.dll"],
                               extra_env={"WINEDLLOVERRIDES": overrides})
    assert rc == 0
    assert (control / "planted-loaded.txt").exists(), "the plant must be effective for this test to mean anything"

    # The stub, in a folder with every DLL it loads late planted, goes as far as its first
    # download (WinHTTP in use) and never loads one of them.
    downloads = tmp_path / "Downloads"
    downloads.mkdir()
    # With an update key, the key is decoded (crypt32, bcrypt) before the first request.
    key = subprocess.run("openssl ecparam -name prime256v1 -genkey -noout | openssl ec -pubout -outform DER | base64 -w0",
                         shell=True, capture_output=True, text=True, check=True).stdout
    exe = bootstrap.stamp({"updateXmlUrl": "http://localhost:9/utility/kestrel/update.xml", "updateXmlKeys": [key]},
                          folder=downloads)
    plant(downloads, names)
    run = bootstrap.start(exe, extra_env={"WINEDLLOVERRIDES": overrides, **search})
    run.wait_for(lambda s: s["found"] and (s.get("status") or "").startswith("Aborted.(Error:"), timeout=60,
                 what="the failed download")
    assert any("error code = [8]" in l or "error code = [7]" in l for l in run.log_lines())
    run.close_window()
    assert run.wait() == 0
    assert not (downloads / "planted-loaded.txt").exists(), (downloads / "planted-loaded.txt").read_text("utf-16-le")


@pytest.mark.parametrize("through_link", [False, True], ids=["plain-folder", "linked-folder"])
def test_the_log_is_never_written_through_a_link_in_the_users_temp(bootstrap, tmp_path, through_link):
    # %temp% comes from the user's own settings, which the user's unelevated processes can point
    # anywhere: through a link the elevated stub writes no log at all, and still runs.
    real, elsewhere = tmp_path / "real", tmp_path / "elsewhere"
    real.mkdir()
    elsewhere.mkdir()
    (real / "link").symlink_to(elsewhere, target_is_directory=True)
    temp = real / "link" if through_link else real
    exe = bootstrap.stamp('{"updateXmlUrl": "http://localhost:9/update.xml"}', folder=tmp_path / "Downloads")
    key = r"HKCU\Environment"
    rc, before = bootstrap.wine.run(["reg", "query", key, "/v", "TEMP"])
    assert rc == 0 and "TEMP" in before
    kind, value = before.split("TEMP", 1)[1].split(None, 1)
    try:
        rc, out = bootstrap.wine.run(["reg", "add", key, "/v", "TEMP", "/t", "REG_SZ", "/d", winpath(temp), "/f"])
        assert rc == 0, out
        run = bootstrap.start(exe, ["-showmetadata"])
        assert run.wait() == 0
    finally:
        bootstrap.wine.run(["reg", "add", key, "/v", "TEMP", "/t", kind, "/d", value.strip(), "/f"])
    logs = [p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("VeltappBootstrap.log")]
    assert logs == ([] if through_link else ["real/VeltappBootstrap.log"])
