// The checks a delivery with update keys makes of its metadata and manifest texts.
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>
#include <vector>

#include "flow/update_trust.h"

using namespace velt;

namespace {

struct KeysCase {
    const char* metadata;
    UpdateKeysProblem problem;
    std::size_t keys;   // how many texts come back when there is no problem
    std::size_t index;  // the entry at fault
};

class UpdateKeysShape : public ::testing::TestWithParam<KeysCase> {};

}  // namespace

TEST_P(UpdateKeysShape, Read)
{
    Json::Value root;
    ASSERT_TRUE(Json::Reader().parse(GetParam().metadata, root)) << GetParam().metadata;
    std::vector<std::string> keys;
    std::size_t index = 99;
    EXPECT_EQ(readUpdateXmlKeys(root, keys, index), GetParam().problem) << GetParam().metadata;
    EXPECT_EQ(keys.size(), GetParam().keys);
    EXPECT_EQ(index, GetParam().index);
}

INSTANTIATE_TEST_SUITE_P(UpdateTrust, UpdateKeysShape, ::testing::Values(
    KeysCase{R"({"updateXmlUrl": "http://h/u.xml"})", UpdateKeysProblem::None, 0, 0},
    KeysCase{R"({"updateXmlKeys": null})", UpdateKeysProblem::None, 0, 0},
    KeysCase{R"({"updateXmlKeys": ["QUJD", "QUI=", "QQ=="]})", UpdateKeysProblem::None, 3, 0},
    KeysCase{R"({"updateXmlKeys": ["QUJD","QUJD","QUJD","QUJD","QUJD","QUJD","QUJD","QUJD"]})",
             UpdateKeysProblem::None, 8, 0},
    KeysCase{R"({"updateXmlKeys": ["QUJD","QUJD","QUJD","QUJD","QUJD","QUJD","QUJD","QUJD","QUJD"]})",
             UpdateKeysProblem::TooMany, 0, 0},
    KeysCase{R"({"updateXmlKeys": "QUJD"})", UpdateKeysProblem::NotArray, 0, 0},
    KeysCase{R"({"updateXmlKeys": {"0": "QUJD"}})", UpdateKeysProblem::NotArray, 0, 0},
    KeysCase{R"({"updateXmlKeys": []})", UpdateKeysProblem::Empty, 0, 0},
    KeysCase{R"({"updateXmlKeys": ["QUJD", null]})", UpdateKeysProblem::NotString, 0, 1},
    // Only what `base64 -w0` prints: no blanks, line breaks, URL-safe letters or lost padding.
    KeysCase{R"({"updateXmlKeys": ["QUJD", "QU JD"]})", UpdateKeysProblem::NotBase64, 0, 1},
    KeysCase{R"({"updateXmlKeys": ["QUJD\n"]})", UpdateKeysProblem::NotBase64, 0, 0},
    KeysCase{R"({"updateXmlKeys": ["QU_D"]})", UpdateKeysProblem::NotBase64, 0, 0},
    KeysCase{R"({"updateXmlKeys": ["QUI"]})", UpdateKeysProblem::NotBase64, 0, 0},
    KeysCase{R"({"updateXmlKeys": ["Q==="]})", UpdateKeysProblem::NotBase64, 0, 0},
    KeysCase{R"({"updateXmlKeys": ["QQ==QUJD"]})", UpdateKeysProblem::NotBase64, 0, 0},
    KeysCase{R"({"updateXmlKeys": [""]})", UpdateKeysProblem::NotBase64, 0, 0}));

TEST(UpdateTrust, InstallerSize)
{
    std::uint32_t size = 0;
    EXPECT_TRUE(parseInstallerSize("1", size) && size == 1);
    EXPECT_TRUE(parseInstallerSize("4294967295", size) && size == 4294967295u);
    for (const char* bad : {"", "0", "4294967296", "99999999999999999999999", "-1", "+1", " 1", "1 ", "0x10", "1e3"})
        EXPECT_FALSE(parseInstallerSize(bad, size)) << bad;
    EXPECT_FALSE(parseInstallerSize(nullptr, size));
}

TEST(UpdateTrust, Sha256Text)
{
    std::array<std::uint8_t, 32> out{};
    EXPECT_TRUE(parseSha256Hex(std::string(64, 'A').c_str(), out) && out[31] == 0xaa);
    for (const std::string& bad : {std::string(63, 'a'), std::string(65, 'a'), std::string(63, 'a') + "g",
                                   std::string(62, 'a') + "\n", std::string()})
        EXPECT_FALSE(parseSha256Hex(bad.c_str(), out)) << bad;
    EXPECT_FALSE(parseSha256Hex(nullptr, out));
}

TEST(UpdateTrust, UtcTimes)
{
    std::int64_t t = 0;
    struct {
        const char* text;
        std::int64_t seconds;
    } good[] = {{"1970-01-01T00:00:00Z", 0},          {"2000-02-29T12:34:56Z", 951827696},
                {"2038-01-19T03:14:08Z", 2147483648}, {"9999-12-31T23:59:59Z", 253402300799},
                {"1969-12-31T23:59:59Z", -1}};
    for (const auto& g : good) {
        EXPECT_TRUE(parseUtcTime(g.text, t)) << g.text;
        EXPECT_EQ(t, g.seconds) << g.text;
    }
    for (const char* bad : {"1900-02-29T00:00:00Z", "2023-02-29T00:00:00Z", "2024-04-31T00:00:00Z",
                            "2024-13-01T00:00:00Z", "2024-00-01T00:00:00Z", "2024-01-00T00:00:00Z",
                            "2024-01-01T24:00:00Z", "2024-01-01T00:60:00Z", "2024-01-01T00:00:60Z",
                            "2024-01-01T00:00:00", "2024-01-01T00:00:00z", "2024-01-01 00:00:00Z",
                            "2024-01-01T00:00:00+00:00", "2024-01-01T00:00:00ZZ", "2024-1-01T00:00:00Z", "",
                            "+024-01-01T00:00:00Z"})
        EXPECT_FALSE(parseUtcTime(bad, t)) << bad;
    EXPECT_EQ(unixSecondsFromFileTime(116444736000000000ull), 0);
}

TEST(UpdateTrust, SignatureUrl)
{
    EXPECT_EQ(signatureUrlFor(L"http://h:81/u/update.xml"), L"http://h:81/u/update.xml.sig");
    EXPECT_EQ(signatureUrlFor(L"https://h/u/update.xml?ch=beta&x=/y#top"), L"https://h/u/update.xml.sig?ch=beta&x=/y#top");
    EXPECT_EQ(signatureUrlFor(L"http://h/u/update.xml#a?b"), L"http://h/u/update.xml.sig#a?b");
    EXPECT_EQ(signatureUrlFor(L"http://h"), L"http://h/.sig");
    EXPECT_EQ(signatureUrlFor(L"http://h?x"), L"http://h/.sig?x");
    EXPECT_EQ(signatureUrlFor(L"http://h/"), L"http://h/.sig");
}
