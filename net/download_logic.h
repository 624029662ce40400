// The download session's pure decisions, free of any Windows header so the native tests and
// sanitizers see them: the installer's file name, the proxy authentication scheme to answer
// with, the percentage handed to the progress callback, whether a body arrived whole, and how a
// body that ended early is taken up again.
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
    DeviceName,         // CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9, LPT0-9 and COM/LPT with a
                        // superscript 1, 2 or 3, with or without an extension
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

// ---- Taking up a download whose body ended early (connection reset, short body, read error,
// receive time-out).
//
// A download makes at most kMaxFurtherRequests requests after its first one. The first of them
// goes out at once, each later one after a pause that doubles: 1, 2, 4, 8 seconds.
constexpr int kMaxFurtherRequests = 5;

// The pause before further request `n` (1 for the first), in milliseconds.
std::uint32_t furtherRequestPauseMs(int n);

// What a response says about resuming it: byte ranges are served ("Accept-Ranges: bytes") and a
// validator names this version of the resource. Resuming needs both; without them a download
// that ended early starts again from zero.
struct ResumeSupport {
    bool byteRanges = false;
    std::wstring validator;
    bool usable() const { return byteRanges && !validator.empty(); }
};

// Whether an Accept-Ranges value offers byte ranges (a comma-separated list of units).
bool acceptsByteRanges(const std::wstring& acceptRanges);

// The If-Range validator of a response: its ETag when that is strong, else its Last-Modified
// date, else "" (a weak ETag cannot be used in If-Range). A value with control characters is
// never used, so nothing the server sent can add header lines to the next request.
std::wstring resumeValidator(const std::wstring& etag, const std::wstring& lastModified);

// The additional headers of a further request that resumes at byte `held`.
std::wstring resumeRequestHeaders(std::uint64_t held, const std::wstring& validator);

// A parsed "Content-Range: bytes FIRST-LAST/TOTAL" (TOTAL may be "*").
struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool totalKnown = false;
    std::uint64_t total = 0;
};
bool parseContentRange(const std::wstring& text, ContentRange& out);

// What to do with the answer to a further request.
enum class ResumeAction {
    Append,    // 206 that continues exactly where the file ends: add the body to the file
    Truncate,  // 200: the server sends the whole resource (ranges ignored, or it changed)
    Restart,   // a 206 that cannot be trusted to continue the file: ask again, from zero
    Fail,      // any other status: the download fails
};

// What the answer to a further request says about itself.
struct FurtherAnswer {
    std::uint32_t status = 0;
    std::wstring contentRange;  // the header's text, "" when absent
    bool lengthKnown = false;   // Content-Length was sent
    std::uint64_t contentLength = 0;
    std::wstring etag;
    std::wstring lastModified;
};

// `asked` says whether the request carried a Range, with `validator` in its If-Range. `held` is
// what the file holds, `knownTotal` the length of the resource when an earlier answer named it
// (0: unknown). A 206 is appended only when it is the part that was asked for: it starts at
// `held`, repeats the validator (the same strong ETag, or the same Last-Modified when that was
// the validator), carries exactly the bytes its Content-Range names and ends at or before the
// known total. Everything about it is decided before a byte of its body is written, so a part of
// another version, or one longer than it says, never reaches the file.
ResumeAction decideResume(const FurtherAnswer& answer, bool asked, std::uint64_t held, std::uint64_t knownTotal,
                          const std::wstring& validator);

// The answer to a proxy challenge: the scheme to send credentials with, or 0 when the proxy
// offered none that can be answered (or no list at all, `queried` false). Asking again with
// nothing to offer only repeats the 407, so the download then fails at once.
std::uint32_t proxyChallengeScheme(bool queried, std::uint32_t supported);

// Whether one attribute value of a certificate's subject (an O, a CN, ...) contains `part`, in
// any letter case (ASCII letters fold; nothing else does). The caller asks value by value, so a
// match can never be made of the end of one attribute and the start of the next.
bool nameValueContains(const std::wstring& value, const std::wstring& part);

}  // namespace velt
