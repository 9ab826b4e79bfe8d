#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

namespace platform {
namespace profile {

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

namespace {

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return s.substr(b, e - b);
}

// One physical line, without its line ending.
struct Line {
    std::string raw;
    enum Kind { Other, Section, Entry } kind = Other;
    std::string name;   // section name or key
    std::string value;  // for entries
};

std::vector<Line> parse(const std::string& text) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        Line l;
        l.raw = text.substr(pos, nl - pos);
        if (!l.raw.empty() && l.raw.back() == '\r') l.raw.pop_back();
        const std::string t = trim(l.raw);
        if (!t.empty() && t[0] == '[') {
            size_t close = t.find(']');
            l.kind = Line::Section;
            l.name = trim(t.substr(1, (close == std::string::npos ? t.size() : close) - 1));
        } else if (!t.empty() && t[0] != ';') {
            size_t eq = t.find('=');
            if (eq != std::string::npos) {
                l.kind = Line::Entry;
                l.name = trim(t.substr(0, eq));
                l.value = trim(t.substr(eq + 1));
            }
        }
        lines.push_back(std::move(l));
        pos = nl + 1;
    }
    return lines;
}

std::string join(const std::vector<Line>& lines) {
    std::string out;
    for (const Line& l : lines) {
        out += l.raw;
        out += "\r\n";
    }
    return out;
}

// Index range [begin, end) of the lines that belong to the first section
// named like `section` (header included), or npos when there is none.
std::pair<size_t, size_t> findSection(const std::vector<Line>& lines, const std::string& section) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == Line::Section && sameName(lines[i].name, section)) {
            size_t j = i + 1;
            while (j < lines.size() && lines[j].kind != Line::Section) ++j;
            return {i, j};
        }
    }
    return {std::string::npos, std::string::npos};
}

bool quoted(const std::string& v) {
    return v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\''));
}

std::string unquote(const std::string& v) { return quoted(v) ? v.substr(1, v.size() - 2) : v; }

bool hasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// The text that reads back as value: readers trim blanks and strip one pair
// of surrounding quotes, so such values are written inside quotes.
std::string encodeValue(const std::string& value) {
    if (trim(value) != value || quoted(value)) return '"' + value + '"';
    return value;
}

}  // namespace

bool storable(const char* section, const char* key, const char* value) {
    if (!section) return false;
    const std::string s = section;
    if (hasLineBreak(s) || s.find(']') != std::string::npos || trim(s) != s) return false;
    if (key) {
        const std::string k = key;
        if (hasLineBreak(k) || k.find('=') != std::string::npos || trim(k) != k) return false;
        if (!k.empty() && (k[0] == '[' || k[0] == ';')) return false;
    }
    return !value || !hasLineBreak(value);
}

std::string lookup(const std::string& text, const std::string& section, const std::string& key, bool* found) {
    const auto lines = parse(text);
    auto [b, e] = findSection(lines, section);
    if (b != std::string::npos) {
        for (size_t i = b + 1; i < e; ++i) {
            if (lines[i].kind == Line::Entry && sameName(lines[i].name, key)) {
                if (found) *found = true;
                return unquote(lines[i].value);
            }
        }
    }
    if (found) *found = false;
    return {};
}

std::string setValue(const std::string& text, const std::string& section, const std::string& key,
                     const std::string& value) {
    auto lines = parse(text);
    Line entry;
    entry.kind = Line::Entry;
    entry.name = key;
    entry.value = value;
    entry.raw = key + "=" + encodeValue(value);
    auto [b, e] = findSection(lines, section);
    if (b == std::string::npos) {
        Line head;
        head.kind = Line::Section;
        head.name = section;
        head.raw = "[" + section + "]";
        lines.push_back(head);
        lines.push_back(entry);
        return join(lines);
    }
    for (size_t i = b + 1; i < e; ++i) {
        if (lines[i].kind == Line::Entry && sameName(lines[i].name, key)) {
            // Keep the key's spelling as the file has it.
            entry.raw = lines[i].name + "=" + encodeValue(value);
            lines[i] = entry;
            return join(lines);
        }
    }
    // Append after the section's last non-blank line.
    size_t at = e;
    while (at > b + 1 && trim(lines[at - 1].raw).empty()) --at;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), entry);
    return join(lines);
}

std::string deleteKey(const std::string& text, const std::string& section, const std::string& key) {
    auto lines = parse(text);
    auto [b, e] = findSection(lines, section);
    if (b == std::string::npos) return text;
    // Every copy of the key goes, or the next one would be read in its place.
    const auto from = lines.begin() + static_cast<std::ptrdiff_t>(b + 1);
    const auto to = lines.begin() + static_cast<std::ptrdiff_t>(e);
    const auto kept = std::remove_if(from, to, [&](const Line& l) { return l.kind == Line::Entry && sameName(l.name, key); });
    if (kept == to) return text;
    lines.erase(kept, to);
    return join(lines);
}

std::vector<std::string> sectionNames(const std::string& text) {
    std::vector<std::string> out;
    for (const Line& l : parse(text))
        if (l.kind == Line::Section) out.push_back(l.name);
    return out;
}

std::vector<std::string> keyNames(const std::string& text, const std::string& section) {
    std::vector<std::string> out;
    const auto lines = parse(text);
    auto [b, e] = findSection(lines, section);
    if (b == std::string::npos) return out;
    for (size_t i = b + 1; i < e; ++i)
        if (lines[i].kind == Line::Entry) out.push_back(lines[i].name);
    return out;
}

std::string eraseSection(const std::string& text, const std::string& section) {
    auto lines = parse(text);
    auto [b, e] = findSection(lines, section);
    if (b == std::string::npos) return text;
    // A second section of the same name (a hand-edited file) would otherwise
    // come into view with the values the erase was meant to remove.
    while (b != std::string::npos) {
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(b), lines.begin() + static_cast<std::ptrdiff_t>(e));
        std::tie(b, e) = findSection(lines, section);
    }
    return join(lines);
}

}  // namespace profile

namespace {

// Settings are a few short lines. A file far larger is not ours: parsing it
// on every read would freeze the window, and rewriting it would lose it.
constexpr off_t kMaxProfileBytes = 1 << 20;

enum class Source { Missing, Read, Unreadable };

// Only a regular file is read; the open never waits (a FIFO would).
Source readAll(const char* file, std::string& out) {
    out.clear();
    int fd;
    do fd = ::open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno == ENOENT ? Source::Missing : Source::Unreadable;
    struct stat st {};
    Source result = Source::Read;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxProfileBytes) {
        result = Source::Unreadable;
    } else {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || out.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxProfileBytes)) {
                result = Source::Unreadable;
                break;
            }
            if (n == 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    if (result != Source::Read) out.clear();
    return result;
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

// Whether this process may write the file itself; the rename below would
// otherwise replace a file the user was never allowed to change. A file
// marked read-only for everyone stays so even for root.
bool mayWrite(const std::string& target, const struct stat& st) {
    return (st.st_mode & 0222) != 0 && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0;
}

// Writes the new content beside the file and renames it into place; the
// rename is atomic, so readers see either the old file or the whole new one.
bool replaceFile(const char* file, const std::string& content) {
    std::string target = file;
    if (!resolveLinks(target)) return false;
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && (!S_ISREG(st.st_mode) || !mayWrite(target, st))) return false;
    std::string tmp = target + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back(0);
    int fd = ::mkstemp(name.data());
    if (fd < 0) return false;
    if (exists) {
        ::fchmod(fd, st.st_mode & 07777);
        // A run as root keeps the user's file the user's.
        if (::geteuid() == 0) {
            const int kept = ::fchown(fd, st.st_uid, st.st_gid);
            (void)kept;  // a file owned by root is still written
        }
    } else {
        ::fchmod(fd, 0644);
    }
    const char* p = content.data();
    size_t left = content.size();
    bool ok = true;
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(name.data(), target.c_str()) != 0) ok = false;
    if (!ok) ::unlink(name.data());
    return ok;
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
    if (!file || !*file || !profile::storable(section, key, value)) return false;
    std::string text;
    const Source source = readAll(file, text);
    // A file that cannot be read is never replaced: what it holds is unknown.
    if (source == Source::Unreadable) return false;
    const bool existed = source == Source::Read;
    std::string next;
    if (!key) {
        if (!existed) return true;
        next = profile::eraseSection(text, section);
    } else if (!value) {
        if (!existed) return true;
        next = profile::deleteKey(text, section, key);
    } else {
        next = profile::setValue(text, section, key, value);
    }
    if (existed && next == text) {
        // Nothing changes; still report whether the file may be written.
        std::string target = file;
        struct stat st {};
        return resolveLinks(target) && ::stat(target.c_str(), &st) == 0 && mayWrite(target, st);
    }
    return replaceFile(file, next);
}

bool profileUnreadable(const char* file) {
    std::string text;
    return file && readAll(file, text) == Source::Unreadable;
}

uint32_t GetPrivateProfileIntA(const char* section, const char* key, int def, const char* file) {
    char buf[64];
    if (GetPrivateProfileStringA(section, key, "", buf, sizeof buf, file) == 0) return static_cast<uint32_t>(def);
    return static_cast<uint32_t>(std::strtol(buf, nullptr, 0));
}

}  // namespace platform
