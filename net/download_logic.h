// The download session's pure decisions, free of any Windows header so the native tests and
// sanitizers see them: the installer's file name, the proxy authentication scheme to answer
// with, the percentage handed to the progress callback and whether a body arrived whole.
#pragma once

#include <cstdint>
#include <string>

namespace velt {

// The installer's local name: the URL's path (query and fragment dropped) after its last "/";
// the whole text, without query and fragment, when it holds no "/"; "" when the path ends in
// "/" or there is none. Percent-escapes stay as they are. The result still has to pass
// checkPlainFileName before anything is written under it.
std::wstring installerFileNameFromUrl(const std::wstring& url);

// Why a name is not a plain file name in the current folder, or Ok. The name comes from the
// network and the file is written (elevated) before anything is checked, so anything that could
// reach another folder, another drive, a share, a device or a stream, or that Windows would
// silently alter (trailing dots and blanks), is refused.
enum class FileNameProblem {
    Ok,
    Empty,
    DotName,            // "." or ".."
    Separator,          // "\", "/" or ":"
    ControlCharacter,   // below 0x20, or 0x7F
    ReservedCharacter,  // one of *?"<>|
    TrailingDotOrBlank,
    DeviceName,         // CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension
    TooLong,            // more than 255 characters
};
FileNameProblem checkPlainFileName(const std::wstring& name);

// The reason as the log states it ("contains a path or drive separator", ...).
const wchar_t* describeFileNameProblem(FileNameProblem problem);

// WinHTTP's authentication scheme bits.
constexpr std::uint32_t kAuthBasic = 0x1;
constexpr std::uint32_t kAuthNtlm = 0x2;
constexpr std::uint32_t kAuthPassport = 0x4;
constexpr std::uint32_t kAuthDigest = 0x8;
constexpr std::uint32_t kAuthNegotiate = 0x10;

// The first offered scheme in the order Basic, Negotiate, NTLM, Passport, Digest; 0 for none.
std::uint32_t pickProxyAuthScheme(std::uint32_t supported);

// Whether a failed send is a TLS failure: ERROR_WINHTTP_SECURE_FAILURE (12175), which the
// platform reports for any certificate problem, or one of the specific certificate and channel
// errors (12037, 12038, 12045, 12057, 12157, 12169, 12170, 12179) that some WinHTTP
// implementations report in its place.
bool isSecureFailure(std::uint32_t error);

// received × 100 / contentLength in single precision. Without a length (0) the result is
// +infinity, or NaN while nothing has arrived: the progress window must cope with both.
float downloadPercent(std::uint64_t received, std::uint32_t contentLength);

// How much each read asks for. WinHTTP says how much it holds, which on some implementations is
// a few kilobytes at a time: reading only that costs one call (and one progress report) per few
// kilobytes. Asking for more makes the read wait until that much has arrived, so the size grows
// (doubling, up to kMaxReadSize) only while reads come back at once, and falls back to what is
// available as soon as one had to wait: fast links get large reads, slow ones keep reporting.
class ReadSizer {
public:
    static constexpr std::uint32_t kMinExtra = 16 * 1024;
    static constexpr std::uint32_t kMaxReadSize = 256 * 1024;
    static constexpr std::uint64_t kQuickMs = 10;

    // 0 when nothing is available (the body has ended); never more than kMaxReadSize, so the
    // buffer stays small whatever WinHTTP holds.
    std::uint32_t wanted(std::uint32_t available) const;
    void update(std::uint32_t asked, std::uint64_t elapsedMs);

private:
    std::uint32_t extra_ = 0;
};

// A 200 body counts as downloaded only when every read succeeded, every byte reached the file
// and, when the server announced a length, exactly that many bytes arrived.
struct BodyOutcome {
    bool readFailed = false;
    bool writeFailed = false;
    bool lengthKnown = false;
    std::uint32_t contentLength = 0;
    std::uint64_t received = 0;
};
bool bodyComplete(const BodyOutcome& outcome);

}  // namespace velt
