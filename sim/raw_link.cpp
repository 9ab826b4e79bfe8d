// The amplifier on a raw MIDI device, as a USB amplifier looks to ALSA: what
// the updater sends to the sequencer port comes out of the device, and what
// is written to the device comes into the sequencer. Any character device or
// FIFO-like file does.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/program_link.h"

extern char** environ;

namespace sim {

namespace {

std::string errorText() { return std::strerror(errno); }

// Exit status of /bin/sh -c cmd; -1 when it could not be started. Its
// output goes to stderr so stdout holds only the log.
int runShell(const std::string& cmd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t deflt;
    sigemptyset(&deflt);
    sigaddset(&deflt, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &deflt);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    const char* argv[] = {"sh", "-c", cmd.c_str(), nullptr};
    pid_t pid = 0;
    const int r = posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (r != 0) return -1;
    int st = 0;
    bool told = false;
    while (waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR) return -1;
        if (stopRequested() && !told) {
            kill(pid, SIGTERM);
            told = true;
        }
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

class RawLink final : public ProgramLink {
public:
    RawLink(std::string path, std::string restartCmd) : path_(std::move(path)), restartCmd_(std::move(restartCmd)) {}
    ~RawLink() override { closeDevice(); }

    bool open(std::string& error) override {
        if (openDevice()) return true;
        error = "cannot open " + path_ + ": " + errorText();
        return false;
    }
    std::string where() const override { return "raw " + path_; }
    std::vector<pollfd> pollFds() override {
        if (fd_ < 0) return {};
        return {{fd_, POLLIN, 0}};
    }

    bool drain(AmpCore& core, std::string& error) override {
        uint8_t buf[4096];
        // The core may close the device on the way (a port that vanishes).
        while (fd_ >= 0) {
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n > 0) {
                core.received(buf, size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            error = n == 0 ? path_ + " was closed" : "cannot read " + path_ + ": " + errorText();
            return false;
        }
        return true;
    }

    void send(const std::vector<uint8_t>& bytes) override {
        size_t done = 0;
        while (fd_ >= 0 && done < bytes.size()) {
            const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += size_t(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // A full device gets a second to drain; a reply is a few bytes.
                pollfd p{fd_, POLLOUT, 0};
                if (poll(&p, 1, 1000) <= 0) {
                    std::fprintf(stderr, "kolva-amp-sim: %s takes no more bytes\n", path_.c_str());
                    return;
                }
            } else {
                std::fprintf(stderr, "kolva-amp-sim: cannot write %s: %s\n", path_.c_str(), errorText().c_str());
                return;
            }
        }
    }

    void vanish() override {
        // First: the driver cannot be unloaded while the device is open.
        closeDevice();
        if (restartCmd_.empty()) return;
        say("restart-cmd exit " + std::to_string(runShell(restartCmd_)));
    }

    void restore() override {
        if (!retryForAWhile([this] { return openDevice(); }))
            failure_ = "cannot reopen " + path_ + ": " + std::strerror(openErrno_);
    }

private:
    bool openDevice() {
        fd_ = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) {
            openErrno_ = errno;
            return false;
        }
        // A terminal standing in for the device must pass bytes as they are.
        termios t;
        if (tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
        return true;
    }
    void closeDevice() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    std::string path_;
    std::string restartCmd_;
    int fd_ = -1;
    int openErrno_ = 0;
};

}  // namespace

std::unique_ptr<ProgramLink> makeRawLink(const std::string& path, const std::string& restartCmd) {
    return std::make_unique<RawLink>(path, restartCmd);
}

}  // namespace sim
