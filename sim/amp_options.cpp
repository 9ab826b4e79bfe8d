// kolva-amp-sim's switches, read on every platform (the demo takes them too).
#include "sim/amp_program.h"

#include <cstdint>

namespace sim {

namespace {

enum class Kind { Switch, Number, Version, Text };

struct Option {
    const char* name;
    Kind kind;
    void (*set)(AmpOptions& o, const std::string& text, uint32_t number);
};

// The value comes as text t and, for numbers, as n.
#define KOLVA_SET(body) [](AmpOptions& o, const std::string& t, uint32_t n) { body; }
const Option kOptions[] = {
    {"--raw", Kind::Text, KOLVA_SET(o.raw = t)},
    {"--seq", Kind::Switch, KOLVA_SET(o.seq = true)},
    {"--version", Kind::Version, KOLVA_SET(o.version = t)},
    {"--restart-cmd", Kind::Text, KOLVA_SET(o.restartCmd = t)},
    {"--capture", Kind::Text, KOLVA_SET(o.capture = t)},
    {"--silent", Kind::Switch, KOLVA_SET(o.faults.silent = true)},
    {"--no-ready-reply", Kind::Switch, KOLVA_SET(o.faults.noReadyReply = true)},
    {"--packet-error", Kind::Number, KOLVA_SET(o.faults.packetErrorAt = int(n))},
    {"--recovers-lost-packet", Kind::Switch, KOLVA_SET(o.faults.recoversLostPacket = true)},
    {"--silent-at-packet", Kind::Number, KOLVA_SET(o.faults.silentAtPacket = int(n))},
    {"--verify-stop", Kind::Switch, KOLVA_SET(o.faults.verifyStop = true)},
    {"--silent-at-verify", Kind::Switch, KOLVA_SET(o.faults.silentAtVerify = true)},
    {"--silent-at-program", Kind::Switch, KOLVA_SET(o.faults.silentAtProgram = true)},
    {"--version-after-reboot", Kind::Version, KOLVA_SET(o.faults.versionAfterReboot = t)},
    {"--no-reboot", Kind::Switch, KOLVA_SET(o.faults.noReboot = true)},
    {"--reply-delay", Kind::Number, KOLVA_SET(o.faults.replyDelayMs = n)},
    {"--vanish-at-packet", Kind::Number, KOLVA_SET(o.faults.vanishAtPacket = int(n))},
    {"--verify-ms", Kind::Number, KOLVA_SET(o.timing.verifyMs = n)},
    {"--program-ms", Kind::Number, KOLVA_SET(o.timing.programMs = n)},
    {"--reboot-delay-ms", Kind::Number, KOLVA_SET(o.timing.rebootDelayMs = n)},
    {"--reboot-ms", Kind::Number, KOLVA_SET(o.timing.rebootMs = n)},
};
#undef KOLVA_SET

// Steps are compared on a wrapping 32-bit tick count, so keep delays far
// below 2^31 ms.
constexpr uint32_t kMaxNumber = 1000000000;

bool parseNumber(const std::string& s, uint32_t& n) {
    if (s.empty() || s.size() > 10) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + uint64_t(c - '0');
    }
    if (v > kMaxNumber) return false;
    n = uint32_t(v);
    return true;
}

bool isVersion(const std::string& s) {
    auto digit = [&](size_t i) { return s[i] >= '0' && s[i] <= '9'; };
    return s.size() == 5 && digit(0) && digit(1) && s[2] == '.' && digit(3) && digit(4);
}

}  // namespace

std::string ampUsage() {
    const AmpTiming t;
    return "usage: kolva-amp-sim (--raw PATH | --seq) [options]\n"
           "  --raw PATH              a raw MIDI device, such as /dev/snd/midiC0D0\n"
           "  --seq                   sequencer ports of its own, \"Kolva Amp (simulated)\"\n"
           "  --version dd.dd         firmware version to start with (02.06)\n"
           "  --restart-cmd CMD       /bin/sh -c CMD once the raw device is closed for a restart\n"
           "  --capture FILE          append every firmware message received to FILE\n"
           "faults:\n"
           "  --silent  --no-ready-reply  --packet-error K (its data lost)  --recovers-lost-packet\n"
           "  --silent-at-packet K  --verify-stop  --silent-at-verify  --silent-at-program\n"
           "  --version-after-reboot dd.dd  --no-reboot  --reply-delay MS  --vanish-at-packet K\n"
           "timing, in ms:\n"
           "  --verify-ms (" + std::to_string(t.verifyMs) + ")  --program-ms (" + std::to_string(t.programMs) +
           ")  --reboot-delay-ms (" + std::to_string(t.rebootDelayMs) + ")  --reboot-ms (" +
           std::to_string(t.rebootMs) + ")\n";
}

std::optional<AmpOptions> parseAmpOptions(const std::vector<std::string>& args, std::string& error) {
    AmpOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i], value;
        const size_t eq = name.find('=');
        const bool inline_ = name.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inline_) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        const Option* opt = nullptr;
        for (const Option& candidate : kOptions)
            if (name == candidate.name) opt = &candidate;
        if (!opt) {
            error = "unknown option " + name;
            return std::nullopt;
        }
        if (opt->kind == Kind::Switch) {
            if (inline_) {
                error = name + " takes no value";
                return std::nullopt;
            }
            opt->set(o, {}, 0);
            continue;
        }
        if (!inline_) {
            if (i + 1 == args.size()) {
                error = name + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        uint32_t number = 0;
        const bool ok = opt->kind == Kind::Number    ? parseNumber(value, number)
                        : opt->kind == Kind::Version ? isVersion(value)
                                                     : !value.empty();
        if (!ok) {
            error = "bad value for " + name + ": '" + value + "'";
            return std::nullopt;
        }
        opt->set(o, value, number);
    }
    if (o.raw.empty() == !o.seq) {
        error = "give one of --raw PATH and --seq";
        return std::nullopt;
    }
    if (o.seq && !o.restartCmd.empty()) {
        error = "--restart-cmd goes with --raw";
        return std::nullopt;
    }
    return o;
}

}  // namespace sim
