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
