"""fetchUpdateManifest and the one reading of what it received, in the current folder, under Wine."""
import json

import pytest

from net_harness import Route, log_messages, winpath

LOCATION = ("<downloadLocationList><downloadLocation><url>http://dl.test/d</url></downloadLocation>"
            "<downloadLocation><url>http://second.test/</url></downloadLocation></downloadLocationList>")


def doc(inner):
    return f"<?xml version=\"1.0\"?>\n<installerInformation>{inner}</installerInformation>\n".encode()


@pytest.mark.usefixtures("direct")
class TestManifestUnderWine:
    def test_edge_cases_on_the_downloaded_file(self, wine, http_server):
        cases = [
            # other platforms first, two windows entries, url without "/", second location ignored
            (doc("<version>7.1.0.12</version>" + LOCATION + "<platformFileList>"
                 "<a><platform>mac</platform><filename>A.dmg</filename></a>"
                 "<b><platform>WINDOWS</platform><filename>Upper.exe</filename></b>"
                 "<c><platform>windows</platform><filename>Setup.exe</filename></c>"
                 "<d><platform>windows</platform><filename>Later.exe</filename></d></platformFileList>"),
             "7.1.0.12", "http://dl.test/dSetup.exe"),
            (doc(LOCATION + "<platformFileList><c><platform>windows</platform><filename>Setup.exe</filename></c>"
                 "</platformFileList>"), "", "http://dl.test/dSetup.exe"),
            (doc("<version>1.2.3.4</version>" + LOCATION), "1.2.3.4", ""),
            (b"\xef\xbb\xbf" + doc("<version>\xc3\xa9</version>".encode("latin-1").decode("utf-8")), "\u00e9", ""),
            (b"not xml at all", "", ""),
        ]
        for n, (body, version, url) in enumerate(cases):
            http_server.routes[f"/m{n}/update.xml"] = Route(body)
            res, _, d = wine.call("manifest", http_server.url(f"/m{n}/update.xml"))
            assert (res["code"], res["version"], res["installerUrl"]) == (0, version, url), n
            assert (d / "update.xml").read_bytes() == body

    def test_a_failed_fetch_leaves_an_earlier_manifest_as_it_was(self, wine, http_server):
        folder = wine.fresh("manifest")
        earlier = doc("<version>6.0.0.1</version>")
        (folder / "update.xml").write_bytes(earlier)
        wine.run("manifest", winpath(folder), http_server.url("/gone/update.xml"), winpath(folder / "log.txt"),
                 winpath(folder / "res.json"))
        res = json.loads((folder / "res.json").read_text())
        # Nothing is read from disk: a failed fetch has no manifest, the earlier one stays untouched.
        assert (res["code"], res["version"]) == (8, "")
        assert (folder / "update.xml").read_bytes() == earlier
        assert log_messages(folder / "log.txt")[-1] == ("ERROR", "Error occurred, error code = [8].")
