// One owner type for every Win32 handle, shared by the bootstrap and the proxy-manager library
// (header only, no dependency of its own). The traits say how a handle of the kind is closed and
// which value means "none" (null for most calls, INVALID_HANDLE_VALUE for CreateFileW), so every
// handle closes the right way on every path, exceptions included.
#pragma once

#include <utility>

namespace velt {

template <typename Traits>
class UniqueHandle {
public:
    using T = typename Traits::type;

    UniqueHandle() = default;
    explicit UniqueHandle(T h) : h_(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, Traits::invalid())) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept
    {
        if (this != &o) reset(std::exchange(o.h_, Traits::invalid()));
        return *this;
    }

    T get() const { return h_; }
    T release() { return std::exchange(h_, Traits::invalid()); }
    explicit operator bool() const { return h_ != Traits::invalid(); }
    void reset(T h = Traits::invalid())
    {
        if (h_ != Traits::invalid()) Traits::close(h_);
        h_ = h;
    }

private:
    T h_ = Traits::invalid();
};

// Traits for handles whose "none" value is null and whose closer is a plain function.
template <typename H, auto Closer>
struct NullHandleTraits {
    using type = H;
    static constexpr H invalid() { return H{}; }
    static void close(H h) { Closer(h); }
};

}  // namespace velt
