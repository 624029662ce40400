#include "flow/update_trust.h"

#include <json/value.h>

namespace velt {

namespace {

bool isBase64Letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The value of `count` decimal digits at `text`, or -1 when one of them is not a digit.
int digits(const char* text, int count)
{
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(int year, int month, int day)
{
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
}

}  // namespace

bool isStandardBase64(const std::string& text)
{
    if (text.empty() || text.size() % 4 != 0) return false;
    std::size_t padding = 0;
    while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
    for (std::size_t i = 0; i + padding < text.size(); ++i)
        if (!isBase64Letter(text[i])) return false;
    return true;
}

UpdateKeysProblem readUpdateXmlKeys(const Json::Value& metadata, std::vector<std::string>& keys, std::size_t& index)
{
    keys.clear();
    index = 0;
    if (!metadata.isObject()) return UpdateKeysProblem::None;
    const Json::Value& member = metadata["updateXmlKeys"];
    if (member.isNull()) return UpdateKeysProblem::None;
    if (!member.isArray()) return UpdateKeysProblem::NotArray;
    if (member.empty()) return UpdateKeysProblem::Empty;
    if (member.size() > kMaxUpdateKeys) return UpdateKeysProblem::TooMany;
    for (Json::ArrayIndex i = 0; i < member.size(); ++i) {
        index = i;
        const bool isString = member[i].isString();
        if (!isString || !isStandardBase64(member[i].asString())) {
            keys.clear();
            return isString ? UpdateKeysProblem::NotBase64 : UpdateKeysProblem::NotString;
        }
        keys.push_back(member[i].asString());
    }
    index = 0;
    return UpdateKeysProblem::None;
}

const char* describeUpdateKeysProblem(UpdateKeysProblem problem)
{
    switch (problem) {
    case UpdateKeysProblem::None: return "can be used";
    case UpdateKeysProblem::NotArray: return "is not an array";
    case UpdateKeysProblem::Empty: return "is an empty array";
    case UpdateKeysProblem::TooMany: return "holds more than 8 keys";
    case UpdateKeysProblem::NotString: return "holds an entry that is not a string";
    case UpdateKeysProblem::NotBase64: return "holds an entry that is not standard base64";
    }
    return "cannot be used";
}

bool parseSha256Hex(const char* text, std::array<std::uint8_t, 32>& out)
{
    if (!text) return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = high < 0 ? -1 : hexValue(text[2 * i + 1]);
        if (low < 0) return false;
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return text[64] == '\0';
}

bool parseInstallerSize(const char* text, std::uint32_t& out)
{
    if (!text || !*text) return false;
    std::uint64_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > 0xFFFFFFFFull) return false;
    }
    if (value == 0) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool parseUtcTime(const char* text, std::int64_t& secondsSince1970)
{
    // YYYY-MM-DDTHH:MM:SSZ, and nothing after it.
    if (!text) return false;
    static const char kShape[] = "0000-00-00T00:00:00Z";
    for (std::size_t i = 0; i + 1 < sizeof(kShape); ++i) {
        if (text[i] == '\0') return false;
        if (kShape[i] != '0' && text[i] != kShape[i]) return false;
    }
    if (text[sizeof(kShape) - 1] != '\0') return false;
    const int year = digits(text, 4), month = digits(text + 5, 2), day = digits(text + 8, 2);
    const int hour = digits(text + 11, 2), minute = digits(text + 14, 2), second = digits(text + 17, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59)
        return false;
    static const int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int monthDays = kDaysInMonth[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
    if (day > monthDays) return false;
    secondsSince1970 = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

std::int64_t unixSecondsFromFileTime(std::uint64_t fileTime)
{
    constexpr std::uint64_t kTicksPerSecond = 10000000;
    constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
    return static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970;
}

std::wstring signatureUrlFor(const std::wstring& manifestUrl)
{
    const std::wstring::size_type tailStart = manifestUrl.find_first_of(L"?#");
    const std::wstring head = manifestUrl.substr(0, tailStart);
    const std::wstring tail = tailStart == std::wstring::npos ? std::wstring() : manifestUrl.substr(tailStart);
    // After "scheme://" comes the host: a URL without a path of its own stands for "/".
    const std::wstring::size_type scheme = head.find(L"://");
    const bool hasPath = scheme == std::wstring::npos || head.find(L'/', scheme + 3) != std::wstring::npos;
    return head + (hasPath ? L".sig" : L"/.sig") + tail;
}

}  // namespace velt
