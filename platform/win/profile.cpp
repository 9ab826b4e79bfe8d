// The private-profile files on Windows: the system's own functions, with
// names, values and paths in UTF-8 (the wide functions, so a name outside the
// ANSI code page survives).
#include "platform/profile.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace platform {

namespace {

constexpr uint64_t kMaxFileSize = 1u << 20;

std::wstring wide(const char* s) {
    if (!s) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring w(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s, -1, w.data(), n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

// The functions take a path with backslashes; one without any would be
// looked for in the Windows folder.
std::wstring widePath(const char* file) {
    std::wstring w = wide(file);
    for (auto& c : w)
        if (c == L'/') c = L'\\';
    return w;
}

const wchar_t* orNull(const char* s, const std::wstring& w) { return s ? w.c_str() : nullptr; }

enum class Source { Missing, Read, Unreadable };

Source inspect(const std::wstring& path) {
    const DWORD attrs = ::GetFileAttributesW(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        const DWORD e = ::GetLastError();
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? Source::Missing : Source::Unreadable;
    }
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) return Source::Unreadable;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Source::Unreadable;
    LARGE_INTEGER size{};
    const bool ok = ::GetFileSizeEx(h, &size) && static_cast<uint64_t>(size.QuadPart) <= kMaxFileSize;
    ::CloseHandle(h);
    return ok ? Source::Read : Source::Unreadable;
}

// The wide result back into the caller's buffer as UTF-8, cut to size - 1
// bytes on a character boundary; lists keep their zero separators.
uint32_t narrowOut(const std::wstring& w, size_t count, char* out, uint32_t size, bool list) {
    if (!out || size == 0) return 0;
    std::string s;
    if (count > 0) {
        const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(count), nullptr, 0, nullptr, nullptr);
        s.resize(static_cast<size_t>(n > 0 ? n : 0));
        if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(count), s.data(), n, nullptr, nullptr);
    }
    const size_t room = size - 1;
    if (s.size() > room) {
        size_t cut = room;
        if (list) {
            // Whole names only, each with its zero.
            while (cut > 0 && s[cut - 1] != 0) --cut;
        } else {
            while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
        }
        s.resize(cut);
    }
    std::memcpy(out, s.data(), s.size());
    out[s.size()] = 0;  // a list's second zero
    return static_cast<uint32_t>(s.size());
}

}  // namespace

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* def, char* out,
                                  uint32_t size, const char* file) {
    if (!out || size == 0) return 0;
    const std::wstring path = widePath(file);
    const std::wstring s = wide(section), k = wide(key), d = wide(def ? def : "");
    const bool read = file && inspect(path) == Source::Read;
    const bool list = !section || !key;
    // Room for the UTF-8 text in UTF-16 units, and more for a long list.
    std::wstring buf(static_cast<size_t>(size) + 2, L'\0');
    DWORD n = 0;
    if (read || !list)
        n = ::GetPrivateProfileStringW(orNull(section, s), orNull(key, k), read ? d.c_str() : L"", buf.data(),
                                       static_cast<DWORD>(buf.size()), path.c_str());
    if (!read && !list) {
        // An unreadable file gives the default, as a missing one does.
        std::wstring v = d;
        while (!v.empty() && (v.back() == L' ' || v.back() == L'\t')) v.pop_back();
        return narrowOut(v, v.size(), out, size, false);
    }
    return narrowOut(buf, n, out, size, list);
}

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* file) {
    if (!section || !file || !*file || !profile::storable(section, key, value)) return false;
    const std::wstring path = widePath(file);
    if (inspect(path) == Source::Unreadable) return false;
    const std::wstring s = wide(section), k = wide(key);
    const std::wstring v = value ? wide(profile::encodeValue(value).c_str()) : std::wstring();
    return ::WritePrivateProfileStringW(s.c_str(), orNull(key, k), key && value ? v.c_str() : nullptr,
                                        path.c_str()) != 0;
}

bool WritePrivateProfileEdits(const std::vector<ProfileEdit>& edits, const char* file) {
    for (const ProfileEdit& e : edits)
        if (!profile::storable(e.section.c_str(), e.key ? e.key->c_str() : nullptr, e.value ? e.value->c_str() : nullptr))
            return false;
    bool ok = true;
    for (const ProfileEdit& e : edits)
        ok = WritePrivateProfileStringA(e.section.c_str(), e.key ? e.key->c_str() : nullptr,
                                        e.value ? e.value->c_str() : nullptr, file) && ok;
    return ok;
}

// The system writes its files itself and leaves nothing behind.
void removeProfileLeftovers(const char*) {}

bool profileUnreadable(const char* file) { return file && inspect(widePath(file)) == Source::Unreadable; }

}  // namespace platform
