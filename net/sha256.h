// SHA-256 through the platform's CNG provider: a running hash of bytes as they are written, and
// the hash of a file read back through a handle. No hashing of our own.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace velt {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // False once any step has failed: the hash then stands for nothing and must not be trusted.
    bool add(const void* data, std::size_t size);
    // The digest of everything added since the last restart; the object starts afresh after it.
    bool finish(Sha256Digest& out);
    // Drops what was added so far (a download that starts again from zero).
    void restart();
    bool ok() const { return ok_; }

private:
    void open();
    void close();

    void* algorithm_ = nullptr;  // BCRYPT_ALG_HANDLE
    void* hash_ = nullptr;       // BCRYPT_HASH_HANDLE
    bool ok_ = false;
};

// The hash of the whole file behind `file`, read from its first byte to its end; false when a
// read fails. The file position is left at the start.
bool sha256OfHandle(HANDLE file, Sha256Digest& out);

}  // namespace velt
