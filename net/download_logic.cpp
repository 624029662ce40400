#include "net/download_logic.h"

#include <algorithm>
#include <cwctype>

namespace velt {

std::wstring installerFileNameFromUrl(const std::wstring& url)
{
    // Signed download links carry their signature in the query: it is no part of the name.
    std::wstring path = url.substr(0, url.find_first_of(L"?#"));
    // Past "scheme://" comes the host, which is no part of the path either.
    const std::wstring::size_type scheme = path.find(L"://");
    if (scheme != std::wstring::npos) {
        const std::wstring::size_type pathStart = path.find(L'/', scheme + 3);
        path = pathStart == std::wstring::npos ? std::wstring() : path.substr(pathStart);
    }
    const std::wstring::size_type slash = path.rfind(L'/');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

namespace {

constexpr std::size_t kMaxFileNameChars = 255;

wchar_t upper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// Windows maps these names to devices in every folder and with any extension ("nul.exe" is
// NUL); it ignores blanks before the extension as well. Port numbers run from 0, and the
// superscript digits one to three (U+00B9, U+00B2, U+00B3) name ports too.
bool isDeviceName(const std::wstring& name)
{
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (wchar_t& c : base) c = upper(c);
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (base == device) return true;
    if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0)) return false;
    const wchar_t port = base[3];
    return (port >= L'0' && port <= L'9') || port == 0x00B9 || port == 0x00B2 || port == 0x00B3;
}

}  // namespace

FileNameProblem checkPlainFileName(const std::wstring& name)
{
    if (name.empty()) return FileNameProblem::Empty;
    if (name == L"." || name == L"..") return FileNameProblem::DotName;
    for (wchar_t c : name) {
        if (c == L'\\' || c == L'/' || c == L':') return FileNameProblem::Separator;
        if (c < 0x20 || c == 0x7F) return FileNameProblem::ControlCharacter;
        if (std::wstring(L"*?\"<>|").find(c) != std::wstring::npos) return FileNameProblem::ReservedCharacter;
    }
    if (name.back() == L'.' || name.back() == L' ') return FileNameProblem::TrailingDotOrBlank;
    if (isDeviceName(name)) return FileNameProblem::DeviceName;
    if (name.size() > kMaxFileNameChars) return FileNameProblem::TooLong;
    return FileNameProblem::Ok;
}

const wchar_t* describeFileNameProblem(FileNameProblem problem)
{
    switch (problem) {
    case FileNameProblem::Ok: return L"it is a plain file name";
    case FileNameProblem::Empty: return L"it is empty";
    case FileNameProblem::DotName: return L"it names a folder (\".\" or \"..\")";
    case FileNameProblem::Separator: return L"it contains a path or drive separator";
    case FileNameProblem::ControlCharacter: return L"it contains a control character";
    case FileNameProblem::ReservedCharacter: return L"it contains one of *?\"<>|";
    case FileNameProblem::TrailingDotOrBlank: return L"it ends in a dot or a blank";
    case FileNameProblem::DeviceName: return L"it is a reserved device name";
    case FileNameProblem::TooLong: return L"it is longer than 255 characters";
    }
    return L"it is not a plain file name";
}

std::uint32_t pickProxyAuthScheme(std::uint32_t supported)
{
    // Basic comes first, ahead of Negotiate: it is what an authenticating proxy most often
    // offers alongside the others, and the credentials held here are plain user and password.
    for (std::uint32_t scheme : {kAuthBasic, kAuthNegotiate, kAuthNtlm, kAuthPassport, kAuthDigest})
        if (supported & scheme) return scheme;
    return 0;
}

bool isSecureFailure(std::uint32_t error)
{
    for (std::uint32_t code : {12175u, 12037u, 12038u, 12045u, 12057u, 12157u, 12169u, 12170u, 12179u})
        if (error == code) return true;
    return false;
}

float downloadPercent(std::uint64_t received, std::uint32_t contentLength)
{
    const float got = static_cast<float>(static_cast<double>(received));
    const float total = static_cast<float>(static_cast<double>(contentLength));
    return got * 100.0f / total;
}

std::uint32_t ReadSizer::wanted(std::uint32_t available) const
{
    if (available == 0) return 0;
    return std::min(std::max(available, extra_), kMaxReadSize);
}

void ReadSizer::update(std::uint32_t asked, std::uint64_t elapsedMs)
{
    if (elapsedMs > kQuickMs) {
        extra_ = 0;
        return;
    }
    const std::uint64_t grown = static_cast<std::uint64_t>(std::max(asked, kMinExtra)) * 2;
    extra_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(grown, kMaxReadSize));
}

bool bodyComplete(const BodyOutcome& outcome)
{
    if (outcome.readFailed || outcome.writeFailed) return false;
    return !outcome.lengthKnown || outcome.received == outcome.contentLength;
}

std::uint32_t furtherRequestPauseMs(int n)
{
    if (n <= 1) return 0;
    return 1000u << std::min(n - 2, kMaxFurtherRequests - 2);
}

namespace {

std::wstring trimmed(const std::wstring& text)
{
    const auto first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return std::wstring();
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

bool hasControlCharacter(const std::wstring& text)
{
    return std::any_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; });
}

bool equalsIgnoringCase(const std::wstring& a, const wchar_t* b)
{
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    return i == a.size() && !b[i];
}

// Decimal digits only, without overflow; advances `pos`.
bool readNumber(const std::wstring& text, std::size_t& pos, std::uint64_t& value)
{
    const std::size_t start = pos;
    value = 0;
    for (; pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9'; ++pos) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[pos] - L'0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return pos > start;
}

}  // namespace

bool acceptsByteRanges(const std::wstring& acceptRanges)
{
    std::size_t start = 0;
    while (start <= acceptRanges.size()) {
        std::size_t comma = acceptRanges.find(L',', start);
        if (comma == std::wstring::npos) comma = acceptRanges.size();
        if (equalsIgnoringCase(trimmed(acceptRanges.substr(start, comma - start)), L"bytes")) return true;
        start = comma + 1;
    }
    return false;
}

std::wstring resumeValidator(const std::wstring& etag, const std::wstring& lastModified)
{
    const std::wstring tag = trimmed(etag);
    if (tag.size() >= 2 && tag.front() == L'"' && tag.back() == L'"' && !hasControlCharacter(tag)) return tag;
    const std::wstring date = trimmed(lastModified);
    if (!date.empty() && !hasControlCharacter(date)) return date;
    return std::wstring();
}

std::wstring resumeRequestHeaders(std::uint64_t held, const std::wstring& validator)
{
    // std::to_string, not std::to_wstring: the integer overload is the library's own digit
    // writer, where the wide one goes through the C run-time's formatter.
    const std::string digits = std::to_string(held);
    return L"Range: bytes=" + std::wstring(digits.begin(), digits.end()) + L"-\r\nIf-Range: " + validator + L"\r\n";
}

bool parseContentRange(const std::wstring& text, ContentRange& out)
{
    const std::wstring t = trimmed(text);
    std::size_t pos = 0;
    if (t.size() < 6 || !equalsIgnoringCase(t.substr(0, 5), L"bytes") || (t[5] != L' ' && t[5] != L'\t'))
        return false;
    pos = t.find_first_not_of(L" \t", 5);
    if (pos == std::wstring::npos) return false;
    ContentRange range;
    if (!readNumber(t, pos, range.first) || pos >= t.size() || t[pos++] != L'-') return false;
    if (!readNumber(t, pos, range.last) || pos >= t.size() || t[pos++] != L'/') return false;
    if (range.last < range.first) return false;
    if (pos < t.size() && t[pos] == L'*') {
        ++pos;
    } else {
        if (!readNumber(t, pos, range.total) || range.last >= range.total) return false;
        range.totalKnown = true;
    }
    if (pos != t.size()) return false;
    out = range;
    return true;
}

ResumeAction decideResume(const FurtherAnswer& answer, bool asked, std::uint64_t held, std::uint64_t knownTotal,
                          const std::wstring& validator)
{
    if (answer.status == 200) return ResumeAction::Truncate;
    if (answer.status != 206) return ResumeAction::Fail;
    ContentRange range;
    // A part that was never asked for, or that starts anywhere but where the file ends.
    if (!asked || validator.empty() || !parseContentRange(answer.contentRange, range) || range.first != held)
        return ResumeAction::Restart;
    // The same version as the bytes held: the validator sent comes back unchanged.
    const bool byTag = validator.front() == L'"';
    if (trimmed(byTag ? answer.etag : answer.lastModified) != validator) return ResumeAction::Restart;
    // Exactly the bytes the range names, no more and no fewer.
    if (!answer.lengthKnown || answer.contentLength != range.last - range.first + 1) return ResumeAction::Restart;
    // Of a resource of the length already known, and not past its end.
    if (knownTotal != 0 && ((range.totalKnown && range.total != knownTotal) || range.last >= knownTotal))
        return ResumeAction::Restart;
    return ResumeAction::Append;
}

std::uint32_t proxyChallengeScheme(bool queried, std::uint32_t supported)
{
    return queried ? pickProxyAuthScheme(supported) : 0;
}

bool nameValueContains(const std::wstring& value, const std::wstring& part)
{
    const auto fold = [](wchar_t a, wchar_t b) { return upper(a) == upper(b); };
    return std::search(value.begin(), value.end(), part.begin(), part.end(), fold) != value.end();
}

}  // namespace velt
