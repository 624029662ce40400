// The handle owners the bootstrap uses.
#pragma once

#include <windows.h>

#include "common/unique_handle.h"

namespace velt {

namespace detail {
inline void closeKernel(HANDLE h) { ::CloseHandle(h); }
inline void closeKey(HKEY h) { ::RegCloseKey(h); }

struct FileHandleTraits {
    using type = HANDLE;
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { ::CloseHandle(h); }
};
}  // namespace detail

using FileHandle = UniqueHandle<detail::FileHandleTraits>;
using KernelHandle = UniqueHandle<NullHandleTraits<HANDLE, detail::closeKernel>>;
using RegKey = UniqueHandle<NullHandleTraits<HKEY, detail::closeKey>>;

}  // namespace velt
