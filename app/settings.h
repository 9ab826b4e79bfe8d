#pragma once
// The settings file: a private-profile file opened for each use. Reads fall
// back to their defaults; a write or erase the system refuses throws
// SettingsError("Unable to write to <path>"). Deleting a key never throws.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class SettingsError : public std::runtime_error {
public:
    explicit SettingsError(const std::string& path) : std::runtime_error("Unable to write to " + path) {}
};

class SettingsFile {
public:
    explicit SettingsFile(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }
    // The file exists but cannot be read (no permission, not a regular file,
    // too large): reads give their defaults and every write throws.
    bool unreadable() const;

    int readInteger(const std::string& section, const std::string& key, int def) const;
    bool readBool(const std::string& section, const std::string& key, bool def) const;
    // At most kMaxText characters.
    std::string readString(const std::string& section, const std::string& key, const std::string& def) const;
    static constexpr size_t kMaxText = 2047;

    void writeInteger(const std::string& section, const std::string& key, int value);
    void writeBool(const std::string& section, const std::string& key, bool value);
    // A value that would not read back as written (a line break, longer than
    // kMaxText) is not stored: the key is deleted and the write throws.
    void writeString(const std::string& section, const std::string& key, const std::string& value);
    void eraseSection(const std::string& section);
    void deleteKey(const std::string& section, const std::string& key);

    // Several writes (a value, or none to delete the key) as one change of
    // the file: a crash or another copy of the program sees all or none.
    struct Entry {
        std::string section, key;
        std::optional<std::string> value;
    };
    void writeAll(const std::vector<Entry>& entries);

private:
    std::string path_;
};

// "0x" or "0X" followed by hex digits, or a decimal number with an optional
// sign; anything else (or an empty text, or a value out of range) is def.
int parseSettingsInteger(const std::string& text, int def);

// The executable's path with its extension replaced by ".INI".
std::string settingsPathBeside(const std::string& exePath);
// Where the program keeps its settings: beside the executable, unless that
// folder cannot be written and holds no settings file, or the program is
// installed (share/kolva-updater beside its folder); then the same file name
// in the per-user configuration folder.
std::string chooseSettingsPath(const std::string& exePath, const std::string& userConfigDir);

// A screen's rectangle in desktop pixels.
struct ScreenArea {
    int x, y, width, height;
};

// Whether a window placed at a saved top and left edge has the start of its
// title bar on one of the screens. Any int is safe: nothing overflows.
bool titleBarOnScreen(int top, int left, const std::vector<ScreenArea>& screens);
