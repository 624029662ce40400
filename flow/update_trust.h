// What a delivery that carries update keys asks of its manifest, as pure checks shared by the
// stub, the release tools and the native tests and fuzz targets: the shape of the metadata's
// "updateXmlKeys", the installer's pin (sha256, size), the manifest's expiry time, and where the
// manifest's signature lies. The cryptography itself is the platform's (the stub) or OpenSSL's
// (the host tools); nothing here decodes a key or checks a signature.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace Json {
class Value;
}

namespace velt {

constexpr std::size_t kMaxUpdateKeys = 8;

// Why "updateXmlKeys" cannot be used, or None (absent, null, or an array of one to eight
// strings in standard base64). That each string is the DER public key of a P-256 key is for
// the platform to say.
enum class UpdateKeysProblem { None, NotArray, Empty, TooMany, NotString, NotBase64 };

// Fills `keys` with the base64 texts (none when there is a problem); no keys (absent or null) is the unsigned delivery of old.
// `index` is the position of the entry at fault for NotString and NotBase64.
UpdateKeysProblem readUpdateXmlKeys(const Json::Value& metadata, std::vector<std::string>& keys,
                                    std::size_t& index);

// The reason as the log and veltstamp state it ("is not an array", ...).
const char* describeUpdateKeysProblem(UpdateKeysProblem problem);

// Standard base64 (RFC 4648 alphabet with "+" and "/"), padded to a multiple of four, without
// blanks or line breaks: exactly what `base64 -w0` prints.
bool isStandardBase64(const std::string& text);

// Exactly 64 hexadecimal digits, either letter case.
bool parseSha256Hex(const char* text, std::array<std::uint8_t, 32>& out);

// Decimal digits only, 1 to 4,294,967,295.
bool parseInstallerSize(const char* text, std::uint32_t& out);

// A UTC time written YYYY-MM-DDTHH:MM:SSZ, with a real date (leap years counted) and a time of
// day up to 23:59:59, as seconds since 1970-01-01T00:00:00Z.
bool parseUtcTime(const char* text, std::int64_t& secondsSince1970);

// The seconds since 1970 of a Windows FILETIME value (100 ns units since 1601).
std::int64_t unixSecondsFromFileTime(std::uint64_t fileTime);

// The manifest URL with ".sig" appended to its path, before any query or fragment
// ("http://h/u/update.xml?x" -> "http://h/u/update.xml.sig?x"); an empty path becomes "/.sig".
std::wstring signatureUrlFor(const std::wstring& manifestUrl);

}  // namespace velt
