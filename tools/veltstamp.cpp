// veltstamp: the packaging step. Writes a metadata JSON document into a copy of the unsigned
// bootstrap stub, right after its last section, followed by NUL padding to a multiple of 8.
// The copy is then signed; the input file is never changed. Both the document and the stub are
// checked first: what the stub could not use is refused with the reason, nothing is written.
//
//   veltstamp STUB.exe OUTPUT.exe --json '{"updateXmlUrl": "..."}'
//   veltstamp STUB.exe OUTPUT.exe --json-file metadata.json
//   veltstamp --show FILE.exe      prints the metadata text a stamped (or signed) stub carries
//
// `--unchecked` after the document stamps it without the document and key checks (the layout checks
// still apply): only for trying out how the stub reacts to metadata it cannot use.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "flow/metadata_check.h"
#include "flow/metadata_layout.h"
#include "tools/release_checks.h"

namespace fs = std::filesystem;

namespace {

int usage()
{
    std::cerr << "usage: veltstamp STUB.exe OUTPUT.exe (--json TEXT | --json-file FILE) [--unchecked]\n"
                 "       veltstamp --show FILE.exe\n";
    return 2;
}

std::vector<uint8_t> readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// The file read where the layout asks, as the stub reads itself: a signed release of any size
// costs only its headers and its text.
class DescriptorBytes : public velt::FileBytes {
public:
    explicit DescriptorBytes(const fs::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        struct stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0) throw std::runtime_error(systemError("cannot read " + path.string()));
        if (!S_ISREG(st.st_mode)) throw std::runtime_error(path.string() + " is not a regular file");
        size_ = static_cast<uint64_t>(st.st_size);
    }
    ~DescriptorBytes() override
    {
        if (fd_ >= 0) ::close(fd_);
    }
    DescriptorBytes(const DescriptorBytes&) = delete;
    DescriptorBytes& operator=(const DescriptorBytes&) = delete;
    uint64_t size() const override { return size_; }
    size_t readAt(uint64_t offset, uint8_t* buffer, size_t length) override
    {
        size_t done = 0;
        while (done < length) {
            const ssize_t n = ::pread(fd_, buffer + done, length - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        return done;
    }

private:
    int fd_;
    uint64_t size_ = 0;
};

int show(const fs::path& file)
{
    try {
        DescriptorBytes bytes(file);
        const std::string text = velt::readMetadataText(bytes);
        if (text.empty()) {
            std::cerr << "veltstamp: " << file.string() << ": carries no metadata block\n";
            return 1;
        }
        std::cout << text << "\n";
        return std::cout.flush() ? 0 : 1;
    } catch (const std::exception& e) {
        std::cerr << "veltstamp: " << e.what() << "\n";
        return 1;
    }
}

// A new file beside the target with a name no other run uses, created exclusively (a planted
// file or symlink of that name makes the creation fail instead of being followed), removed
// again unless it was renamed over the target.
class TemporaryOutput {
public:
    explicit TemporaryOutput(const fs::path& target)
    {
        std::string pattern = target.string() + ".XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        fd_ = ::mkstemp(name.data());
        if (fd_ < 0) throw std::runtime_error(systemError("cannot create a temporary file beside " + target.string()));
        path_ = name.data();
        // mkstemp makes the file private; the release gets the modes any new file would get.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd_, 0666 & ~mask);
    }
    ~TemporaryOutput()
    {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TemporaryOutput(const TemporaryOutput&) = delete;
    TemporaryOutput& operator=(const TemporaryOutput&) = delete;

    void write(const std::vector<uint8_t>& bytes)
    {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error(systemError("cannot write " + path_));
            done += static_cast<size_t>(n);
        }
        if (::fsync(fd_) != 0 || ::close(fd_) != 0) {
            fd_ = -1;
            throw std::runtime_error(systemError("cannot write " + path_));
        }
        fd_ = -1;
    }

    void commit(const fs::path& target)
    {
        if (::rename(path_.c_str(), target.c_str()) != 0) throw std::runtime_error(systemError("cannot write " + target.string()));
        path_.clear();
    }

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--show") return show(argv[2]);
    const bool unchecked = argc == 6 && std::string(argv[5]) == "--unchecked";
    if (argc != 5 && !unchecked) return usage();
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
        // A stub whose document or keys it cannot use refuses to run at all: better refused here.
        std::string problem = unchecked ? std::string() : velt::checkMetadataDocument(json);
        if (problem.empty() && !unchecked) {
            const std::string keysWrong = velt::checkUpdateKeys(json);
            if (!keysWrong.empty()) problem = "the metadata's " + keysWrong;
        }
        if (!problem.empty()) {
            std::cerr << "veltstamp: " << (option == "--json" ? std::string("the --json text") : std::string(argv[4]))
                      << ": " << problem << " (the stub could not use it; nothing written)\n";
            return 1;
        }
        if (json.empty()) throw std::invalid_argument("the metadata text is empty");

        std::error_code ec;
        if (fs::exists(output) && fs::equivalent(input, output, ec))
            throw std::invalid_argument("the output must be another file than the stub");

        const auto stamped = velt::stampMetadata(readAll(input), json);

        // Written beside the target and renamed over it, so a failed write leaves no half file.
        TemporaryOutput temp(output);
        temp.write(stamped);
        temp.commit(output);
        std::cout << "stamped " << json.size() << " bytes of metadata into " << output.string() << "\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "veltstamp: " << input.string() << ": " << e.what() << "\n";
        return 1;
    }
}
