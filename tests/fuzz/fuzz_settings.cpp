// The settings file as the program uses it: a file with arbitrary content,
// then a sequence of reads, writes, erases and deletions through SettingsFile
// and the private-profile functions on a real file. Every write reads back as
// written or fails leaving the file byte for byte as it was; no operation
// changes a key it was not aimed at.
//
// Input: the file's content, then a zero byte, then the operations. Without a
// zero byte the program's own start and close sequences run on the content.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "platform/profile.h"

namespace {

using platform::profile::sameName;

// Names the program uses, other spellings of them, and names the format
// cannot hold.
const char* const kSections[] = {"INI_VERSION", "FIRST_TIME", "START_POS", "MIDI_SELECTION", "FIRMWARE",
                                 "first_time",  "[odd",       "A]B",       " START_POS",     ""};
const char* const kKeys[] = {"VERSION", "FT", "X", "Y", "FILE", "MIDI_OutPort", "ft", "k=v", "[k", ";c", " X", ""};

std::string fileName() {
    static const std::string name = [] {
        const std::filesystem::path shm("/dev/shm");
        std::error_code ec;
        const auto base = std::filesystem::is_directory(shm, ec) ? shm : std::filesystem::temp_directory_path();
        const auto dir = base / ("kolva-fuzz-settings-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        static const std::filesystem::path made = dir;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(made, ignored);
        });
        return (dir / "kolva-updater.INI").string();
    }();
    return name;
}

std::string content(const std::string& path) {
    std::string out;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return out;
}

// A key as the program reads it from a file: decoded as the program decodes
// a file (byte-order marks, UTF-16), through its own reader.
std::string lookup(const std::string& file, const std::string& section, const std::string& key, bool* found) {
    char a[4096], b[4096];
    platform::GetPrivateProfileStringA(section.c_str(), key.c_str(), "\x01", a, sizeof a, file.c_str());
    platform::GetPrivateProfileStringA(section.c_str(), key.c_str(), "\x02", b, sizeof b, file.c_str());
    *found = std::strcmp(a, "\x01") != 0 || std::strcmp(b, "\x02") != 0;
    return a;
}

// The program's own keys, and a key in each other section the table names.
std::vector<std::pair<std::string, std::string>> watchedKeys() {
    std::vector<std::pair<std::string, std::string>> out = {
        {"INI_VERSION", "VERSION"}, {"FIRST_TIME", "FT"}, {"START_POS", "X"},
        {"START_POS", "Y"},         {"FIRMWARE", "FILE"}, {"MIDI_SELECTION", "MIDI_OutPort"}};
    for (const char* sec : kSections)
        if (platform::profile::storable(sec, "X", nullptr)) out.emplace_back(sec, "X");
    return out;
}

std::vector<std::pair<bool, std::string>> snapshot(const std::string& file) {
    static const auto watched = watchedKeys();
    std::vector<std::pair<bool, std::string>> out;
    for (const auto& [sec, key] : watched) {
        bool found = false;
        std::string v = lookup(file, sec, key, &found);
        out.emplace_back(found, std::move(v));
    }
    return out;
}

// What the operations of one input aimed at; a null key is a whole section.
std::vector<std::pair<std::string, std::optional<std::string>>> aimed;

// Aborts when a watched key that no operation aimed at changed from the
// first snapshot to what the file holds now.
void othersUnchanged(const std::vector<std::pair<bool, std::string>>& a) {
    static const auto watched = watchedKeys();
    const auto b = snapshot(fileName());
    for (size_t i = 0; i < watched.size(); ++i) {
        bool hit = false;
        for (const auto& [sec, key] : aimed)
            hit = hit || (sameName(watched[i].first, sec) && (!key || sameName(watched[i].second, *key)));
        if (!hit && a[i] != b[i]) std::abort();
    }
}

class Input {
public:
    Input(const uint8_t* d, size_t n) : d_(d), n_(n) {}
    bool empty() const { return at_ >= n_; }
    uint8_t byte() { return at_ < n_ ? d_[at_++] : 0; }
    std::string text() {
        const size_t len = byte() % 40;
        std::string s;
        while (s.size() < len && !empty()) {
            const char c = static_cast<char>(byte());
            if (c) s += c;  // the program passes C strings
        }
        return s;
    }

private:
    const uint8_t* d_;
    size_t n_;
    size_t at_ = 0;
};

void write(SettingsFile& ini, const std::string& s, const std::string& k, const std::string& v) {
    aimed.emplace_back(s, k);
    const bool fits = v.size() <= SettingsFile::kMaxText && platform::profile::storable(s.c_str(), k.c_str(), v.c_str());
    const std::string before = fits ? content(ini.path()) : std::string();
    try {
        ini.writeString(s, k, v);
    } catch (const SettingsError&) {
        // A refused write leaves the file as it was.
        if (fits && content(ini.path()) != before) std::abort();
        return;
    }
    if (ini.readString(s, k, v + "x") != v) std::abort();
}

void erase(SettingsFile& ini, const std::string& s) {
    aimed.emplace_back(s, std::nullopt);
    const std::string before = content(ini.path());
    try {
        ini.eraseSection(s);
    } catch (const SettingsError&) {
        if (content(ini.path()) != before) std::abort();
        return;
    }
    for (const char* k : kKeys) {
        bool found = false;
        lookup(ini.path(), s, k, &found);
        if (found) std::abort();
    }
}

void startAndClose(SettingsFile& ini) {
    try {
        if (ini.readInteger("INI_VERSION", "VERSION", -1) != 1 && !ini.unreadable()) {
            erase(ini, "FIRMWARE");
            erase(ini, "START_POS");
            erase(ini, "MIDI_SELECTION");
        }
        ini.readBool("FIRST_TIME", "FT", true);
        const int top = ini.readInteger("START_POS", "X", 100);
        const int left = ini.readInteger("START_POS", "Y", 100);
        titleBarOnScreen(top, left, {{0, 0, 1920, 1080}, {-1280, -200, 1280, 1024}});
        const std::string file = ini.readString("FIRMWARE", "FILE", "no file");
        write(ini, "INI_VERSION", "VERSION", "1");
        write(ini, "START_POS", "X", std::to_string(top));
        write(ini, "FIRMWARE", "FILE", file);
    } catch (const SettingsError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t textSize = zero ? static_cast<size_t>(zero - data) : size;
    const std::string path = fileName();
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                  static_cast<std::streamsize>(textSize));
    const auto first = snapshot(path);
    SettingsFile ini(path);
    aimed.clear();
    if (!zero) {
        startAndClose(ini);
        othersUnchanged(first);
        return 0;
    }
    Input in(zero + 1, size - textSize - 1);
    for (int ops = 0; ops < 6 && !in.empty(); ++ops) {
        const uint8_t op = in.byte();
        const std::string s = kSections[in.byte() % std::size(kSections)];
        const std::string k = kKeys[in.byte() % std::size(kKeys)];
        switch (op % 6) {
            case 0: ini.readString(s, k, "def"); break;
            case 1: ini.readInteger(s, k, 7); break;
            case 2: write(ini, s, k, in.text()); break;
            case 3: write(ini, s, k, std::to_string(static_cast<int8_t>(in.byte()) * 1000003)); break;
            case 4: erase(ini, s); break;
            case 5: {
                aimed.emplace_back(s, k);
                ini.deleteKey(s, k);
                bool found = false;
                lookup(path, s, k, &found);
                if (found && platform::profile::storable(s.c_str(), k.c_str(), nullptr)) std::abort();
                break;
            }
        }
    }
    othersUnchanged(first);
    return 0;
}
