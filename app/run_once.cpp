// The run-time's one-time set-up and per-thread keys, on the system's own primitives.
//
// The exception unwinder and the emulated thread-local storage of the run-time (the exception
// state of each thread lives there) call pthread_once and the pthread key functions; these
// definitions are taken instead of the pthread library's, whose thread, read-write lock and
// condition code (about 28 KB of the stub) would otherwise come with them. The contracts are
// the same: a once routine runs exactly once and every other caller waits for it; a key's
// destructor runs with a thread's non-null value when that thread ends.
#include <windows.h>

#include <cerrno>

namespace {

// The pthread library's types on this target: pthread_once_t is a long, zero before the first
// call (INIT_ONCE's static initialiser is zero as well), pthread_key_t an unsigned.
using PthreadOnce = long;
using PthreadKey = unsigned;
using Destructor = void (*)(void*);
static_assert(sizeof(PthreadOnce) == sizeof(INIT_ONCE), "pthread_once_t must hold an INIT_ONCE");

BOOL CALLBACK runRoutine(PINIT_ONCE, PVOID routine, PVOID*)
{
    reinterpret_cast<void (*)()>(routine)();
    return TRUE;
}

// Fiber-local slots call back with the value when a thread ends; the callback does not learn
// the slot, so each key with a destructor takes one of a few fixed callbacks.
constexpr int kKeysWithDestructor = 4;
Destructor g_destructors[kKeysWithDestructor] = {};
LONG g_destructorsUsed = 0;

template <int N>
void WINAPI callDestructor(PVOID value)
{
    if (value != nullptr) g_destructors[N](value);
}

const PFLS_CALLBACK_FUNCTION kCallbacks[kKeysWithDestructor] = {callDestructor<0>, callDestructor<1>,
                                                                 callDestructor<2>, callDestructor<3>};

}  // namespace

extern "C" int pthread_once(PthreadOnce* once, void (*routine)())
{
    if (once == nullptr || routine == nullptr) return EINVAL;
    ::InitOnceExecuteOnce(reinterpret_cast<PINIT_ONCE>(once), runRoutine, reinterpret_cast<PVOID>(routine), nullptr);
    return 0;
}

extern "C" int pthread_key_create(PthreadKey* key, Destructor destructor)
{
    if (key == nullptr) return EINVAL;
    PFLS_CALLBACK_FUNCTION callback = nullptr;
    if (destructor != nullptr) {
        const LONG slot = ::InterlockedIncrement(&g_destructorsUsed) - 1;
        if (slot >= kKeysWithDestructor) return EAGAIN;
        g_destructors[slot] = destructor;
        callback = kCallbacks[slot];
    }
    const DWORD index = ::FlsAlloc(callback);
    if (index == FLS_OUT_OF_INDEXES) return EAGAIN;
    *key = index;
    return 0;
}

extern "C" void* pthread_getspecific(PthreadKey key)
{
    // Reached while an exception is thrown or caught: the caller's last error stays as it was.
    const DWORD lastError = ::GetLastError();
    void* value = ::FlsGetValue(key);
    ::SetLastError(lastError);
    return value;
}

extern "C" int pthread_setspecific(PthreadKey key, const void* value)
{
    const DWORD lastError = ::GetLastError();
    const BOOL stored = ::FlsSetValue(key, const_cast<void*>(value));
    ::SetLastError(lastError);
    return stored ? 0 : EINVAL;
}
