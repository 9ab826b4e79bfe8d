#include "platform/midi/alsa_system.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace platform::midi::alsa {

std::string RawAddress::hw() const {
    return "hw:" + std::to_string(card) + "," + std::to_string(device) + "," + std::to_string(sub);
}

std::string RawAddress::node() const {
    return "/dev/snd/midiC" + std::to_string(card) + "D" + std::to_string(device);
}

namespace {

// argv[0] without its folder, or the kernel's short name when that is empty.
std::string processName(const std::string& pid) {
    std::ifstream cmd("/proc/" + pid + "/cmdline", std::ios::binary);
    std::string argv0;
    std::getline(cmd, argv0, '\0');
    if (const auto slash = argv0.rfind('/'); slash != std::string::npos) argv0.erase(0, slash + 1);
    if (!argv0.empty()) return argv0;
    std::ifstream comm("/proc/" + pid + "/comm");
    std::getline(comm, argv0);
    return argv0.empty() ? "process " + pid : argv0;
}

bool holds(const std::string& pid, const std::string& node) {
    const std::string fds = "/proc/" + pid + "/fd";
    DIR* d = opendir(fds.c_str());
    if (!d) return false;  // another user's: we cannot tell
    bool found = false;
    char target[256];
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n > 0 && node.compare(0, std::string::npos, target, size_t(n)) == 0) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

}  // namespace

std::vector<std::string> rawHolders(const RawAddress& a) {
    std::vector<std::string> names;
    const std::string self = std::to_string(getpid()), node = a.node();
    DIR* proc = opendir("/proc");
    if (!proc) return names;
    while (dirent* e = readdir(proc)) {
        const std::string pid = e->d_name;
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            pid == self || !holds(pid, node))
            continue;
        std::string name = processName(pid);
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
    }
    closedir(proc);
    return names;
}

bool readRawOutState(const RawAddress& a, RawOutState& st) {
    std::ifstream f("/proc/asound/card" + std::to_string(a.card) + "/midi" + std::to_string(a.device));
    if (!f) return false;
    st = {};
    const std::string head = "Output " + std::to_string(a.sub);
    std::string line;
    bool in = false, seen = false;
    while (std::getline(f, line)) {
        if (!line.empty() && line[0] != ' ') {
            in = line == head;
            seen = seen || in;
            continue;
        }
        if (!in) continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const unsigned long long v = std::strtoull(line.c_str() + colon + 1, nullptr, 10);
        if (line.find("Tx bytes") != std::string::npos) st.txBytes = v;
        else if (line.find("Buffer size") != std::string::npos) st.bufferSize = size_t(v), st.open = true;
        else if (line.find("Avail") != std::string::npos) st.avail = size_t(v);
    }
    return seen;
}

std::string knownClientName(const std::string& client) {
    // PipeWire's bridge shows as "PipeWire-RT-Event" or "PipeWire-System";
    // JACK's as "a2j" or "a2jmidid".
    if (client.rfind("PipeWire", 0) == 0) return "the sound server (PipeWire)";
    if (client.rfind("a2j", 0) == 0) return "JACK's MIDI bridge (a2jmidid)";
    return client;
}

}  // namespace platform::midi::alsa
