// Feeds arbitrary bytes to the manifest readers as the product loads them (from a file).
#include <tinyxml2.h>

#include <cstdint>
#include <cstdio>

#include "flow/manifest_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::FILE* f = std::tmpfile();
    if (!f) return 0;
    if (size) std::fwrite(data, 1, size, f);
    std::rewind(f);
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    velt::loadManifest(doc, f);
    std::fclose(f);
    (void)velt::manifestVersion(doc);
    (void)velt::manifestInstallerUrl(doc, "windows");
    return 0;
}
