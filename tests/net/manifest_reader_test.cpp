// The manifest readers on real documents, loaded from their bytes the way the product loads them.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstdio>
#include <string>

#include "flow/manifest_reader.h"

using namespace velt;

namespace {

struct Manifest {
    explicit Manifest(const std::string& text) : doc(true, tinyxml2::PRESERVE_WHITESPACE) { loadManifest(doc, text); }
    std::string version() const { return manifestVersion(doc); }
    std::string url(const std::string& platform = "windows") const { return manifestInstallerUrl(doc, platform); }
    tinyxml2::XMLDocument doc;
};

std::string manifest(const std::string& inner)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<installerInformation>\n" + inner + "\n</installerInformation>\n";
}

const std::string kLocation =
    "<downloadLocationList><downloadLocation><url>https://dl.example.test/desktop/</url></downloadLocation>"
    "</downloadLocationList>";

}  // namespace

TEST(ManifestReader, TypicalManifest)
{
    Manifest m(manifest("<version>7.1.0.12</version>" + kLocation +
                        "<platformFileList><file><platform>windows</platform><filename>VeltraneDesktopApp.exe"
                        "</filename></file></platformFileList>"));
    EXPECT_EQ(m.version(), "7.1.0.12");
    EXPECT_EQ(m.url(), "https://dl.example.test/desktop/VeltraneDesktopApp.exe");
}

TEST(ManifestReader, PlatformEntriesInAnyOrderAndUnderAnyName)
{
    Manifest m(manifest(kLocation +
                        "<platformFileList>"
                        "<mac><platform>macos</platform><filename>App.dmg</filename></mac>"
                        "<entry><platform>Windows</platform><filename>Upper.exe</filename></entry>"
                        "<entry><platform>windows</platform></entry>"
                        "<entry><platform>windows</platform><filename><!-- none --></filename></entry>"
                        "<x><platform>windows</platform><filename>First.exe</filename></x>"
                        "<y><platform>windows</platform><filename>Second.exe</filename></y>"
                        "</platformFileList>"));
    // Other platforms, a different letter case, an entry without filename and one whose filename
    // has no text are passed over; the first windows entry with a file name wins.
    EXPECT_EQ(m.url(), "https://dl.example.test/desktop/First.exe");
    EXPECT_EQ(m.url("macos"), "https://dl.example.test/desktop/App.dmg");
    EXPECT_EQ(m.url("Windows"), "https://dl.example.test/desktop/Upper.exe");
    EXPECT_EQ(m.version(), "");
}

TEST(ManifestReader, UrlJoinedAsItIs)
{
    Manifest m(manifest("<downloadLocationList><downloadLocation><url>http://h/dir</url></downloadLocation>"
                        "</downloadLocationList><platformFileList><f><platform>windows</platform>"
                        "<filename>Setup.exe</filename></f></platformFileList>"));
    EXPECT_EQ(m.url(), "http://h/dirSetup.exe");
}

TEST(ManifestReader, MissingPartsGiveEmptyOrPartialUrls)
{
    EXPECT_EQ(Manifest(manifest(kLocation)).url(), "") << "no platformFileList";
    EXPECT_EQ(Manifest(manifest(kLocation + "<platformFileList><f><platform>linux</platform><filename>a"
                                            "</filename></f></platformFileList>"))
                  .url(),
              "https://dl.example.test/desktop/")
        << "no windows entry: the url alone";
    // Only the first downloadLocation counts, even without a url.
    EXPECT_EQ(Manifest(manifest("<downloadLocationList><downloadLocation/><downloadLocation><url>http://second/"
                                "</url></downloadLocation></downloadLocationList><platformFileList><f><platform>"
                                "windows</platform><filename>a.exe</filename></f></platformFileList>"))
                  .url(),
              "");
    EXPECT_EQ(Manifest(manifest("<version>1.2.3.4</version>")).url(), "");
}

TEST(ManifestReader, VersionTextRules)
{
    EXPECT_EQ(Manifest(manifest("<version>1.2.3.4</version><version>9.9.9.9</version>")).version(), "1.2.3.4");
    // Whitespace is preserved, entities are resolved, an element first means no text.
    EXPECT_EQ(Manifest(manifest("<version> 1.2 </version>")).version(), " 1.2 ");
    EXPECT_EQ(Manifest(manifest("<version>1&amp;2</version>")).version(), "1&2");
    EXPECT_EQ(Manifest(manifest("<version><b/>1.2.3.4</version>")).version(), "");
    EXPECT_EQ(Manifest(manifest("<Version>1.2.3.4</Version>")).version(), "");
    EXPECT_EQ(Manifest("<other><version>1.2.3.4</version></other>").version(), "");
    EXPECT_EQ(Manifest("<installerInformation><version>1.2").version(), "") << "cut off";
    EXPECT_EQ(Manifest("").version(), "");
    // UTF-8 text comes back as the document's bytes.
    EXPECT_EQ(Manifest(manifest("<version>\xc3\xa9</version>")).version(), "\xc3\xa9");
}

TEST(ManifestReader, OneReadingGivesBothAnswers)
{
    const ManifestInfo info = parseManifest(manifest("<version>7.1.0.2</version>" + kLocation +
        "<platformFileList><e><platform>windows</platform><filename>Setup.exe</filename></e></platformFileList>"));
    EXPECT_EQ(info.version, "7.1.0.2");
    EXPECT_EQ(info.installerUrl, "https://dl.example.test/desktop/Setup.exe");
    const ManifestInfo none = parseManifest("");
    EXPECT_EQ(none.version, "");
    EXPECT_EQ(none.installerUrl, "");
}

TEST(ManifestReader, PinComesFromTheEntryThatNamesTheFile)
{
    const std::string hash = "00112233445566778899aabbccddeeffFFEEDDCCBBAA99887766554433221100";
    // The first windows entry has no file name: its sha256 is not the one that counts.
    const auto pinned = [](const std::string& extra, const std::string& info = "") {
        return parseManifest(manifest(info + kLocation + "<platformFileList><e><platform>windows</platform><sha256>" +
                                      std::string(64, 'f') + "</sha256></e><e><platform>windows</platform>"
                                      "<filename>Setup.exe</filename>" + extra + "</e></platformFileList>"));
    };
    const ManifestInfo info = pinned("<sha256>" + hash + "</sha256><size>4294967295</size>");
    ASSERT_TRUE(info.pinValid && !info.hasExpiry);
    EXPECT_EQ(info.sha256[0] + info.sha256[15] + info.sha256[16] + info.sha256[31], 0x1fe);
    EXPECT_EQ(info.size, 4294967295u);
    // Each half alone, or either one malformed, is no pin.
    for (const std::string& extra : {"<sha256>" + hash + "</sha256>", std::string("<size>12</size>"),
                                     "<sha256> " + hash + "</sha256><size>12</size>",
                                     "<sha256>" + hash + "</sha256><size>4294967296</size>"})
        EXPECT_FALSE(pinned(extra).pinValid) << extra;
    const ManifestInfo expiring = pinned("", "<expires>2030-01-01T00:00:00Z</expires>");
    EXPECT_TRUE(expiring.hasExpiry && expiring.expiryValid && expiring.expires == 1893456000);
    const ManifestInfo broken = pinned("", "<expires>2030-01-01</expires>");
    EXPECT_TRUE(broken.hasExpiry && !broken.expiryValid);
}
