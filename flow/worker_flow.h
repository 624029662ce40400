// The worker thread's sequence: language, "Initializing ...", metadata, and (as the product
// grows) manifest, versions, install and launcher; then the dialog closes.
#pragma once

#include <string>

namespace velt {

// Shown for a failure that has no code of its own (memory exhausted, a conversion that failed
// outside any download): the window still ends in the error state instead of staying as it was.
constexpr int kErrorUnexpected = 1;

// Writes the ERROR line with `code` and throws std::logic_error whose text is the code's digits.
[[noreturn]] void failWithCode(int code);

// Runs the flow on the worker thread. Returns after a complete run or the show-metadata branch;
// every failure leaves as an exception, which ThreadProc catches.
void runBootstrapFlow(const std::wstring& metadataText);

}  // namespace velt
