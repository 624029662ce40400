// Feeds arbitrary header values (one byte per character, as WinHTTP widens them) to the
// decisions that read a server's Content-Range, Accept-Ranges, ETag and Last-Modified.
#include <cstdint>
#include <string>

#include "net/download_logic.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::wstring text(data, data + size);
    velt::ContentRange range;
    if (velt::parseContentRange(text, range) &&
        (range.last < range.first || (range.totalKnown && range.last >= range.total)))
        __builtin_trap();
    (void)velt::acceptsByteRanges(text);
    const std::wstring validator = velt::resumeValidator(text, text);
    if (validator.find_first_of(L"\r\n") != std::wstring::npos) __builtin_trap();
    velt::FurtherAnswer answer;
    answer.status = 206;
    answer.contentRange = text;
    answer.lengthKnown = true;
    answer.contentLength = size;
    answer.etag = validator;
    answer.lastModified = text;
    // An appended part starts where the file ends, carries exactly its range and stays inside
    // the known total.
    velt::ContentRange part;
    if (velt::decideResume(answer, true, size, 2 * size + 1, validator) == velt::ResumeAction::Append &&
        (!velt::parseContentRange(text, part) || part.first != size || part.last >= 2 * size + 1 ||
         part.last - part.first + 1 != size))
        __builtin_trap();
    return 0;
}
