// The private-profile files on POSIX systems: locked, atomic replacement.
#include "platform/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

namespace platform {

namespace {

// Settings are a few short lines. A file far larger is not ours: parsing it
// on every read would freeze the window, and rewriting it would lose it.
constexpr off_t kMaxProfileBytes = 1 << 20;

enum class Source { Missing, Read, Unreadable };

// How the file's text is stored. Editors save "Unicode" files as UTF-16 with
// a byte-order mark; such a file is read as text and written back as it was.
enum class Encoding { Plain, Utf8Bom, Utf16LE, Utf16BE };

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16 after its mark to UTF-8; a lone surrogate or odd byte becomes U+FFFD.
std::string fromUtf16(const std::string& raw, bool bigEndian) {
    std::string out;
    auto unit = [&](size_t i) {
        const auto a = static_cast<uint8_t>(raw[i]), b = static_cast<uint8_t>(raw[i + 1]);
        return static_cast<uint32_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
    };
    size_t i = 2;
    for (; i + 1 < raw.size(); i += 2) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < raw.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        appendUtf8(out, c);
    }
    if (i < raw.size()) appendUtf8(out, 0xFFFD);
    return out;
}

// UTF-8 back to UTF-16 with its mark; false for text that is not UTF-8.
bool toUtf16(const std::string& text, bool bigEndian, std::string& out) {
    out.clear();
    auto put = [&](uint32_t u) {
        const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    };
    put(0xFEFF);
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<uint8_t>(text[i]);
        const int n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + static_cast<size_t>(n) > text.size()) return false;
        uint32_t c = n == 1 ? b : b & (0x7F >> n);
        for (int k = 1; k < n; ++k) {
            const auto x = static_cast<uint8_t>(text[i + static_cast<size_t>(k)]);
            if ((x & 0xC0) != 0x80) return false;
            c = c << 6 | (x & 0x3F);
        }
        i += static_cast<size_t>(n);
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return true;
}

Encoding decode(std::string& text) {
    if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF && static_cast<uint8_t>(text[1]) == 0xFE) {
        text = fromUtf16(text, false);
        return Encoding::Utf16LE;
    }
    if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFE && static_cast<uint8_t>(text[1]) == 0xFF) {
        text = fromUtf16(text, true);
        return Encoding::Utf16BE;
    }
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
        text.erase(0, 3);
        return Encoding::Utf8Bom;
    }
    return Encoding::Plain;
}

bool encode(const std::string& text, Encoding e, std::string& out) {
    switch (e) {
        case Encoding::Utf16LE: return toUtf16(text, false, out);
        case Encoding::Utf16BE: return toUtf16(text, true, out);
        case Encoding::Utf8Bom: out = "\xEF\xBB\xBF" + text; return true;
        case Encoding::Plain: break;
    }
    out = text;
    return true;
}

// What an open file holds, as text: only a regular file within the size
// limit is read.
bool readOpen(int fd, const struct stat& st, std::string& out, Encoding& encoding) {
    out.clear();
    if (!S_ISREG(st.st_mode) || st.st_size > kMaxProfileBytes) return false;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || out.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxProfileBytes)) return false;
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    encoding = decode(out);
    return true;
}

// Only a regular file is read; the open never waits (a FIFO would).
Source readAll(const char* file, std::string& out) {
    out.clear();
    int fd;
    do fd = ::open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno == ENOENT ? Source::Missing : Source::Unreadable;
    struct stat st {};
    Encoding encoding = Encoding::Plain;
    const bool ok = ::fstat(fd, &st) == 0 && readOpen(fd, st, out, encoding);
    ::close(fd);
    if (!ok) {
        out.clear();
        return Source::Unreadable;
    }
    return Source::Read;
}

// Follows a chain of links to the file it ends at, so that the write replaces
// that file and every link stays a link.
bool resolveLinks(std::string& target) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char resolved[4096];
        const ssize_t n = ::readlink(target.c_str(), resolved, sizeof resolved);
        if (n <= 0 || n >= static_cast<ssize_t>(sizeof resolved)) return false;
        const std::string link(resolved, static_cast<size_t>(n));
        if (link[0] == '/') {
            target = link;
        } else {
            const size_t slash = target.rfind('/');
            target = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + link;
        }
    }
    return false;  // a loop
}

// Whether this process may write the file itself; a replacement would
// otherwise change a file the user was never allowed to change. A file
// marked read-only for everyone stays so even for root.
bool mayWrite(const std::string& target, const struct stat& st) {
    return (st.st_mode & 0222) != 0 && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0;
}

bool writeAll(int fd, const std::string& content, off_t at) {
    const char* p = content.data();
    size_t left = content.size();
    while (left > 0) {
        const ssize_t w = ::pwrite(fd, p, left, at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        at += w;
        left -= static_cast<size_t>(w);
    }
    return true;
}

// The new content beside the file, renamed into place: readers and a crash
// see the old file or the whole new one. False when no such file could be
// made or filled (a folder the user cannot write, a full disk); the target is
// then untouched.
bool replaceByRename(const std::string& target, const struct stat& st, const std::string& content) {
    std::string tmp = target + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back(0);
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return false;
    ::fchmod(fd, st.st_mode & 07777);
    // A run as root keeps the user's file the user's.
    if (::geteuid() == 0) {
        const int kept = ::fchown(fd, st.st_uid, st.st_gid);
        (void)kept;  // a file owned by root is still written
    }
    bool ok = writeAll(fd, content, 0) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(name.data(), target.c_str()) != 0) ok = false;
    if (!ok) ::unlink(name.data());
    return ok;
}

// The new content written over the old in the file itself, which keeps its
// links, owner and mode. The room for it is taken first, so a full disk
// leaves the old content whole; a shorter content is cut to its size last.
bool replaceInPlace(int fd, off_t oldSize, const std::string& content) {
    const auto size = static_cast<off_t>(content.size());
    if (size > oldSize) {
        if (::posix_fallocate(fd, 0, size) != 0) {
            const int cut = ::ftruncate(fd, oldSize);  // whatever an emulated allocation added goes
            (void)cut;
            return false;
        }
    }
    if (!writeAll(fd, content, 0)) return false;
    if (size < oldSize && ::ftruncate(fd, size) != 0) return false;
    return ::fsync(fd) == 0;
}

// A replacement would break a hard link, or give the file to this user.
bool mustStayInPlace(const struct stat& st) {
    return st.st_nlink > 1 || (::geteuid() != 0 && st.st_uid != ::geteuid());
}

// The file open for writing and locked against other writers (other copies
// of the program), with what it holds now; -1 when it cannot be written. A
// writer that replaced the file while this one waited leaves the lock on the
// old file: the new one is opened and locked again.
int openLocked(const std::string& target, bool create, struct stat& st, std::string& text, Encoding& encoding) {
    using Clock = std::chrono::steady_clock;
    const auto giveUp = Clock::now() + std::chrono::seconds(3);
    for (;;) {
        struct stat before {};
        if (::stat(target.c_str(), &before) == 0) {
            if (!S_ISREG(before.st_mode) || !mayWrite(target, before)) return -1;
        } else if (errno != ENOENT || !create) {
            return -1;
        }
        int fd;
        do fd = ::open(target.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
        while (fd < 0 && errno == EINTR);
        if (fd < 0) return -1;
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || Clock::now() > giveUp) {
                ::close(fd);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        struct stat now {};
        if (::fstat(fd, &st) == 0 && ::stat(target.c_str(), &now) == 0 && now.st_ino == st.st_ino &&
            now.st_dev == st.st_dev) {
            if (!readOpen(fd, st, text, encoding)) {
                ::close(fd);
                return -1;
            }
            return fd;
        }
        ::close(fd);  // replaced meanwhile: the lock was on the old file
        if (Clock::now() > giveUp) return -1;
    }
}

bool applyEdit(std::string& text, const ProfileEdit& e) {
    if (!profile::storable(e.section.c_str(), e.key ? e.key->c_str() : nullptr, e.value ? e.value->c_str() : nullptr))
        return false;
    if (!e.key) text = profile::eraseSection(text, e.section);
    else if (!e.value) text = profile::deleteKey(text, e.section, *e.key);
    else text = profile::setValue(text, e.section, *e.key, *e.value);
    return true;
}

uint32_t copyOut(const std::string& s, char* out, uint32_t size) {
    if (!out || size == 0) return 0;
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(s.size(), size - 1));
    std::memcpy(out, s.data(), n);
    out[n] = 0;
    return n;
}

// A list of zero-terminated names ended by a second zero, cut to fit.
uint32_t copyList(const std::vector<std::string>& names, char* out, uint32_t size) {
    if (!out || size == 0) return 0;
    if (size == 1) {
        out[0] = 0;
        return 0;
    }
    uint32_t at = 0;
    for (const auto& n : names) {
        if (at + n.size() + 2 > size) break;
        std::memcpy(out + at, n.data(), n.size());
        at += static_cast<uint32_t>(n.size());
        out[at++] = 0;
    }
    out[at] = 0;
    return at;
}

}  // namespace

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* def, char* out,
                                  uint32_t size, const char* file) {
    std::string text;
    const bool have = file && readAll(file, text) == Source::Read;
    if (!section || !key) {
        std::vector<std::string> names;
        if (have) names = section ? profile::keyNames(text, section) : profile::sectionNames(text);
        return copyList(names, out, size);
    }
    bool found = false;
    std::string value;
    if (have) value = profile::lookup(text, section, key, &found);
    if (!found) {
        // Windows trims trailing blanks from the default.
        value = def ? def : "";
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    }
    return copyOut(value, out, size);
}

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* file) {
    if (!section) return false;
    ProfileEdit e{section, std::nullopt, std::nullopt};
    if (key) e.key = key;
    if (key && value) e.value = value;
    return WritePrivateProfileEdits({e}, file);
}

bool WritePrivateProfileEdits(const std::vector<ProfileEdit>& edits, const char* file) {
    if (!file || !*file) return false;
    std::string target = file;
    if (!resolveLinks(target)) return false;
    // Only a value makes a file that is not there; erasing in none is done,
    // once the edits are known to be well formed.
    const bool sets = std::any_of(edits.begin(), edits.end(), [](const ProfileEdit& e) { return e.value.has_value(); });
    const auto applyAll = [&](std::string& text) {
        return std::all_of(edits.begin(), edits.end(), [&](const ProfileEdit& e) { return applyEdit(text, e); });
    };
    struct stat st {};
    if (!sets && ::stat(target.c_str(), &st) != 0 && errno == ENOENT) {
        std::string none;
        return applyAll(none);
    }
    std::string text;
    Encoding encoding = Encoding::Plain;
    const int fd = openLocked(target, sets, st, text, encoding);
    if (fd < 0) return false;
    std::string next = text;
    bool ok = applyAll(next);
    std::string bytes;
    if (ok && next != text) {
        ok = encode(next, encoding, bytes);
        // In place where a replacement would break a link or change the
        // owner, and where none can be made beside the file.
        if (ok) ok = (!mustStayInPlace(st) && replaceByRename(target, st, bytes)) || replaceInPlace(fd, st.st_size, bytes);
    }
    ::close(fd);  // and with it the lock
    return ok;
}

void removeProfileLeftovers(const char* file) {
    if (!file || !*file) return;
    std::string target = file;
    if (!resolveLinks(target)) return;
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string base = target.substr(slash == std::string::npos ? 0 : slash + 1) + ".";
    // Every writer holds the file's lock from making its temporary file to
    // renaming it: with the lock taken here, whatever is left is nobody's.
    // Without it (another copy is saving) only files older than a minute go.
    int lock = ::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const bool quiet = lock < 0 ? errno == ENOENT : ::flock(lock, LOCK_EX | LOCK_NB) == 0;
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        if (lock >= 0) ::close(lock);
        return;
    }
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    while (const dirent* ent = ::readdir(d)) {
        const std::string name = ent->d_name;
        if (name.size() != base.size() + 6 || name.compare(0, base.size(), base) != 0) continue;
        if (!std::all_of(name.begin() + static_cast<std::ptrdiff_t>(base.size()), name.end(),
                         [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }))
            continue;
        const std::string path = (slash == std::string::npos ? "" : dir) + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            (quiet || now - st.st_mtime > 60))
            ::unlink(path.c_str());
    }
    ::closedir(d);
    if (lock >= 0) ::close(lock);
}

bool profileUnreadable(const char* file) {
    std::string text;
    return file && readAll(file, text) == Source::Unreadable;
}

}  // namespace platform
