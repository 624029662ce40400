// veltmanifest: writes the update manifest (update.xml) of a release, in the form the stub
// reads: the version, the installer's base URL and file name, the installer's SHA-256 and size
// (computed here from the file), and an optional expiry time. The result is then signed with
// `openssl dgst -sha256 -sign` (see the README).
//
//   veltmanifest --version 7.1.0.12 --base-url https://dl.example/desktop/ \
//       --installer out/VeltraneDesktopApp.exe [--expires 2027-06-30T00:00:00Z] [--output update.xml]
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>

#include "flow/update_trust.h"
#include "flow/version_compare.h"
#include "net/download_logic.h"
#include "tools/release_checks.h"

namespace fs = std::filesystem;

namespace {

int usage()
{
    std::cerr << "usage: veltmanifest --version A.B.C.D --base-url URL/ --installer FILE"
                 " [--expires YYYY-MM-DDTHH:MM:SSZ] [--output update.xml]\n";
    return 2;
}

std::string xmlText(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

bool isFourPartVersion(const std::string& version)
{
    const auto parts = velt::splitString(version, '.');
    if (parts.size() != 4 || version.back() == '.') return false;
    for (const auto& part : parts)
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos) return false;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name != "--version" && name != "--base-url" && name != "--installer" && name != "--expires" &&
            name != "--output")
            return usage();
        options[name] = argv[i + 1];
    }
    if (argc % 2 == 0 || !options.count("--version") || !options.count("--base-url") || !options.count("--installer"))
        return usage();
    const std::string output = options.count("--output") ? options["--output"] : "update.xml";
    try {
        const std::string& version = options["--version"];
        const std::string& baseUrl = options["--base-url"];
        if (!isFourPartVersion(version))
            throw std::invalid_argument("the version must be four decimal parts (A.B.C.D): " + version);
        if ((baseUrl.rfind("http://", 0) != 0 && baseUrl.rfind("https://", 0) != 0) || baseUrl.back() != '/')
            throw std::invalid_argument("the base URL must be an http or https URL ending in \"/\": " + baseUrl);

        const std::string fileName = fs::path(options["--installer"]).filename().string();
        for (unsigned char c : fileName)
            if (c >= 0x80) throw std::invalid_argument("the installer's file name must be ASCII: " + fileName);
        const std::wstring wideName(fileName.begin(), fileName.end());
        const std::string url = baseUrl + fileName;
        if (velt::checkPlainFileName(wideName) != velt::FileNameProblem::Ok ||
            velt::installerFileNameFromUrl(std::wstring(url.begin(), url.end())) != wideName)
            throw std::invalid_argument("the stub would not save the installer under its own name: " + fileName);

        std::string expires;
        if (options.count("--expires")) {
            expires = options["--expires"];
            std::int64_t when = 0;
            if (!velt::parseUtcTime(expires.c_str(), when))
                throw std::invalid_argument("the expiry must be a UTC time YYYY-MM-DDTHH:MM:SSZ: " + expires);
            if (when <= static_cast<std::int64_t>(std::time(nullptr)))
                throw std::invalid_argument("the expiry time has already passed: " + expires);
        }

        std::string sha256;
        std::uint64_t size = 0;
        velt::hashFile(options["--installer"], sha256, size);
        if (size == 0 || size > 0xFFFFFFFFull)
            throw std::invalid_argument("the installer must hold 1 to 4294967295 bytes, not " + std::to_string(size));

        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<installerInformation>\n";
        xml += "\t<version>" + xmlText(version) + "</version>\n";
        if (!expires.empty()) xml += "\t<expires>" + expires + "</expires>\n";
        xml += "\t<downloadLocationList>\n\t\t<downloadLocation>\n\t\t\t<url>" + xmlText(baseUrl) +
               "</url>\n\t\t</downloadLocation>\n\t</downloadLocationList>\n";
        xml += "\t<platformFileList>\n\t\t<file>\n\t\t\t<platform>windows</platform>\n";
        xml += "\t\t\t<filename>" + xmlText(fileName) + "</filename>\n";
        xml += "\t\t\t<sha256>" + sha256 + "</sha256>\n\t\t\t<size>" + std::to_string(size) + "</size>\n";
        xml += "\t\t</file>\n\t</platformFileList>\n</installerInformation>\n";

        // Written beside the target and renamed over it, so a failed write leaves no half file.
        const fs::path temp = output + ".tmp";
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out.write(xml.data(), static_cast<std::streamsize>(xml.size()));
            if (!out.flush()) {
                std::error_code ec;
                fs::remove(temp, ec);
                throw std::runtime_error("cannot write " + temp.string());
            }
        }
        fs::rename(temp, output);
        std::cout << "wrote " << output << ": " << version << ", " << fileName << ", " << size << " bytes, sha256 "
                  << sha256 << (expires.empty() ? std::string() : ", expires " + expires) << "\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "veltmanifest: " << e.what() << "\n";
        return 1;
    }
}
