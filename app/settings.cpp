#include "app/settings.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "platform/profile.h"

int parseSettingsInteger(const std::string& text, int def) {
    if (text.empty()) return def;
    const char* s = text.c_str();
    int base = 10;
    if (text.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
        if (*s == '-' || *s == '+') return def;
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(s, &end, base);
    if (end == s || *end != 0 || errno == ERANGE) return def;
    if (base == 16) {
        // Hex values are 32-bit patterns: 0xFFFFFFFF reads as -1.
        if (v < 0 || v > 0xFFFFFFFFLL) return def;
        return static_cast<int>(static_cast<uint32_t>(v));
    }
    if (v < INT_MIN || v > INT_MAX) return def;
    return static_cast<int>(v);
}

std::string SettingsFile::readString(const std::string& section, const std::string& key,
                                     const std::string& def) const {
    char buf[kMaxText + 1];
    platform::GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buf, sizeof buf, path_.c_str());
    return buf;
}

int SettingsFile::readInteger(const std::string& section, const std::string& key, int def) const {
    return parseSettingsInteger(readString(section, key, ""), def);
}

bool SettingsFile::readBool(const std::string& section, const std::string& key, bool def) const {
    return readInteger(section, key, def ? 1 : 0) != 0;
}

bool SettingsFile::unreadable() const { return platform::profileUnreadable(path_.c_str()); }

namespace {

// Whether a value reads back as written: not too long for a read, nothing the format cannot hold.
bool readsBack(const std::string& section, const std::string& key, const std::string& value) {
    return value.size() <= SettingsFile::kMaxText &&
           platform::profile::storable(section.c_str(), key.c_str(), value.c_str());
}

}  // namespace

void SettingsFile::writeString(const std::string& section, const std::string& key, const std::string& value) {
    if (!readsBack(section, key, value)) {
        // Better no value than a stale one or one read back cut.
        deleteKey(section, key);
        throw SettingsError(path_);
    }
    if (!platform::WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path_.c_str()))
        throw SettingsError(path_);
}

void SettingsFile::writeAll(const std::vector<Entry>& entries) {
    std::vector<platform::ProfileEdit> edits;
    bool refused = false;
    for (const Entry& e : entries) {
        // As writeString: a value that would not read back is deleted, the rest written.
        const bool bad = e.value && !readsBack(e.section, e.key, *e.value);
        refused = refused || bad;
        edits.push_back({e.section, e.key, bad ? std::nullopt : e.value});
    }
    if (!platform::WritePrivateProfileEdits(edits, path_.c_str()) || refused) throw SettingsError(path_);
}

void SettingsFile::writeInteger(const std::string& section, const std::string& key, int value) {
    writeString(section, key, std::to_string(value));
}

void SettingsFile::writeBool(const std::string& section, const std::string& key, bool value) {
    writeString(section, key, value ? "1" : "0");
}

void SettingsFile::eraseSection(const std::string& section) {
    if (!platform::WritePrivateProfileStringA(section.c_str(), nullptr, nullptr, path_.c_str()))
        throw SettingsError(path_);
}

void SettingsFile::deleteKey(const std::string& section, const std::string& key) {
    platform::WritePrivateProfileStringA(section.c_str(), key.c_str(), nullptr, path_.c_str());
}

std::string settingsPathBeside(const std::string& exePath) {
    std::filesystem::path p(exePath);
    p.replace_extension(".INI");
    return p.string();
}

std::string chooseSettingsPath(const std::string& exePath, const std::string& userConfigDir) {
    const std::string beside = settingsPathBeside(exePath);
    const std::string dir = std::filesystem::path(beside).parent_path().string();
    std::error_code ec;
    // An installed program (its data folder next to its own) never keeps
    // settings in the system's program folder: one run as root would leave
    // a file there that every user then reads and none may write.
    const bool installed =
        !dir.empty() && std::filesystem::is_directory(std::filesystem::path(dir) / "../share/kolva-updater", ec);
    if (userConfigDir.empty()) return beside;
    if (!installed) {
        if (std::filesystem::exists(beside, ec)) return beside;
        if (::access(dir.empty() ? "." : dir.c_str(), W_OK) == 0) return beside;
    }
    std::filesystem::create_directories(userConfigDir, ec);
    return (std::filesystem::path(userConfigDir) / std::filesystem::path(beside).filename()).string();
}

bool titleBarOnScreen(int top, int left, const std::vector<ScreenArea>& screens) {
    // The part of the title bar that must show to drag the window back.
    const int64_t x0 = left, y0 = top, x1 = x0 + 120, y1 = y0 + 24;
    for (const ScreenArea& s : screens) {
        const int64_t sx1 = int64_t(s.x) + s.width, sy1 = int64_t(s.y) + s.height;
        if (x0 < sx1 && s.x < x1 && y0 < sy1 && s.y < y1 && s.width > 0 && s.height > 0) return true;
    }
    return false;
}
