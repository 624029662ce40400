// The checks a delivery with update keys makes of its metadata and manifest texts.
#include <gtest/gtest.h>
#include <json/json.h>

#include "flow/update_trust.h"

using namespace velt;
using P = UpdateKeysProblem;

TEST(UpdateTrust, KeysShape)
{
    const std::string eight = R"("QUJD","QUJD","QUJD","QUJD","QUJD","QUJD","QUJD","QUJD")";
    // metadata, problem, texts returned, entry at fault. Only what `base64 -w0` prints passes:
    // no blanks, line breaks, URL-safe letters, lost or misplaced padding.
    const struct { std::string json; P problem; std::size_t keys, index; } cases[] = {
        {R"({"updateXmlUrl": "u"})", P::None, 0, 0},   {R"({"updateXmlKeys": null})", P::None, 0, 0},
        {R"({"updateXmlKeys": ["QUJD", "QUI=", "QQ=="]})", P::None, 3, 0},
        {"{\"updateXmlKeys\": [" + eight + "]}", P::None, 8, 0},
        {"{\"updateXmlKeys\": [" + eight + ",\"QUJD\"]}", P::TooMany, 0, 0},
        {R"({"updateXmlKeys": "QUJD"})", P::NotArray, 0, 0}, {R"({"updateXmlKeys": {"0": "QUJD"}})", P::NotArray, 0, 0},
        {R"({"updateXmlKeys": []})", P::Empty, 0, 0},        {R"({"updateXmlKeys": ["QUJD", null]})", P::NotString, 0, 1},
        {R"({"updateXmlKeys": ["QUJD", "QU JD"]})", P::NotBase64, 0, 1},
        {R"({"updateXmlKeys": ["QUJD\n"]})", P::NotBase64, 0, 0}, {R"({"updateXmlKeys": ["QU_D"]})", P::NotBase64, 0, 0},
        {R"({"updateXmlKeys": ["QUI"]})", P::NotBase64, 0, 0},    {R"({"updateXmlKeys": ["Q==="]})", P::NotBase64, 0, 0},
        {R"({"updateXmlKeys": ["QQ==QUJD"]})", P::NotBase64, 0, 0}, {R"({"updateXmlKeys": [""]})", P::NotBase64, 0, 0}};
    for (const auto& c : cases) {
        Json::Value root;
        ASSERT_TRUE(Json::Reader().parse(c.json, root)) << c.json;
        std::vector<std::string> keys;
        std::size_t index = 99;
        EXPECT_EQ(readUpdateXmlKeys(root, keys, index), c.problem) << c.json;
        EXPECT_EQ(keys.size(), c.keys) << c.json;
        EXPECT_EQ(index, c.index) << c.json;
    }
}

TEST(UpdateTrust, PinTexts)
{
    std::uint32_t size = 0;
    EXPECT_TRUE(parseInstallerSize("1", size) && size == 1);
    EXPECT_TRUE(parseInstallerSize("4294967295", size) && size == 4294967295u);
    for (const char* bad : {"", "0", "4294967296", "99999999999999999999999", "-1", "+1", " 1", "1 ", "0x10", "1e3"})
        EXPECT_FALSE(parseInstallerSize(bad, size)) << bad;
    std::array<std::uint8_t, 32> hash{};
    EXPECT_TRUE(parseSha256Hex(std::string(64, 'A').c_str(), hash) && hash[31] == 0xaa);
    for (const std::string& bad : {std::string(63, 'a'), std::string(65, 'a'), std::string(63, 'a') + "g",
                                   std::string(62, 'a') + "\n", std::string()})
        EXPECT_FALSE(parseSha256Hex(bad.c_str(), hash)) << bad;
    EXPECT_FALSE(parseInstallerSize(nullptr, size) || parseSha256Hex(nullptr, hash));
}

TEST(UpdateTrust, UtcTimes)
{
    const struct { const char* text; std::int64_t seconds; } good[] = {
        {"1970-01-01T00:00:00Z", 0}, {"2000-02-29T12:34:56Z", 951827696}, {"2038-01-19T03:14:08Z", 2147483648},
        {"9999-12-31T23:59:59Z", 253402300799}, {"1969-12-31T23:59:59Z", -1}};
    for (const auto& g : good) {
        std::int64_t t = 0;
        EXPECT_TRUE(parseUtcTime(g.text, t) && t == g.seconds) << g.text;
    }
    for (const char* bad : {"1900-02-29T00:00:00Z", "2023-02-29T00:00:00Z", "2024-04-31T00:00:00Z",
                            "2024-13-01T00:00:00Z", "2024-00-01T00:00:00Z", "2024-01-00T00:00:00Z",
                            "2024-01-01T24:00:00Z", "2024-01-01T00:60:00Z", "2024-01-01T00:00:60Z",
                            "2024-01-01T00:00:00", "2024-01-01T00:00:00z", "2024-01-01 00:00:00Z",
                            "2024-01-01T00:00:00+00:00", "2024-01-01T00:00:00ZZ", "2024-1-01T00:00:00Z", "",
                            "+024-01-01T00:00:00Z"}) {
        std::int64_t t = 0;
        EXPECT_FALSE(parseUtcTime(bad, t)) << bad;
    }
    EXPECT_EQ(unixSecondsFromFileTime(116444736000000000ull), 0);
}

TEST(UpdateTrust, SignatureUrl)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"http://h:81/u/update.xml", L"http://h:81/u/update.xml.sig"},
        {L"https://h/u/update.xml?ch=b&x=/y#top", L"https://h/u/update.xml.sig?ch=b&x=/y#top"},
        {L"http://h/u/update.xml#a?b", L"http://h/u/update.xml.sig#a?b"},
        {L"http://h", L"http://h/.sig"}, {L"http://h?x", L"http://h/.sig?x"}, {L"http://h/", L"http://h/.sig"}};
    for (const auto& c : cases) EXPECT_EQ(signatureUrlFor(c.first), c.second);
}
