// veltstamp: the packaging step. Writes a metadata JSON document into a copy of the unsigned
// bootstrap stub, right after its last section, followed by NUL padding to a multiple of 8.
// The copy is then signed; the input file is never changed.
//
//   veltstamp STUB.exe OUTPUT.exe --json '{"updateXmlUrl": "..."}'
//   veltstamp STUB.exe OUTPUT.exe --json-file metadata.json
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "flow/metadata_layout.h"
#include "tools/release_checks.h"

namespace fs = std::filesystem;

namespace {

int usage()
{
    std::cerr << "usage: veltstamp STUB.exe OUTPUT.exe (--json TEXT | --json-file FILE)\n";
    return 2;
}

std::vector<uint8_t> readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) return usage();
    const fs::path input = argv[1];
    const fs::path output = argv[2];
    const std::string option = argv[3];
    try {
        std::string json;
        if (option == "--json") {
            json = argv[4];
        } else if (option == "--json-file") {
            const auto bytes = readAll(argv[4]);
            json.assign(bytes.begin(), bytes.end());
        } else {
            return usage();
        }
        if (json.empty()) throw std::invalid_argument("the metadata text is empty");
        // A stub whose keys it cannot use refuses to run at all: better refused here.
        const std::string keysWrong = velt::checkUpdateKeys(json);
        if (!keysWrong.empty()) throw std::invalid_argument("the metadata's " + keysWrong);

        std::error_code ec;
        if (fs::exists(output) && fs::equivalent(input, output, ec))
            throw std::invalid_argument("the output must be another file than the stub");

        const auto stamped = velt::stampMetadata(readAll(input), json);

        // Written beside the target and renamed over it, so a failed write leaves no half file.
        const fs::path temp = output.string() + ".tmp";
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(stamped.data()), static_cast<std::streamsize>(stamped.size()));
            if (!out.flush()) {
                out.close();
                fs::remove(temp, ec);
                throw std::runtime_error("cannot write " + temp.string());
            }
        }
        fs::rename(temp, output);
        std::cout << "stamped " << json.size() << " bytes of metadata into " << output.string() << "\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "veltstamp: " << input.string() << ": " << e.what() << "\n";
        return 1;
    }
}
