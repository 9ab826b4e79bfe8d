#include "platform/read_file.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace platform {

ReadResult readWholeFile(const char* path, uint8_t* store, size_t capacity, int32_t& bytesRead) {
    bytesRead = 0;
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    if (n <= 0) return ReadResult::IoError;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.data(), n);
    HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ReadResult::IoError;
    LARGE_INTEGER size{};
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileSizeEx(h, &size)) {
        ::CloseHandle(h);
        return ReadResult::IoError;
    }
    if (static_cast<uint64_t>(size.QuadPart) > capacity) {
        ::CloseHandle(h);
        return ReadResult::TooLarge;
    }
    // The file may grow meanwhile; stop at the store's end, and treat a file
    // that still has bytes there as too large.
    size_t total = 0;
    bool failed = false;
    while (total < capacity) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(capacity - total, 1u << 20));
        if (!::ReadFile(h, store + total, want, &got, nullptr)) {
            failed = true;
            break;
        }
        if (got == 0) break;
        total += got;
    }
    bool more = false;
    if (!failed && total == capacity) {
        uint8_t probe;
        DWORD got = 0;
        more = ::ReadFile(h, &probe, 1, &got, nullptr) && got == 1;
    }
    ::CloseHandle(h);
    if (failed) return ReadResult::IoError;
    if (more) return ReadResult::TooLarge;
    bytesRead = static_cast<int32_t>(total);
    return ReadResult::Ok;
}

}  // namespace platform
