// A debug-output viewer for the tests: it serves the system's debug-output buffer (the
// DBWIN_BUFFER protocol that OutputDebugString writes to when no debugger is attached) and
// appends every message to a file as "<pid> <length> <bytes>\n", flushed at once.
//
//   dbwin_listen.exe OUTFILE
//
// It creates OUTFILE.ready once it listens and ends when OUTFILE.stop appears.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct DbwinBuffer {
    DWORD processId;
    char data[4096 - sizeof(DWORD)];
};

bool exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) return 64;
    const std::wstring outPath = argv[1];
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, L"DBWinMutex");
    HANDLE bufferReady = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    HANDLE dataReady = ::CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DbwinBuffer),
                                          L"DBWIN_BUFFER");
    if (!mutex || !bufferReady || !dataReady || !mapping) return 2;
    auto* buffer = static_cast<DbwinBuffer*>(::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(DbwinBuffer)));
    if (buffer == nullptr) return 2;

    FILE* out = _wfopen(outPath.c_str(), L"ab");
    if (out == nullptr) return 2;
    FILE* ready = _wfopen((outPath + L".ready").c_str(), L"wb");
    if (ready) std::fclose(ready);

    const std::wstring stopPath = outPath + L".stop";
    ::SetEvent(bufferReady);
    for (;;) {
        const DWORD wait = ::WaitForSingleObject(dataReady, 100);
        if (wait == WAIT_OBJECT_0) {
            const size_t length = strnlen(buffer->data, sizeof(buffer->data));
            std::fprintf(out, "%lu %u ", static_cast<unsigned long>(buffer->processId), static_cast<unsigned>(length));
            std::fwrite(buffer->data, 1, length, out);
            std::fputc('\n', out);
            std::fflush(out);
            ::SetEvent(bufferReady);
        } else if (exists(stopPath)) {
            break;
        }
    }
    std::fclose(out);
    return 0;
}
