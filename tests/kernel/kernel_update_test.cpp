// Whole updates through the kernel's sequencer: the main window on the real
// clock and the ALSA driver, kolva-amp-sim on the raw side of a virtual MIDI
// port, as a USB amplifier looks to ALSA. They run inside
// scripts/kernel-midi-vm.sh; where there is no sequencer they skip.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QCoreApplication>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "firmware/syx_generator.h"
#include "tests/support/form_fixture.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr const char* kFirmwareSent =
    "Firmware Sent. Wait for Amp to Restart. If amp does not restart on its own, power cycle and check amps code "
    "version number.";
constexpr const char* kLooksGood = "Looks good! Unplug the USB cable and power cycle the amp. / Status";
constexpr const char* kPlugIn = "Now plug in the USB cable and wait for the KOLVA to enumerate. / Status";
constexpr const char* kSelect = "Now select the MIDI device.";
constexpr const char* kConfirmed = "Success, new code rev is confirmed. Rock On! / Status";
constexpr const char* kTimeOut = "Error. Device not responding. Power cycle amp and try again. / Status";

// The amplifier's device: snd-virmidi's first port, unless the environment
// names another (scripts/usb-midi-gadget.sh up prints a USB MIDI gadget's).
// Its restart is a USB device's: the ports go and come back, perhaps as
// another card with new client numbers, so a program holding on to the old
// addresses finds nothing; the amplifier follows its device through a link.
// snd-virmidi plays it with rmmod (refused while anyone still holds the port,
// so it is tried for a while) and modprobe.
struct AmpDevice {
    std::string raw, port, portAfter, client, replug, plugBack, unplug, udc;
};

const AmpDevice& amp() {
    static const AmpDevice d = [] {
        auto env = [](const char* name, std::string fallback) {
            const char* v = std::getenv(name);
            return v && *v ? std::string(v) : fallback;
        };
        const std::string rm =
            "i=0; while ! rmmod snd_virmidi 2>/dev/null; do i=$((i+1)); [ $i -ge 50 ] && exit 1; sleep 0.1; done; ";
        // Back as the first card slot free now (other cards, a USB one, may
        // hold slot 1).
        int slot = 1;
        while (access(("/proc/asound/card" + std::to_string(slot)).c_str(), F_OK) == 0) ++slot;
        const std::string n = std::to_string(slot);
        AmpDevice a;
        a.raw = env("KOLVA_AMP_RAW", "/dev/snd/midiC0D0");
        a.port = env("KOLVA_AMP_PORT", "VirMIDI 0-0");  // as the Midi menu lists it
        a.portAfter = env("KOLVA_AMP_PORT_AFTER", "VirMIDI " + n + "-0");
        a.client = env("KOLVA_AMP_CLIENT", "Virtual Raw MIDI 0-0");  // the sequencer client of port
        a.replug = env("KOLVA_AMP_REPLUG", rm + "modprobe -d \"$KOLVA_VM_MODULES\" snd_virmidi index=" + n +
                                                " && ln -sfn /dev/snd/midiC" + n + "D0 \"$KOLVA_AMP_LINK\"");
        a.plugBack = env("KOLVA_AMP_PLUG_BACK", rm + "modprobe -d \"$KOLVA_VM_MODULES\" snd_virmidi");
        a.unplug = env("KOLVA_AMP_UNPLUG", "");
        a.udc = env("KOLVA_AMP_UDC", "");  // written empty, the gadget's cable is out at once
        return a;
    }();
    return d;
}

// The desktop's MIDI stack on the line for this run (started by
// scripts/sound-servers.sh, which KOLVA_SOUND_SERVERS names): none unless
// KOLVA_SOUND_STACK says. Its bridge may be asked about, but an update ends
// as on a bare kernel with the amplifier holding every byte; where jackd
// holds the amp's raw device nothing is sent and the user is told who holds
// it.
struct SoundStack {
    std::string name, servers;
    bool holdsTheAmp() const { return name == "jackd-raw"; }
    bool wakesMidway() const { return name == "pipewire-woken-later"; }
};

const SoundStack& stack() {
    static const SoundStack s = [] {
        const char* n = std::getenv("KOLVA_SOUND_STACK");
        const char* c = std::getenv("KOLVA_SOUND_SERVERS");
        return SoundStack{n && std::string(n) != "none" ? n : "", c ? c : ""};
    }();
    return s;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<uint8_t> readBytes(const std::string& path) {
    const std::string t = readText(path);
    return {t.begin(), t.end()};
}

std::string example(const char* name) { return std::string(KOLVA_EXAMPLES_DIR) + "/" + name; }

::testing::AssertionResult sameBytes(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    if (i == got.size() && i == want.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the amplifier took " << got.size() << " bytes of " << want.size()
                                         << "; they part at byte " << i;
}

QStringList entries(const QMenu* menu) {
    QStringList t;
    for (const QAction* a : menu->actions()) t << a->text();
    return t;
}

// Ends the process when the UI thread is stuck where no timer reaches it.
class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, const std::atomic<pid_t>& child)
        : thread_([this, limit, &child] {
              std::unique_lock l(mu_);
              if (cv_.wait_for(l, limit, [this] { return done_; })) return;
              std::fprintf(stderr, "kernel update test: stuck for %lld s, giving up\n",
                           static_cast<long long>(limit.count()));
              if (const pid_t p = child.load(); p > 0) kill(p, SIGKILL);
              std::_Exit(124);
          }) {}
    ~Watchdog() {
        {
            std::lock_guard l(mu_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

class KernelUpdateTest : public FormFixture {
protected:
    void SetUp() override {
        FormFixture::SetUp();
        // The kernel moves the bytes in real time, so the program waits in real time too.
        platform::setClock(nullptr);
        if (access("/dev/snd/seq", R_OK | W_OK) != 0) {
            if (std::getenv("KOLVA_VM")) FAIL() << "no ALSA sequencer inside the kernel MIDI VM";
            GTEST_SKIP() << "no ALSA sequencer here; these run under scripts/kernel-midi-vm.sh";
        }
        // A restart of an earlier case may still be bringing the device back.
        const auto until = Steady::now() + 10s;
        while (access(amp().raw.c_str(), R_OK | W_OK) != 0 && Steady::now() < until)
            std::this_thread::sleep_for(50ms);
        ASSERT_EQ(access(amp().raw.c_str(), R_OK | W_OK), 0) << amp().raw << " missing";
        capturePath = tempFile("capture.syx");
        rawLink = tempFile("amp-raw");
        ASSERT_EQ(symlink(amp().raw.c_str(), rawLink.c_str()), 0);
        setenv("KOLVA_AMP_LINK", rawLink.c_str(), 1);
        logPath = tempFile("amp.log");
        writeIni("[INI_VERSION]\r\nVERSION=1\r\n[FIRST_TIME]\r\nFT=0\r\n");
    }

    void TearDown() override {
        stop();
        if (const pid_t w = wakePid.exchange(0); w > 0) {
            int st = 0;
            const auto until = Steady::now() + 60s;
            pid_t r = 0;
            while ((r = waitpid(w, &st, WNOHANG)) == 0 && Steady::now() < until) std::this_thread::sleep_for(50ms);
            if (r == 0) {
                kill(w, SIGKILL);
                waitpid(w, &st, 0);
            }
            EXPECT_TRUE(r == w && WIFEXITED(st) && WEXITSTATUS(st) == 0) << "PipeWire's bridge did not wake within 60 s";
        }
        stopProcess(noisePid, "kolva-midi-noise");
        stopAmp();
        // The next case expects the device where it was at the start.
        if (access(amp().raw.c_str(), F_OK) != 0 || !listed(amp().port)) {
            EXPECT_EQ(std::system(amp().plugBack.c_str()), 0);
        }
        if (HasFailure() && !logPath.empty()) std::cerr << "kolva-amp-sim said:\n" << readText(logPath);
        FormFixture::TearDown();
    }

    // kolva-amp-sim on the raw device; returns once it is open. Its steps are
    // quick: the verify and programming replies come within 150 ms of the
    // last packet's, while the window pauses or plays a light show.
    void startAmp(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"--raw", rawLink, "--capture", capturePath,
                                         "--verify-ms", "50", "--program-ms", "100",
                                         "--reboot-delay-ms", "200", "--reboot-ms", "1500"};
        args.insert(args.end(), extra.begin(), extra.end());
        ampPid = spawn(KOLVA_AMP_SIM, args, logPath);
        ASSERT_NE(ampPid, 0);
        const auto until = Steady::now() + 10s;
        while (ampLog().find("ready ") == std::string::npos) {
            int st = 0;
            if (waitpid(ampPid, &st, WNOHANG) == ampPid) {
                ampPid = 0;
                FAIL() << "kolva-amp-sim ended before it was ready";
            }
            ASSERT_LT(Steady::now(), until) << "kolva-amp-sim not ready within 10 s";
            std::this_thread::sleep_for(20ms);
        }
    }

    // Another voice on the line (tests/kernel/midi_noise.cpp) until the test ends.
    void startNoise(const char* where, const char* what) {
        const std::string log = tempFile("noise.log");
        noisePid = spawn(KOLVA_MIDI_NOISE, {where, where[2] == 's' ? amp().client : rawLink, what}, log);
        ASSERT_NE(noisePid, 0);
        const auto until = Steady::now() + 10s;
        while (readText(log).find("ready") == std::string::npos) {
            int st = 0;
            ASSERT_NE(waitpid(noisePid, &st, WNOHANG), noisePid) << "kolva-midi-noise: " << readText(log);
            ASSERT_LT(Steady::now(), until) << "kolva-midi-noise not ready within 10 s";
            std::this_thread::sleep_for(20ms);
        }
    }

    // exe with args, its output to log; 0 when it cannot start.
    static pid_t spawn(const char* exe, std::vector<std::string> args, const std::string& log) {
        args.insert(args.begin(), exe);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
        pid_t pid = 0;
        const int r = posix_spawn(&pid, exe, &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        EXPECT_EQ(r, 0) << "cannot start " << exe;
        return r == 0 ? pid : 0;
    }

    void stopAmp() { stopProcess(ampPid, "kolva-amp-sim"); }
    static void stopProcess(std::atomic<pid_t>& which, const char* name) {
        const pid_t pid = which.exchange(0);
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        const auto until = Steady::now() + 5s;
        int st = 0;
        while (waitpid(pid, &st, WNOHANG) == 0) {
            if (Steady::now() >= until) {
                ADD_FAILURE() << name << " did not stop on SIGTERM";
                kill(pid, SIGKILL);
                waitpid(pid, &st, 0);
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    std::string ampLog() const { return readText(logPath); }

    // What the amplifier took, once it has as many bytes as expected (or a
    // few seconds have gone by).
    std::vector<uint8_t> captured(size_t expected) const {
        const auto until = Steady::now() + 5s;
        struct stat st {};
        while ((stat(capturePath.c_str(), &st) != 0 || size_t(st.st_size) < expected) && Steady::now() < until)
            std::this_thread::sleep_for(20ms);
        return readBytes(capturePath);
    }

    // Loads the file as File > Firmware would; returns its bytes.
    std::vector<uint8_t> load(const std::string& path) {
        form->uploadMode = form->ReadFile(path.c_str());
        dialogs.clear();
        return readBytes(path);
    }

    // Whether the sequencer lists the port (any client's).
    static bool listed(const std::string& port) {
        return readText("/proc/asound/seq/clients").find("\"" + port + "\"") != std::string::npos;
    }
    void choosePorts(bool in = true, std::string name = amp().port) {
        ASSERT_TRUE(chooseEntry(form->Out1, name)) << entries(form->Out1).join(", ").toStdString();
        if (in) {
            ASSERT_TRUE(chooseEntry(form->In1, name)) << entries(form->In1).join(", ").toStdString();
        }
    }

    // Run > Upload Code. A run still going after limit is ended as the close
    // box ends it; the watchdog catches a run that no timer can reach.
    void upload(std::chrono::seconds limit) {
        Watchdog dog(limit + 30s, ampPid);
        // The bridge is woken while the update runs: a pw-link takes seconds
        // here, so it lands in the transfer or around the restart.
        if (stack().wakesMidway() && wakePid == 0)
            wakePid = spawn("/bin/sh", {"-c", stack().servers + " wake"}, tempFile("wake.log"));
        EXPECT_TRUE(uploadWithin(limit)) << "the run took longer than " << limit.count() << " s";
    }

    // The boxes shown, but for the question about a sound server's bridge
    // (answered OK: the user goes on), which is never by its internal name.
    std::vector<std::string> boxes() const {
        std::vector<std::string> t;
        for (const auto& b : dialogs.shown()) {
            if (!stack().name.empty()) {
                EXPECT_EQ(b.text.find("PipeWire-RT-Event"), std::string::npos) << b.text;
                if (b.buttons == platform::Buttons::OkCancel) continue;
            }
            t.push_back(b.text + " / " + b.caption);
        }
        return t;
    }

    // Where the stack holds the amp's raw device (jackd): nothing reached
    // the amplifier and the user was told who holds it. True when so.
    bool heldByTheStack() {
        if (!stack().holdsTheAmp()) return false;
        std::string all;
        for (const auto& b : dialogs.shown()) all += b.text + "\n";
        EXPECT_NE(all.find("jackd"), std::string::npos) << "nothing names jackd:\n" << all;
        EXPECT_EQ(all.find("Rock On!"), std::string::npos) << all;
        EXPECT_EQ(all.find("Firmware Sent"), std::string::npos) << all;
        EXPECT_TRUE(captured(0).empty()) << "image bytes reached an amp that jackd holds";
        return true;
    }

    std::string capturePath, logPath, rawLink;
    std::atomic<pid_t> ampPid{0}, noisePid{0}, wakePid{0};
};

TEST_F(KernelUpdateTest, HandshakeUpdateIsConfirmedOnThePortsThatCameBack) {
    ASSERT_NO_FATAL_FAILURE(startAmp({"--version", "02.00", "--restart-cmd", amp().replug}));
    start();
    const auto image = load(example("kolva-02.06-packets.syx"));
    ASSERT_EQ(form->uploadMode, 2);
    ASSERT_STREQ(form->fileVersionText, "02.06");
    ASSERT_NO_FATAL_FAILURE(choosePorts());

    QStringList outAtSelect, inAtSelect;
    std::string logAtSelect;
    dialogs.onBox = [&](const platform::ShownBox& b) {
        if (b.text == kSelect) {
            outAtSelect = entries(form->Out1);
            inAtSelect = entries(form->In1);
            logAtSelect = ampLog();
            chooseWhenThere(amp().portAfter);
        }
        return -1;
    };
    upload(100s);
    if (heldByTheStack()) return;

    EXPECT_EQ(boxes(), (std::vector<std::string>{kLooksGood, kPlugIn, std::string(kSelect) + " / Status", kConfirmed}));
    EXPECT_EQ(form->StatusBar2->panelText(3).toStdString(), "Status -> Complete.");
    // The list offered after the restart is the one rebuilt once the ports
    // were back (where they come back by another name: a USB device's port
    // keeps its name, and comes up in its own time after the amp listens).
    EXPECT_NE(logAtSelect.find("restart-cmd exit 0"), std::string::npos);
    EXPECT_NE(logAtSelect.find("back 02.06"), std::string::npos);
    if (amp().portAfter != amp().port) {
        EXPECT_TRUE(outAtSelect.contains(QString::fromStdString(amp().portAfter))) << outAtSelect.join(", ").toStdString();
        EXPECT_TRUE(inAtSelect.contains(QString::fromStdString(amp().portAfter))) << inAtSelect.join(", ").toStdString();
    }
    EXPECT_TRUE(sameBytes(captured(image.size()), image));
}

TEST_F(KernelUpdateTest, OldFirmwareGoesOutOpenLoopWhole) {
    ASSERT_NO_FATAL_FAILURE(startAmp({"--version", "01.50"}));
    start();
    const auto image = load(example("kolva-01.59-packets.syx"));
    ASSERT_EQ(form->uploadMode, 2);
    ASSERT_STREQ(form->fileVersionText, "01.59");
    ASSERT_NO_FATAL_FAILURE(choosePorts());  // an input too: the version alone keeps it open-loop
    upload(60s);
    if (heldByTheStack()) return;
    EXPECT_EQ(boxes(), std::vector<std::string>{std::string(kFirmwareSent) + " / Status"});
    EXPECT_TRUE(sameBytes(captured(image.size()), image));
}

TEST_F(KernelUpdateTest, SingleMessageImageArrivesWhole) {
    ASSERT_NO_FATAL_FAILURE(startAmp({"--version", "01.50"}));
    start();
    const auto image = load(example("kolva-single-message.syx"));
    ASSERT_EQ(form->uploadMode, 1);
    ASSERT_NO_FATAL_FAILURE(choosePorts(false));
    upload(45s);
    if (heldByTheStack()) return;
    EXPECT_EQ(boxes(), std::vector<std::string>{std::string(kFirmwareSent) + " / File Sent"});
    EXPECT_TRUE(sameBytes(captured(image.size()), image));
}

TEST_F(KernelUpdateTest, SilenceAtVerifyTimesOut) {
    ASSERT_NO_FATAL_FAILURE(startAmp({"--version", "02.00", "--silent-at-verify"}));
    start();
    firmware::PacketImageParams p;
    p.digits = {0, 2, 1, 0};
    p.packetCount = 2;
    p.payloadSize = 512;
    const auto image = firmware::makePacketImage(p);
    const std::string path = tempFile("image.syx");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    load(path);
    ASSERT_EQ(form->uploadMode, 2);
    ASSERT_NO_FATAL_FAILURE(choosePorts());
    upload(60s);
    // The amp has the whole image: its silence may be the verify itself.
    EXPECT_EQ(boxes(), std::vector<std::string>{std::string(TForm1::kStillVerifying) + " / Status"});
    EXPECT_EQ(form->StatusBar2->panelText(3).toStdString(), TForm1::kStillWorkingStatus);
    EXPECT_FALSE(form->midiOutReady);
    EXPECT_FALSE(form->midiInReady);
}

}  // namespace

namespace {

// Another voice on the amplifier's line during an update: a program connected
// to its port (which the window names before the transfer; the user goes
// on), or a device on a second substream of its raw device (which nobody can
// see). Each update ends in success with the amplifier holding exactly the
// file's bytes, or in a message that names the other program, or sends
// nothing when the user stops at the question.
struct Disturbance {
    const char* name;
    const char* where;  // --seq: a program connected; --raw: behind a merging interface
    const char* what;
    // A handshake update's packet payload (563-byte packets go out at once,
    // so others' messages seldom land inside them; 4,133-byte ones paced by
    // the wire, so they do); 0: a single-message image.
    uint32_t payload;
    int answer;  // to the question about the other program
    // WholeOrNamed: the sequencer may still put a message between the
    // pieces of a packet sent at once (the amp's log shows the packet cut
    // short), and then the other program is named.
    enum { WholeOrNamed, Named, NothingSent, Whole } expect;
};

void PrintTo(const Disturbance& d, std::ostream* os) { *os << d.name; }

class DisturbedUpdateTest : public KernelUpdateTest, public ::testing::WithParamInterface<Disturbance> {};

TEST_P(DisturbedUpdateTest, EndsWholeOrSaysWhatHappened) {
    const Disturbance& d = GetParam();
    ASSERT_NO_FATAL_FAILURE(startAmp({"--version", "02.00", "--no-reboot"}));
    ASSERT_NO_FATAL_FAILURE(startNoise(d.where, d.what));
    start();
    const bool handshake = d.payload > 0;
    std::vector<uint8_t> image;
    if (handshake) {
        firmware::PacketImageParams p;
        p.digits = {0, 2, 1, 0};
        p.packetCount = 3;
        p.payloadSize = d.payload;
        image = firmware::makePacketImage(p);
    } else {
        image = firmware::makeSingleImage({});
    }
    const std::string path = tempFile("image.syx");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    load(path);
    ASSERT_NO_FATAL_FAILURE(choosePorts(handshake));
    dialogs.onBox = [&](const platform::ShownBox& b) {
        if (b.text == kSelect) choosePorts(true);
        return b.buttons == platform::Buttons::OkCancel ? d.answer : -1;
    };
    upload(60s);

    const auto got = captured(d.expect == Disturbance::NothingSent ? 1 : image.size());
    const auto shown = boxes();
    ASSERT_FALSE(shown.empty());
    const bool named = std::string(d.where) == "--seq";
    EXPECT_EQ(shown.front().rfind("Another program (Noise Maker) is connected to the amp's MIDI port", 0) == 0, named)
        << shown.front();
    const bool whole = sameBytes(got, image);
    for (const std::string& b : shown) {
        EXPECT_TRUE(whole || (b != kConfirmed && b.rfind(kFirmwareSent, 0) != 0)) << b;
        EXPECT_NE(b, kTimeOut) << "a time-out that names nobody";
    }
    switch (d.expect) {
        case Disturbance::WholeOrNamed:
            if (!whole && ampLog().find("recv sysex cut short") != std::string::npos) {
                EXPECT_NE(shown.back().find("(Noise Maker)"), std::string::npos) << shown.back();
                break;
            }
            [[fallthrough]];
        case Disturbance::Whole:
            EXPECT_EQ(shown.back(), kConfirmed);
            EXPECT_TRUE(whole);
            break;
        case Disturbance::Named:
            EXPECT_EQ(shown.size(), 2u);
            EXPECT_NE(shown.back().find("(Noise Maker)"), std::string::npos) << shown.back();
            break;
        case Disturbance::NothingSent:
            EXPECT_EQ(shown.size(), 1u);
            EXPECT_TRUE(got.empty());
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DisturbedUpdateTest,
    ::testing::Values(
        Disturbance{"InquiriesToTheAmp", "--seq", "inquiry", 526, platform::IDOK, Disturbance::WholeOrNamed},
        Disturbance{"InquiriesIntoPacedPackets", "--seq", "inquiry", 4096, platform::IDOK, Disturbance::Named},
        Disturbance{"ForeignAcks", "--raw", "ack", 4096, platform::IDOK, Disturbance::Whole},
        Disturbance{"AMebibyteMessage", "--raw", "big", 4096, platform::IDOK, Disturbance::Whole},
        Disturbance{"ControlChangesIntoThePackets", "--seq", "cc", 4096, platform::IDOK, Disturbance::Named},
        Disturbance{"InquiriesIntoASingleMessage", "--seq", "inquiry", 0, platform::IDOK, Disturbance::Named},
        Disturbance{"StoppedAtTheQuestion", "--seq", "cc", 0, platform::IDCANCEL, Disturbance::NothingSent}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A USB amplifier only (KOLVA_AMP_UNPLUG): the cable and a slow restart.
class UsbUpdateTest : public KernelUpdateTest {
protected:
    void SetUp() override {
        if (amp().unplug.empty()) GTEST_SKIP() << "needs the USB MIDI gadget (scripts/usb-midi-gadget.sh up)";
        KernelUpdateTest::SetUp();
    }
    // Waits in real time, the window handling its events meanwhile.
    static bool waitHandling(const std::function<bool()>& ready, std::chrono::seconds limit) {
        const auto until = Steady::now() + limit;
        while (!ready()) {
            if (Steady::now() >= until) return false;
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    // Bytes the amplifier's end of the cable has taken since it was opened,
    // as the kernel counts them on the gadget's raw MIDI input.
    static long ampEndTook() {
        const std::string& raw = amp().raw;  // /dev/snd/midiC<card>D0
        const size_t c = raw.rfind("midiC") + 5;
        const std::string text = readText("/proc/asound/card" + raw.substr(c, raw.find('D', c) - c) + "/midi0");
        const size_t at = text.find("Rx bytes");
        return at == std::string::npos ? -1 : std::atol(text.c_str() + text.find(':', at) + 1);
    }
    std::vector<uint8_t> loadPackets(uint32_t packets, uint32_t payload) {
        firmware::PacketImageParams p;
        p.digits = {0, 2, 1, 0};
        p.packetCount = packets;
        p.payloadSize = payload;
        const auto image = firmware::makePacketImage(p);
        const std::string path = tempFile("image.syx");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        load(path);
        return image;
    }
};

TEST_F(UsbUpdateTest, ACablePulledInAPacketSaysSoAndTheNextUpdateSucceeds) {
    ASSERT_NO_FATAL_FAILURE(startAmp({"--version", "02.00", "--no-reboot"}));
    start();
    const auto cut = loadPackets(4, 4096);  // 1.3 s on the wire each
    // Where packet 1 (the image's third message) begins and ends.
    std::vector<long> ends;
    for (size_t i = 0; i < cut.size(); ++i)
        if (cut[i] == 0xF7) ends.push_back(long(i) + 1);
    ASSERT_GE(ends.size(), 3u);
    ASSERT_NO_FATAL_FAILURE(choosePorts());
    const long before = ampEndTook();
    ASSERT_GE(before, 0) << "no byte count for " << amp().raw;
    // Pulled once the amplifier's end has taken part of packet 1: it is on
    // its way, and not whole.
    std::thread puller([&] {
        const long from = before + ends[1] + 256, to = before + ends[2];
        const auto until = Steady::now() + 60s;
        long took = 0;
        while ((took = ampEndTook()) < from && Steady::now() < until) std::this_thread::sleep_for(5ms);
        EXPECT_GE(took, from) << "the amplifier's end took no part of packet 1 within 60 s";
        EXPECT_LT(took, to) << "packet 1 was whole before the cable could be pulled";
        if (!amp().udc.empty()) std::ofstream(amp().udc) << "\n";
        EXPECT_EQ(std::system(amp().unplug.c_str()), 0);
    });
    upload(60s);
    puller.join();
    EXPECT_EQ(boxes(), std::vector<std::string>{std::string(TForm1::kSendFailed) + " / Status"});
    EXPECT_EQ(ampLog().find("recv packet 1"), std::string::npos) << "packet 1 did not arrive whole";

    // Plugged in again, the amplifier restarted, the devices chosen again.
    stopAmp();
    ASSERT_EQ(std::system(amp().plugBack.c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(startAmp({"--version", "02.00", "--no-reboot"}));
    dialogs.clear();
    const auto image = loadPackets(2, 526);
    chooseWhenThere(amp().port);
    ASSERT_TRUE(waitHandling([this] { return form->midiOutReady && form->midiInReady; }, 10s));
    dialogs.onBox = [this](const platform::ShownBox& b) {
        if (b.text == kSelect) choosePorts();
        return -1;
    };
    upload(60s);
    EXPECT_EQ(boxes().back(), kConfirmed);
    const auto got = captured(image.size());
    EXPECT_TRUE(got.size() >= image.size() &&
                sameBytes(std::vector<uint8_t>(got.end() - std::ptrdiff_t(image.size()), got.end()), image));
}

TEST_F(UsbUpdateTest, ARestartThatComesBackLateIsStillConfirmed) {
    setenv("KOLVA_USB_LATE_S", "8", 1);
    ASSERT_NO_FATAL_FAILURE(startAmp({"--version", "02.00", "--restart-cmd", amp().replug}));
    unsetenv("KOLVA_USB_LATE_S");
    start();
    const auto image = loadPackets(3, 526);
    ASSERT_NO_FATAL_FAILURE(choosePorts());
    dialogs.onBox = [this](const platform::ShownBox& b) {
        if (b.text == kSelect) chooseWhenThere(amp().portAfter);
        return -1;
    };
    upload(90s);
    EXPECT_EQ(boxes(), (std::vector<std::string>{kLooksGood, kPlugIn, std::string(kSelect) + " / Status", kConfirmed}));
    EXPECT_TRUE(sameBytes(captured(image.size()), image));
}

}  // namespace
