// Proxy passwords are wiped before their memory is given back: a string's whole buffer (also
// what an earlier, longer value left past its end, and the in-object buffer of a short one),
// and fixed dialog buffers. Portable: the same code runs in the native tests.
#pragma once

#include <cstddef>
#include <string>

namespace VELT {
namespace ProxyManager {

// Zeroes memory with stores the compiler may not drop as dead.
inline void WipeBytes(void* data, std::size_t size)
{
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    while (size--) *p++ = 0;
}

// Zeroes every character the string's buffer can hold and leaves it empty, buffer kept.
template <typename C, typename T, typename A>
void WipeText(std::basic_string<C, T, A>& text)
{
    text.resize(text.capacity());  // never reallocates; makes the whole buffer addressable
    if (!text.empty()) WipeBytes(&text[0], text.size() * sizeof(C));
    text.clear();
}

// Replaces a secret: the old value is wiped first, so a reallocation frees only zeroes.
template <typename C>
void AssignSecret(std::basic_string<C>& target, const C* text, std::size_t length)
{
    WipeText(target);
    target.assign(text, length);
}

// Wipes a string on every way out of a scope.
template <typename S>
class WipeTextOnExit {
public:
    explicit WipeTextOnExit(S& text) : text_(text) {}
    ~WipeTextOnExit() { WipeText(text_); }
    WipeTextOnExit(const WipeTextOnExit&) = delete;
    WipeTextOnExit& operator=(const WipeTextOnExit&) = delete;

private:
    S& text_;
};

// Wipes a fixed buffer (a dialog's password field) on every way out of a scope.
class WipeBytesOnExit {
public:
    WipeBytesOnExit(void* data, std::size_t size) : data_(data), size_(size) {}
    ~WipeBytesOnExit() { WipeBytes(data_, size_); }
    WipeBytesOnExit(const WipeBytesOnExit&) = delete;
    WipeBytesOnExit& operator=(const WipeBytesOnExit&) = delete;

private:
    void* data_;
    std::size_t size_;
};

}  // namespace ProxyManager
}  // namespace VELT
