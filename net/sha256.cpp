#include "net/sha256.h"

#include <bcrypt.h>

#include <vector>

namespace velt {

Sha256::Sha256() { open(); }

Sha256::~Sha256() { close(); }

void Sha256::open()
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    // BCryptCreateHash with the provider allocating the object exists from Windows 7 on.
    ok_ = BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
          BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    algorithm_ = algorithm;
    hash_ = hash;
}

void Sha256::close()
{
    if (hash_) ::BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(hash_));
    if (algorithm_) ::BCryptCloseAlgorithmProvider(static_cast<BCRYPT_ALG_HANDLE>(algorithm_), 0);
    hash_ = nullptr;
    algorithm_ = nullptr;
    ok_ = false;
}

void Sha256::restart()
{
    close();
    open();
}

bool Sha256::add(const void* data, std::size_t size)
{
    // Fed in pieces that a ULONG can count, whatever the caller hands over.
    const auto* bytes = static_cast<const UCHAR*>(data);
    while (ok_ && size > 0) {
        const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        ok_ = BCRYPT_SUCCESS(::BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(hash_), const_cast<UCHAR*>(bytes), piece, 0));
        bytes += piece;
        size -= piece;
    }
    return ok_;
}

bool Sha256::finish(Sha256Digest& out)
{
    const bool done =
        ok_ && BCRYPT_SUCCESS(::BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(hash_), out.data(),
                                                 static_cast<ULONG>(out.size()), 0));
    restart();
    return done;
}

bool sha256OfHandle(HANDLE file, Sha256Digest& out)
{
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return false;
        if (read == 0) break;
        if (!hash.add(buffer.data(), read)) return false;
    }
    // Back at the start for whoever reads the file through the handle next.
    return hash.finish(out) && ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
}

}  // namespace velt
