#include "flow/metadata_layout.h"
#include "flow/metadata_check.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "pe_builder.h"

using namespace velt;
using velt::test::buildPe;
using velt::test::putBytes;

namespace {

std::string readBlock(const std::vector<uint8_t>& file)
{
    const auto start = locateMetadataBlock(file.data(), file.size(), file.size());
    return start ? metadataTextAt(file.data(), file.size(), *start) : std::string();
}

}  // namespace

namespace {

// A file of any size without the memory: `head` holds its first bytes, the rest reads as NULs.
// Counts what is read, so a test can tell that the reader never walks the whole file.
class SparseFile : public FileBytes {
public:
    SparseFile(std::vector<uint8_t> head, uint64_t size) : head_(std::move(head)), size_(size) {}
    uint64_t size() const override { return size_; }
    size_t readAt(uint64_t offset, uint8_t* buffer, size_t length) override
    {
        if (offset >= size_) return 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
        for (size_t i = 0; i < n; ++i) buffer[i] = offset + i < head_.size() ? head_[offset + i] : 0;
        bytesRead += n;
        return n;
    }
    uint64_t bytesRead = 0;

private:
    std::vector<uint8_t> head_;
    uint64_t size_;
};

std::string readPieces(const std::vector<uint8_t>& file)
{
    MemoryFileBytes bytes(file.data(), file.size());
    return readMetadataText(bytes);
}

}  // namespace

TEST(MetadataLocation, BlockStartsAfterTheFurthestSection)
{
    // Sections listed out of file order: the one with the largest raw pointer decides.
    auto file = buildPe({{0x400, 0x200}, {0x800, 0x100}, {0x600, 0x200}}, 0x920);
    putBytes(file, 0x900, std::string("{\"a\":1}\0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(locateMetadataBlock(file.data(), file.size(), file.size()), 0x900u);
    EXPECT_EQ(readBlock(file), "{\"a\":1}");
}

TEST(MetadataLocation, EqualPointersKeepTheFirstSectionAndZeroPointersNeverCount)
{
    auto file = buildPe({{0x400, 0x100}, {0x400, 0x80}, {0, 0x5000}}, 0x600);
    putBytes(file, 0x500, std::string("first\0", 6));
    EXPECT_EQ(locateMetadataBlock(file.data(), file.size(), file.size()), 0x500u);
    EXPECT_EQ(readBlock(file), "first");
}

// Section tables whose data would be cut by a block at the furthest section's end: the reader
// finds no block there, and the packaging step refuses them with a reason.
struct CutSections {
    const char* name;
    std::vector<velt::test::Section> sections;
    const char* reason;
};

class SectionsCutByTheBlock : public ::testing::TestWithParam<CutSections> {};

TEST_P(SectionsCutByTheBlock, GiveNoBlockAndAreNotStamped)
{
    auto file = buildPe(GetParam().sections, 0x2000);
    putBytes(file, 0x600, std::string("{}\0", 3));
    MemoryFileBytes bytes(file.data(), file.size());
    EXPECT_FALSE(locateMetadataBlock(file.data(), file.size(), file.size()));
    EXPECT_EQ(readMetadataText(bytes), "");
    try {
        stampMetadata(file, "{}");
        ADD_FAILURE() << "stamped";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().reason), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SectionsCutByTheBlock,
    ::testing::Values(CutSections{"wraps", {{0x400, 0x200}, {0xFFFFF000, 0x1400}}, "section 2 (\".sect\") wraps around 32 bits"},
                      CutSections{"earlierSectionLonger", {{0x400, 0x1000}, {0x500, 0x100}}, "section 1 (\".sect\") ends at 0x1400"},
                      CutSections{"equalPointerLonger", {{0x400, 0x100}, {0x400, 0x300}}, "after the block start 0x500"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MetadataLocation, SectionTableFollowsTheStatedOptionalHeaderSize)
{
    // The table moved 16 bytes further by a longer optional header: the sections are read there.
    auto file = buildPe({}, 0x800);
    velt::test::put16(file, velt::test::kPe + 6, 1);
    velt::test::put16(file, velt::test::kPe + 20, 224 + 16);
    const size_t entry = velt::test::kPe + 24 + 224 + 16;
    velt::test::put32(file, entry + 16, 0x100);
    velt::test::put32(file, entry + 20, 0x400);
    putBytes(file, 0x500, std::string("{\"moved\":1}\0", 12));
    EXPECT_EQ(readBlock(file), "{\"moved\":1}");
    EXPECT_EQ(readPieces(file), "{\"moved\":1}");
    EXPECT_EQ(parsePeLayout(file.data(), file.size())->headersEnd, entry + 40);
    EXPECT_EQ(readBlock(stampMetadata(file, "{}")), "{}");
}

TEST(MetadataLocation, NoBlockWhenSectionsEndAtOrBeyondTheFileEnd)
{
    auto exact = buildPe({{0x400, 0x200}}, 0x600);
    EXPECT_FALSE(locateMetadataBlock(exact.data(), exact.size(), exact.size()));
    EXPECT_EQ(readBlock(exact), "");
    auto beyond = buildPe({{0x400, 0x400}}, 0x600);
    EXPECT_FALSE(locateMetadataBlock(beyond.data(), beyond.size(), beyond.size()));
    auto none = buildPe({}, 0x300);
    // No section counts: the block would start at 0, which is the DOS header, not metadata.
    EXPECT_EQ(locateMetadataBlock(none.data(), none.size(), none.size()), 0u);
}

TEST(MetadataLocation, BrokenHeadersGiveNoBlockAndNeverReadOutside)
{
    auto file = buildPe({{0x400, 0x100}}, 0x520);
    putBytes(file, 0x500, "{}");

    auto noMz = file;
    noMz[0] = 'X';
    EXPECT_FALSE(locateMetadataBlock(noMz.data(), noMz.size(), noMz.size()));

    auto noPe = file;
    noPe[velt::test::kPe + 2] = 'X';
    EXPECT_FALSE(locateMetadataBlock(noPe.data(), noPe.size(), noPe.size()));

    auto peOutside = file;
    velt::test::put32(peOutside, 60, 0xFFFFFFF0u);
    EXPECT_FALSE(locateMetadataBlock(peOutside.data(), peOutside.size(), peOutside.size()));

    // A section count whose table runs past the bytes read.
    auto manySections = file;
    velt::test::put16(manySections, velt::test::kPe + 6, 0xFFFF);
    EXPECT_FALSE(locateMetadataBlock(manySections.data(), manySections.size(), manySections.size()));

    // Truncated in every possible place: never a crash (ASan watches), never a block.
    for (size_t n = 0; n < 0x80 + 248 + 40; ++n) {
        std::vector<uint8_t> cut(file.begin(), file.begin() + n);
        EXPECT_FALSE(locateMetadataBlock(cut.data(), cut.size(), cut.size())) << n;
    }
    EXPECT_FALSE(locateMetadataBlock(nullptr, 0, 0));
}

TEST(MetadataText, StopsAtTheFirstNulOrTheEnd)
{
    auto file = buildPe({{0x400, 0x100}}, 0x508);
    putBytes(file, 0x500, std::string("ab\0cd", 5));
    EXPECT_EQ(readBlock(file), "ab");
    // A block with no NUL before the certificate table runs on into the table's bytes.
    auto runOn = buildPe({{0x400, 0x100}}, 0x508);
    putBytes(runOn, 0x500, std::string("{}\x08\x02\x00\x00", 6));
    EXPECT_EQ(readBlock(runOn), "{}\x08\x02");
    EXPECT_EQ(metadataTextAt(runOn.data(), runOn.size(), 0x9999), "");
}

TEST(MetadataMarker, EveryOccurrenceIsRemovedWithoutOverlap)
{
    const std::wstring m = kMetadataMarker;
    EXPECT_EQ(m.size(), 38u);
    EXPECT_EQ(removeMetadataMarker(m + L"{\"a\":" + m + L"1}" + m), L"{\"a\":1}");
    EXPECT_EQ(removeMetadataMarker(m + m), L"");
    EXPECT_EQ(removeMetadataMarker(L"{}"), L"{}");
    // Case-sensitive: a lower-case copy is not the marker.
    std::wstring lower = m;
    for (auto& c : lower) c = static_cast<wchar_t>(towlower(c));
    EXPECT_EQ(removeMetadataMarker(lower), lower);
    // Removing one occurrence must not join two halves into a new one that is removed too.
    const std::wstring half1 = m.substr(0, 10), half2 = m.substr(10);
    EXPECT_EQ(removeMetadataMarker(half1 + m + half2), half1 + half2);
}

TEST(Stamping, WritesTextNulAndPaddingAfterTheSectionsAndReadsBack)
{
    auto stub = buildPe({{0x400, 0x101}}, 0x501);
    for (const std::string json : {"{}", "{\"updateXmlUrl\":\"http://h/u.xml\"}", "1234567", "12345678"}) {
        const auto out = stampMetadata(stub, json);
        EXPECT_EQ(out.size() % 8, 0u);
        ASSERT_GE(out.size(), 0x501 + json.size() + 1);
        EXPECT_LT(out.size(), 0x501 + json.size() + 1 + 8);
        EXPECT_TRUE(std::equal(stub.begin(), stub.end(), out.begin()));
        EXPECT_EQ(readBlock(out), json);
        for (size_t i = 0x501 + json.size(); i < out.size(); ++i) EXPECT_EQ(out[i], 0) << i;
    }
    // Stamping a stamped file replaces the old block instead of stacking a second one.
    const auto twice = stampMetadata(stampMetadata(stub, "{\"old\":\"a much longer text than the new one\"}"), "{}");
    EXPECT_EQ(twice, stampMetadata(stub, "{}"));
}

TEST(Stamping, RefusesSignedFilesOtherImagesAndNulText)
{
    auto stub = buildPe({{0x400, 0x100}}, 0x500);
    auto signedStub = stub;
    velt::test::put32(signedStub, velt::test::kPe + 24 + 128, 0x500);
    velt::test::put32(signedStub, velt::test::kPe + 24 + 132, 0x40);
    EXPECT_THROW(stampMetadata(signedStub, "{}"), std::invalid_argument);

    auto pe64 = stub;
    velt::test::put16(pe64, velt::test::kPe + 24, 0x20B);
    try {
        stampMetadata(pe64, "{}");
        ADD_FAILURE() << "stamped a PE32+ image";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("PE32+"), std::string::npos) << e.what();
    }

    std::vector<uint8_t> text(100, 'x');
    EXPECT_THROW(stampMetadata(text, "{}"), std::invalid_argument);
    EXPECT_THROW(stampMetadata(stub, std::string("{}\0x", 4)), std::invalid_argument);
}


TEST(MetadataReader, PieceByPieceGivesTheSameTextAsTheWholeFile)
{
    std::vector<std::vector<uint8_t>> files;
    auto plain = buildPe({{0x400, 0x100}, {0x600, 0x100}}, 0x720);
    putBytes(plain, 0x700, std::string("{\"a\":1}\0", 8));
    files.push_back(plain);
    files.push_back(buildPe({{0x400, 0x200}}, 0x600));  // no block
    files.push_back(buildPe({}, 0x300));                // no section counts: text at offset 0
    auto noNul = buildPe({{0x400, 0x100}}, 0x510);
    putBytes(noNul, 0x500, "0123456789abcdef");
    files.push_back(noNul);
    // A text longer than one piece, so it is put together across reads.
    auto longText = buildPe({{0x400, 0x100}}, 0x500 + 200000);
    std::fill(longText.begin() + 0x500, longText.end() - 1, 'j');
    longText.back() = 0;
    files.push_back(longText);
    files.push_back(std::vector<uint8_t>(plain.begin(), plain.begin() + 0x80 + 248 + 39));  // table cut short

    for (size_t i = 0; i < files.size(); ++i) EXPECT_EQ(readPieces(files[i]), readBlock(files[i])) << "file " << i;
    EXPECT_EQ(readPieces(longText).size(), 200000u - 1);
}

TEST(MetadataReader, HugePaddedFilesCostOnlyHeadersAndText)
{
    // Stubs padded far beyond what a 32-bit process could hold, the block near the start and
    // near the 4 GB limit of the section pointers: the text is found, and the reader reads
    // only the headers, the text and at most one piece after it.
    const std::string json = "{\"updateXmlUrl\":\"http://h/u.xml\"}";
    for (const uint32_t blockStart : {0x600u, 0xF0000000u}) {
        auto head = buildPe({{0x400, 0x200}, {blockStart - 0x100, 0x100}}, 0x600);
        if (blockStart == 0x600) head.insert(head.end(), json.begin(), json.end());
        SparseFile file(head, 6ull << 30);
        // Far out there are only NULs: an empty block.
        EXPECT_EQ(readMetadataText(file), blockStart == 0x600 ? json : "") << blockStart;
        EXPECT_LT(file.bytesRead, 128u * 1024) << blockStart;
    }
}

TEST(Stamping, SectionsEndingInsideTheHeadersAreRefused)
{
    // The copy would end before the file header it then patches (ASan watches the refusal).
    for (const uint32_t end : {0x10u, 0x40u, 0x80u + 20u, 0x80u + 248u + 39u}) {
        auto stub = buildPe({{end - 1, 1}}, 0x400);
        EXPECT_THROW(stampMetadata(stub, "{}"), std::invalid_argument) << end;
    }
}

// The packaging step's acceptance: empty for a document the stub can use, else the reason.
struct DocumentCase {
    const char* name;
    std::string document;
    const char* reason;  // "" when acceptable
};

class MetadataDocument : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(MetadataDocument, IsAcceptedOrRefusedWithItsReason)
{
    const auto& c = GetParam();
    const std::string problem = checkMetadataDocument(c.document);
    if (*c.reason == 0) {
        EXPECT_EQ(problem, "");
        // Whatever the packaging step accepts, the stub's own reading accepts as well.
        Json::Value root;
        EXPECT_TRUE(parseMetadataDocument(c.document, root));
    } else {
        EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Documents, MetadataDocument,
    ::testing::Values(
        DocumentCase{"delivered", "{\n\t\"updateXmlUrl\": \"http://h/utility/kestrel/update.xml\",\n\t\"kestrelLauncherArguments\": \"-postPurchase\"\n}", ""},
        DocumentCase{"commentsHttpsPortNull", "// c\n{\"updateXmlUrl\": \"HTTPS://[::1]:8443/u.xml?a#b\", \"kestrelLauncherArguments\": null}", ""},
        DocumentCase{"notJson", "this is not { json", "not JSON"},
        DocumentCase{"array", "[1, 2]", "not a JSON object"},
        DocumentCase{"missingUrl", "{\"kestrelLauncherArguments\": \"x\"}", "\"updateXmlUrl\" is missing"},
        DocumentCase{"urlNumber", "{\"updateXmlUrl\": 5}", "\"updateXmlUrl\" is not a string"},
        DocumentCase{"urlNull", "{\"updateXmlUrl\": null}", "\"updateXmlUrl\" is not a string"},
        DocumentCase{"relativeUrl", "{\"updateXmlUrl\": \"/utility/update.xml\"}", "not an absolute http or https URL"},
        DocumentCase{"ftpUrl", "{\"updateXmlUrl\": \"ftp://h/update.xml\"}", "not an absolute http or https URL"},
        DocumentCase{"noHost", "{\"updateXmlUrl\": \"http:///update.xml\"}", "not an absolute http or https URL"},
        DocumentCase{"portZero", "{\"updateXmlUrl\": \"http://h:0/u.xml\"}", "not an absolute http or https URL"},
        DocumentCase{"portTooLarge", "{\"updateXmlUrl\": \"http://h:65536/u.xml\"}", "not an absolute http or https URL"},
        DocumentCase{"blankInUrl", "{\"updateXmlUrl\": \"http://h/a b.xml\"}", "not an absolute http or https URL"},
        DocumentCase{"argumentsNumber", "{\"updateXmlUrl\": \"http://h/u.xml\", \"kestrelLauncherArguments\": 5}", "\"kestrelLauncherArguments\" is neither"},
        DocumentCase{"argumentsArray", "{\"updateXmlUrl\": \"http://h/u.xml\", \"kestrelLauncherArguments\": []}", "\"kestrelLauncherArguments\" is neither"},
        DocumentCase{"nul", std::string("{\"updateXmlUrl\": \"http://h/u.xml\"}\0x", 35), "NUL byte"},
        DocumentCase{"marker", "{\"updateXmlUrl\": \"http://h/u.xml\"}{B2F2947D-EA42-43B8-8EB5-BB9FE4B236E2}", "metadata marker"},
        DocumentCase{"empty", "", "empty"}),
    [](const auto& info) { return std::string(info.param.name); });
