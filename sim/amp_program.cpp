#include "sim/amp_program.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>

#include "sim/program_link.h"

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

uint32_t tickMs() {
    using namespace std::chrono;
    return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

volatile std::sig_atomic_t gStop = 0;
int gWake[2] = {-1, -1};

void onSignal(int) {
    gStop = 1;
    const char c = 0;
    [[maybe_unused]] const ssize_t r = write(gWake[1], &c, 1);
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

void say(const std::string& line) {
    static std::mutex mu;
    std::lock_guard l(mu);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool stopRequested() { return gStop != 0; }

bool retryForAWhile(const std::function<bool()>& attempt) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!attempt()) {
        if (stopRequested() || std::chrono::steady_clock::now() >= until) return false;
        poll(nullptr, 0, 50);
    }
    return true;
}

void ProgramLink::received(const std::vector<uint8_t>& message) {
    if (!capture_ || !isFirmwareMessage(message)) return;
    if (std::fwrite(message.data(), 1, message.size(), capture_) != message.size() || std::fflush(capture_) != 0)
        std::fprintf(stderr, "kolva-amp-sim: cannot write the capture file: %s\n", std::strerror(errno));
}

int runAmpProgram(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(ampUsage().c_str(), stdout);
        return 0;
    }
    std::string error;
    const std::optional<AmpOptions> o = parseAmpOptions(args, error);
    if (!o) {
        std::fprintf(stderr, "kolva-amp-sim: %s\n%s", error.c_str(), ampUsage().c_str());
        return 2;
    }

    if (pipe2(gWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("kolva-amp-sim: pipe");
        return 1;
    }
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a reader that went away is reported by write

    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> capture;
    if (!o->capture.empty()) {
        capture.reset(std::fopen(o->capture.c_str(), "abe"));
        if (!capture) {
            std::fprintf(stderr, "kolva-amp-sim: cannot open %s: %s\n", o->capture.c_str(), std::strerror(errno));
            return 1;
        }
    }

    std::unique_ptr<ProgramLink> link = o->seq ? makeSeqLink() : makeRawLink(o->raw, o->restartCmd);
    link->setCapture(capture.get());
    if (!link->open(error)) {
        std::fprintf(stderr, "kolva-amp-sim: %s\n", error.c_str());
        return 1;
    }
    AmpCore core(*link, o->version, tickMs);
    core.setFaults(o->faults);
    core.setTiming(o->timing);
    say("ready " + link->where() + " version " + o->version);

    int status = 0;
    while (!stopRequested()) {
        core.runDue();
        if (stopRequested()) break;
        if (!link->failure().empty()) {
            std::fprintf(stderr, "kolva-amp-sim: %s\n", link->failure().c_str());
            status = 1;
            break;
        }
        std::vector<pollfd> fds = link->pollFds();
        const size_t linkFds = fds.size();
        fds.push_back({gWake[0], POLLIN, 0});
        const std::optional<uint32_t> next = core.msToNextStep();
        const int r = poll(fds.data(), fds.size(), next ? int(*next) : -1);
        if (r < 0 && errno != EINTR) {
            std::perror("kolva-amp-sim: poll");
            status = 1;
            break;
        }
        bool input = false;
        for (size_t i = 0; r > 0 && i < linkFds; ++i) input |= fds[i].revents != 0;
        if (input && !link->drain(core, error)) {
            std::fprintf(stderr, "kolva-amp-sim: %s\n", error.c_str());
            status = 1;
            break;
        }
    }
    core.close();
    say("stopped");
    return status;
}

}  // namespace sim
