// kolva-amp-sim: its command line, and the program itself on a pseudo-terminal
// standing in for a raw MIDI device.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "firmware/syx_generator.h"
#include "sim/amp_program.h"

extern char** environ;

namespace {

using sim::AmpFaults;
using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

TEST(AmpOptionsTest, EachSwitchSetsItsOwnFieldAndBadCommandLinesAreRefused) {
    const std::pair<Strings, AmpFaults> faults[] = {
        {{"--silent"}, {.silent = true}},
        {{"--no-ready-reply"}, {.noReadyReply = true}},
        {{"--packet-error", "1"}, {.packetErrorAt = 1}},
        {{"--recovers-lost-packet"}, {.recoversLostPacket = true}},
        {{"--silent-at-packet", "2"}, {.silentAtPacket = 2}},
        {{"--verify-stop"}, {.verifyStop = true}},
        {{"--silent-at-verify"}, {.silentAtVerify = true}},
        {{"--silent-at-program"}, {.silentAtProgram = true}},
        {{"--version-after-reboot", "02.05"}, {.versionAfterReboot = "02.05"}},
        {{"--no-reboot"}, {.noReboot = true}},
        {{"--reply-delay", "30"}, {.replyDelayMs = 30}},
        {{"--vanish-at-packet=4"}, {.vanishAtPacket = 4}},
    };
    std::string error;
    for (const auto& [args, want] : faults) {
        Strings line{"--seq"};
        line.insert(line.end(), args.begin(), args.end());
        const auto o = sim::parseAmpOptions(line, error);
        ASSERT_TRUE(o) << args[0] << ": " << error;
        EXPECT_EQ(o->faults, want) << args[0];
    }
    const auto o = sim::parseAmpOptions({"--raw", "/dev/snd/midiC0D0", "--verify-ms", "5", "--program-ms", "6",
                                         "--reboot-delay-ms", "7", "--reboot-ms", "8", "--version", "01.59"},
                                        error);
    ASSERT_TRUE(o) << error;
    EXPECT_EQ(o->timing, (sim::AmpTiming{5, 6, 7, 8}));
    EXPECT_EQ(o->version, "01.59");

    const Strings bad[] = {{},
                           {"--raw"},
                           {"--seq", "--raw", "/dev/x"},
                           {"--seq", "--version", "2.6"},
                           {"--seq", "--packet-error", "-1"},
                           {"--seq", "--reply-delay", "5ms"},
                           {"--seq", "--silent=1"},
                           {"--seq", "--restart-cmd", "true"},
                           {"--seq", "--bogus"}};
    for (const Strings& line : bad)
        EXPECT_FALSE(sim::parseAmpOptions(line, error)) << testing::PrintToString(line);
}

// The program as a child process; its stdout is read line by line.
class AmpProcess {
public:
    explicit AmpProcess(const Strings& args) {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv{const_cast<char*>(KOLVA_AMP_SIM)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, KOLVA_AMP_SIM, &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(p[1]);
        out_ = p[0];
    }
    ~AmpProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    // Reads lines until one starts with prefix (false after 10 s or at the end).
    bool waitFor(const std::string& prefix) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            for (size_t nl; (nl = buffered_.find('\n')) != std::string::npos;) {
                lines.push_back(buffered_.substr(0, nl));
                buffered_.erase(0, nl + 1);
                if (lines.back().rfind(prefix, 0) == 0) return true;
            }
            if (!readable(out_, until)) return false;
            char buf[4096];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) return false;
            buffered_.append(buf, size_t(n));
        }
    }
    // Its exit status, once it has ended within 10 s; -1 otherwise.
    int exitStatus() {
        int st = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        pid_t r = 0;
        while (pid_ > 0 && (r = waitpid(pid_, &st, WNOHANG)) == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (pid_ <= 0 || r != pid_) {
            ADD_FAILURE() << "kolva-amp-sim did not end within 10 s";
            return -1;
        }
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    pid_t pid() const { return pid_; }

    static bool readable(int fd, std::chrono::steady_clock::time_point until) {
        using namespace std::chrono;
        const auto left = duration_cast<milliseconds>(until - steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        return left.count() > 0 && poll(&p, 1, int(left.count())) > 0;
    }

    Strings lines;

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffered_;
};

Bytes readExactly(int fd, size_t n) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    Bytes got(n);
    size_t have = 0;
    while (have < n && AmpProcess::readable(fd, until)) {
        const ssize_t r = read(fd, got.data() + have, n - have);
        if (r <= 0) break;
        have += size_t(r);
    }
    got.resize(have);
    return got;
}

TEST(AmpProgramTest, ExitStatusSaysWhetherTheCommandLineOrTheDeviceWasWrong) {
    AmpProcess badOption({"--seq", "--packet-error"});
    EXPECT_EQ(badOption.exitStatus(), 2);
    AmpProcess noDevice({"--raw", "/nonexistent/midiC9D9"});
    EXPECT_EQ(noDevice.exitStatus(), 1);
}

// A whole update over the device: garbage and a damaged packet on the way,
// a restart that closes the device before its command runs and opens it
// again after, and the firmware captured byte for byte.
TEST(AmpProgramTest, UpdateOverARawDeviceIsCapturedRestartsAndComesBack) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string device = ptsname(master);
    const auto dir = std::filesystem::temp_directory_path() / ("kolva-amp-sim-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string capture = (dir / "capture.syx").string(), listing = (dir / "fds").string();

    AmpProcess amp({"--raw", device, "--capture", capture, "--verify-ms", "0", "--program-ms", "0",
                    "--reboot-delay-ms", "0", "--reboot-ms", "0", "--restart-cmd",
                    "ls -l /proc/$PPID/fd > '" + listing + "'"});
    ASSERT_TRUE(amp.waitFor("ready raw " + device + " version 02.06"));

    const Bytes image = firmware::makePacketImage({.digits = {0, 2, 1, 0}, .packetCount = 3, .payloadSize = 64});
    const Bytes damaged{0xF0, 0x00, 0x7D, 0x4B, 0x12, 0x00, 0x1A, 0xF7};
    Bytes firmwareIn(image.begin(), image.begin() + 37);
    firmwareIn.insert(firmwareIn.end(), damaged.begin(), damaged.end());
    firmwareIn.insert(firmwareIn.end(), image.begin() + 37, image.end());
    Bytes wire{0x42, 0xF7, 0x90, 0x3C};
    wire.insert(wire.end(), firmwareIn.begin(), firmwareIn.end());
    ASSERT_EQ(write(master, wire.data(), wire.size()), ssize_t(wire.size()));

    ASSERT_TRUE(amp.waitFor("back 02.10"));
    Bytes codes;
    const Bytes replies = readExactly(master, 7 * 8);
    for (size_t i = 6; i < replies.size(); i += 8) codes.push_back(replies[i]);
    EXPECT_EQ(codes, (Bytes{0x7B, 0x74, 0x7C, 0x7C, 0x7C, 0x7D, 0x71}));

    const Bytes request{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    ASSERT_EQ(write(master, request.data(), request.size()), 6);
    const Bytes identity = readExactly(master, 17);
    ASSERT_EQ(identity.size(), 17u);
    EXPECT_EQ(std::string(identity.begin() + 12, identity.begin() + 16), "0210");
    ASSERT_TRUE(amp.waitFor("send identity-reply"));

    kill(amp.pid(), SIGTERM);
    EXPECT_EQ(amp.exitStatus(), 0);
    close(master);

    const Strings log(amp.lines.begin() + 1, amp.lines.end());
    EXPECT_EQ(log, (Strings{"recv header packets=3 size=64 version=02.10",
                            "send ready",
                            "recv firmware-message 8 bytes F0 00 7D 4B 12 00 1A F7",
                            "send packet-error",
                            "recv packet 0",
                            "send ack 0",
                            "recv packet 1",
                            "send ack 1",
                            "recv packet 2",
                            "send ack 2",
                            "send verified",
                            "send programmed",
                            "restart",
                            "restart-cmd exit 0",
                            "back 02.10",
                            "recv identity-request F0 7E 7F 06 01 F7",
                            "send identity-reply 02.10"}));
    std::ifstream cap(capture, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(cap), {}), firmwareIn);
    std::ifstream fds(listing);
    const std::string open((std::istreambuf_iterator<char>(fds)), {});
    EXPECT_NE(open.find("->"), std::string::npos);
    EXPECT_EQ(open.find(device), std::string::npos) << "the device was still open during the restart";
    std::filesystem::remove_all(dir);
}

}  // namespace
