// The metadata block the packaging step stored after the stub's last section.
#pragma once

#include <string>

namespace velt {

// Logs the stub's own path and fills `text` with its metadata (empty when there is none).
// Always reports success.
bool RetrieveMetadata(std::wstring& text);

// The metadata text of the PE file at `path` with every marker removed, or the empty text when
// the file cannot be read, is not a PE image or carries no block. Never throws for a bad file.
std::wstring readEmbeddedMetadata(const std::wstring& path);

}  // namespace velt
