"""CDownloader and downloadFile under Wine against real local HTTP and HTTPS servers."""
import os
import time

import pytest

from net_harness import Route

BODY = os.urandom(300_000)


def status_lines(log):
    return [m for level, m in log if ">> The return code for the http request" in m]


def further_lines(log):
    return [m for level, m in log if m.startswith("Download ended early;")]


@pytest.mark.usefixtures("direct")
class TestPlainHttp:
    def test_200_with_length_lands_in_the_file_with_rising_percentages(self, wine, http_server):
        http_server.routes["/files/app.bin"] = Route(BODY, chunk=16_384)
        res, log, d = wine.call("download", http_server.url("/files/app.bin"), "app.bin")
        assert res["open"] and res["fetch"]
        assert (d / "app.bin").read_bytes() == BODY
        assert not res["secure"], "an http URL on another port than 80 is still plain HTTP"
        assert res["proxy"] is None
        assert res["calls"] >= 2 and res["nonFinite"] == 0 and not res["decreasing"]
        assert res["last"] == 100.0
        assert log == [("INFO", "4 >> The return code for the http request = [200]."),
                       ("INFO", "Begin to receive binary from server."),
                       ("INFO", "End of receive binary from server.")]
        req = http_server.requests[-1]
        assert req["headers"]["User-Agent"] == "WEB_INSTALL_3_0"

    def test_200_without_length_gives_no_finite_percentage(self, wine, http_server):
        http_server.routes["/files/nolen.bin"] = Route(BODY, length=False, chunk=32_768)
        res, log, d = wine.call("download", http_server.url("/files/nolen.bin"), "nolen.bin")
        assert res["fetch"]
        assert (d / "nolen.bin").read_bytes() == BODY
        assert res["calls"] >= 2 and res["nonFinite"] == res["calls"], "no length, no percentage"

    def test_empty_body_makes_an_empty_file_and_one_report(self, wine, http_server):
        http_server.routes["/files/empty.bin"] = Route(b"")
        res, _, d = wine.call("download", http_server.url("/files/empty.bin"), "empty.bin")
        assert res["fetch"]
        assert (d / "empty.bin").read_bytes() == b""
        assert res["calls"] == 1

    def test_query_string_stays_in_the_object_name(self, wine, http_server):
        http_server.routes["/a/b.xml"] = Route(b"<x/>")
        res, _, _ = wine.call("download", http_server.url("/a/b.xml?x=1&y=%C3%A9"), "b.xml")
        assert res["object"] == "/a/b.xml?x=1&y=%C3%A9"
        assert http_server.requests[-1]["path"] == "/a/b.xml?x=1&y=%C3%A9"

    def test_404_is_tried_four_times(self, wine, http_server):
        before = len(http_server.requests)
        res, log, d = wine.call("file", http_server.url("/missing.xml"), "missing.xml")
        assert res["code"] == 8
        assert status_lines(log) == [f"{n} >> The return code for the http request = [404]." for n in (4, 3, 2, 1)]
        assert log[-1] == ("ERROR", "Error occurred, error code = [8].")
        assert len(http_server.requests) - before == 4
        assert not (d / "missing.xml").exists(), "no file without a 200 answer"

    def test_500_fails_with_code_8(self, wine, http_server):
        http_server.routes["/broken"] = Route(b"oops", status=500)
        res, log, _ = wine.call("file", http_server.url("/broken"), "broken")
        assert res["code"] == 8
        assert len(status_lines(log)) == 4

    def test_a_connection_cut_on_every_request_fails_after_five_further_requests(self, wine, http_server):
        http_server.routes["/files/cut.bin"] = Route(BODY, drop_after=10_000, chunk=5_000, ranges=True, etag='"v1"')
        before = len(http_server.requests)
        started = time.monotonic()
        res, log, d = wine.call("file", http_server.url("/files/cut.bin"), "cut.bin")
        assert res["code"] == 8
        assert further_lines(log) == [f"Download ended early; further request {n} of 5 from byte {n * 10_000}."
                                      for n in range(1, 6)]
        assert log[-2:] == [("ERROR", "The download did not complete after 5 further requests."),
                            ("ERROR", "Error occurred, error code = [8].")]
        assert len(http_server.requests) - before == 6
        assert (d / "cut.bin").read_bytes() == BODY[:60_000]
        assert time.monotonic() - started >= 15, "pauses of 1, 2, 4 and 8 seconds"

    def test_a_body_shorter_than_announced_is_reported(self, wine, http_server):
        # The server closes after the short body every time (one that keeps the connection open
        # is waited for until WinHTTP's receive time-out, 30 s per request).
        http_server.routes["/files/short.bin"] = Route(BODY[:1000], length=5000, drop_after=1000)
        res, log, _ = wine.call("download", http_server.url("/files/short.bin"), "short.bin")
        assert res["open"] and not res["fetch"]
        assert log.count(("ERROR", "Received 1000 bytes of the 5000 announced.")) == 6

    def test_a_slow_server_is_waited_for(self, wine, http_server):
        http_server.routes["/files/slow.bin"] = Route(BODY[:64_000], chunk=8_000, delay=0.25)
        res, _, d = wine.call("download", http_server.url("/files/slow.bin"), "slow.bin")
        assert res["fetch"]
        assert (d / "slow.bin").read_bytes() == BODY[:64_000]
        assert res["calls"] >= 4 and not res["decreasing"]

    def test_a_407_without_a_proxy_gets_no_credentials_and_no_second_request(self, wine, http_server):
        # Answering it would let the platform offer the user's own logon to whoever answered.
        http_server.routes["/files/auth.bin"] = Route(b"", status=407,
                                                      headers={"Proxy-Authenticate": 'Basic realm="x"'})
        before = len(http_server.requests)
        res, log, d = wine.call("file", http_server.url("/files/auth.bin"), "auth.bin")
        assert res["code"] == 8
        assert log == [("INFO", "4 >> The return code for the http request = [407]."),
                       ("ERROR", "Proxy authentication is asked for, but no proxy with credentials is in use."),
                       ("ERROR", "Error occurred, error code = [8].")]
        [request] = http_server.requests[before:]
        assert "Proxy-Authorization" not in request["headers"] and "Authorization" not in request["headers"]
        assert not (d / "auth.bin").exists()

    def test_a_file_that_cannot_be_written_is_a_failed_download(self, wine, http_server):
        http_server.routes["/files/w.bin"] = Route(BODY)
        res, log, _ = wine.call("file", http_server.url("/files/w.bin"), "no-such-folder/w.bin")
        assert res["code"] == 8
        assert any(level == "ERROR" and m.startswith("Cannot create the file [") for level, m in log)

    def test_unusable_urls_fail_with_code_7(self, wine):
        # An empty URL is refused by the proxy manager already; the others by WinHTTP.
        res, log, _ = wine.call("file", "", "x.bin")
        assert res["code"] == 7
        assert log == [("ERROR", "Error in veltGetProxyInfo, error code 4"),
                       ("ERROR", "Error occurred, error code = [7].")]
        for url in ("ftp://localhost/x", "not a url"):
            res, log, _ = wine.call("file", url, "x.bin")
            assert res["code"] == 7, url
            assert log[0][0] == "ERROR" and log[0][1].startswith("Error in WinHttpCrackUrl, GetLastError() = ")
            assert log[-1] == ("ERROR", "Error occurred, error code = [7].")

    def test_nobody_listening_fails_with_code_8(self, wine):
        from net_harness import free_port
        res, log, _ = wine.call("file", f"http://localhost:{free_port()}/x", "x.bin")
        assert res["code"] == 8
        assert status_lines(log) == []


@pytest.mark.usefixtures("direct")
class TestHttps:
    def test_https_is_secure_and_trusted_through_the_root_store(self, wine, https_server):
        https_server.routes["/files/app.bin"] = Route(BODY)
        res, log, d = wine.call("download", https_server.url("/files/app.bin"), "app.bin")
        assert res["secure"] and res["fetch"]
        assert (d / "app.bin").read_bytes() == BODY

    def test_an_untrusted_certificate_is_a_secure_failure(self, wine, untrusted_https_server):
        untrusted_https_server.routes["/update.xml"] = Route(b"<x/>")
        res, log, d = wine.call("file", untrusted_https_server.url("/update.xml"), "update.xml")
        assert res["code"] == 8
        assert log == [("ERROR", "ERROR_WINHTTP_SECURE_FAILURE error occurred."),
                       ("ERROR", "Error occurred, error code = [8].")]
        assert not untrusted_https_server.requests, "no request may follow a failed handshake"
        assert not (d / "update.xml").exists()

    def test_plain_http_to_a_tls_port_is_not_upgraded(self, wine, https_server):
        # The scheme decides: an http URL is sent in plain text even to a port that speaks TLS.
        res, _, _ = wine.call("download", f"http://localhost:{https_server.port}/files/app.bin", "x.bin")
        assert res["open"] and not res["secure"] and not res["fetch"]


THIRD = len(BODY) // 3
NEW_BODY = os.urandom(len(BODY))
DATE = "Tue, 08 Dec 2026 10:00:00 GMT"


@pytest.mark.usefixtures("direct")
class TestResume:
    @pytest.mark.parametrize("route,asked,result,appended", [
        # Byte ranges of a named version: the rest is asked for and appended.
        (dict(ranges=True, etag='"v1"'), {"Range": f"bytes={THIRD}-", "If-Range": '"v1"'}, BODY, True),
        (dict(ranges=True, last_modified=DATE), {"Range": f"bytes={THIRD}-", "If-Range": DATE}, BODY, True),
        # A reset is a read error, and what the client had not read yet is lost: it resumes from what
        # it holds. (Slow, so that the headers have arrived: a reset before them fails the first
        # request, as it always has.)
        (dict(ranges=True, etag='"v1"', reset=True, delay=0.2), {"If-Range": '"v1"'}, BODY, True),
        # Says it serves ranges but sends the whole file: taken whole.
        (dict(headers={"Accept-Ranges": "bytes"}, etag='"v1"'), {"Range": f"bytes={THIRD}-"}, BODY, False),
        # The file changed in between: the new version is taken whole, never stitched.
        (dict(ranges=True, etag='"v1"', then=(NEW_BODY, '"v2"')), {"If-Range": '"v1"'}, NEW_BODY, False),
        # No ranges, or only a weak tag: starts again from zero.
        (dict(etag='"v1"'), {"Range": None, "If-Range": None}, BODY, False),
        (dict(ranges=True, etag='W/"v1"'), {"Range": None, "If-Range": None}, BODY, False),
    ], ids=["etag", "last-modified", "reset", "ranges-ignored", "changed", "no-ranges", "weak-etag"])
    def test_a_body_cut_at_a_third_is_completed(self, wine, http_server, route, asked, result, appended):
        http_server.routes["/files/resume.bin"] = Route(BODY, drop_after=[THIRD], chunk=20_000, **route)
        before = len(http_server.requests)
        res, log, d = wine.call("download", http_server.url("/files/resume.bin"), "resume.bin")
        assert res["fetch"]
        assert (d / "resume.bin").read_bytes() == result
        first, second = http_server.requests[before:]
        assert "Range" not in first["headers"]
        for name, value in asked.items():
            assert second["headers"].get(name) == value, name
        offset = int(second["headers"].get("Range", "bytes=0-")[len("bytes="):-1])
        if appended:
            assert 0 < offset <= THIRD
        assert further_lines(log) == [f"Download ended early; further request 1 of 5 from byte {offset}."]
        assert res["last"] == 100.0
        # The bar only goes back when the download starts again from zero.
        assert res["decreasing"] != appended

    @pytest.mark.parametrize("route", [
        dict(etag='"v1"', part_validators=False),
        dict(last_modified=DATE, part_validators=False),
        dict(etag='"v1"', part_extra=(5000, "length")),
        dict(etag='"v1"', part_extra=(5000, "range")),
    ], ids=["no-etag", "no-last-modified", "longer-than-its-range", "past-the-total"])
    def test_a_part_that_cannot_be_trusted_is_never_appended(self, wine, http_server, route):
        # Decided on the headers, before a byte of the part is written: the download asks again
        # for everything and the file is the resource, not a stitch of two.
        http_server.routes["/files/part.bin"] = Route(BODY, drop_after=[THIRD], chunk=20_000, ranges=True, **route)
        before = len(http_server.requests)
        res, log, d = wine.call("download", http_server.url("/files/part.bin"), "part.bin")
        assert res["fetch"]
        assert (d / "part.bin").read_bytes() == BODY
        first, ranged, whole = http_server.requests[before:]
        assert "Range" in ranged["headers"] and "Range" not in whole["headers"]
        offset = int(ranged["headers"]["Range"][len("bytes="):-1])
        assert further_lines(log) == [f"Download ended early; further request 1 of 5 from byte {offset}.",
                                      "Download ended early; further request 2 of 5 from byte 0."]

    def test_a_part_that_ends_before_the_total_is_kept_and_the_rest_asked_for(self, wine, http_server):
        # The server hands out the rest in parts of a third: each is appended and the next asked for.
        http_server.routes["/files/two.bin"] = Route(BODY, drop_after=[THIRD], chunk=20_000, ranges=True,
                                                     etag='"v1"', part_size=THIRD)
        before = len(http_server.requests)
        res, log, d = wine.call("download", http_server.url("/files/two.bin"), "two.bin")
        assert res["fetch"] and (d / "two.bin").read_bytes() == BODY
        offsets = [int(r["headers"]["Range"][len("bytes="):-1]) for r in http_server.requests[before + 1:]]
        # The second part was asked for right where the first (a third long) ended.
        assert len(offsets) == 2 and offsets[1] == offsets[0] + THIRD
        assert not res["decreasing"]
