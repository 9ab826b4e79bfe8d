// The format: parsing and editing the text of a private-profile file.
#include "platform/profile.h"

#include <algorithm>
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

}  // namespace

std::string encodeValue(const std::string& value) {
    if (trim(value) != value || quoted(value)) return '"' + value + '"';
    return value;
}

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

uint32_t GetPrivateProfileIntA(const char* section, const char* key, int def, const char* file) {
    char buf[64];
    if (GetPrivateProfileStringA(section, key, "", buf, sizeof buf, file) == 0) return static_cast<uint32_t>(def);
    return static_cast<uint32_t>(std::strtol(buf, nullptr, 0));
}

}  // namespace platform
