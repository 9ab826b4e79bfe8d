// The sleep lock around a run, against a private bus with a stand-in login
// manager that records each Inhibit call and sees its descriptor closed.
// The bus is real, so its waits are real time, bounded.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTemporaryDir>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "firmware/syx_generator.h"
#include "tests/support/amp_fixture.h"

namespace {

constexpr const char* kLock = "sleep:idle|Kolva Updater|Firmware update in progress|block";
constexpr const char* kSelect = "Now select the MIDI device.";

// A program of the test's own, its output read line by line. Started with
// fork and exec, which ThreadSanitizer follows (QProcess uses vfork, which
// it does not).
class Child {
public:
    bool start(std::vector<std::string> args) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return false;
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // no daemons left behind by a test that crashed
            ::dup2(out[1], 1);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
        return pid_ > 0;
    }
    std::string readLine(int timeoutMs) {
        std::string line;
        char c;
        pollfd p{out_, POLLIN, 0};
        while (::poll(&p, 1, timeoutMs) == 1 && ::read(out_, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            // One that ignores the request is not waited for forever.
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() >= until) {
                    ADD_FAILURE() << "a helper program did not end on SIGTERM within 5 s";
                    ::kill(pid_, SIGKILL);
                    ::waitpid(pid_, nullptr, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (out_ >= 0) ::close(out_);
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// A dbus-daemon of the test's own, with or without the stand-in login manager.
class PrivateBus {
public:
    bool start() {
        const std::string config = dir_.filePath("bus.conf").toStdString();
        std::ofstream(config) << "<busconfig><listen>unix:tmpdir=" << dir_.path().toStdString()
                              << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                                 "</policy></busconfig>";
        if (!daemon_.start({KOLVA_DBUS_DAEMON, "--nofork", "--print-address", "--config-file=" + config})) return false;
        address = QString::fromStdString(daemon_.readLine(5000));
        return !address.isEmpty();
    }
    bool startLogin1() {
        return login1_.start({KOLVA_LOGIN1_STANDIN, address.toStdString()}) && login1_.readLine(5000) == "ready";
    }
    ~PrivateBus() { QDBusConnection::disconnectFromBus("probe"); }

    QStringList calls() { return ask("Calls").toStringList(); }
    int held() { return ask("Held").toInt(); }
    // The stand-in's own copy of a descriptor may outlive its reply briefly.
    int heldAfter() {
        int n = held();
        for (int i = 0; i < 100 && n != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            n = held();
        }
        return n;
    }

    QString address;

private:
    QVariant ask(const char* method) {
        QDBusConnection c = QDBusConnection::connectToBus(address, "probe");
        const QDBusMessage r = c.call(
            QDBusMessage::createMethodCall("org.freedesktop.login1", "/recorder", "test.Login1Recorder", method),
            QDBus::Block, 5000);
        return r.arguments().value(0);
    }

    QTemporaryDir dir_;
    Child daemon_, login1_;  // stopped in reverse order: the login manager first
};

class SleepLockTest : public AmpFixture {
protected:
    void SetUp() override {
        if (std::string(KOLVA_DBUS_DAEMON).empty()) GTEST_SKIP() << "no dbus-daemon";
        AmpFixture::SetUp();
        ASSERT_TRUE(bus.start());
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.toUtf8().constData(), 1);
        writeIni("[INI_VERSION]\r\nVERSION=1\r\n[FIRST_TIME]\r\nFT=0\r\n");
        start();
        ui = std::this_thread::get_id();
        dialogs.onBox = [this](const platform::ShownBox& b) {
            if (b.text == kSelect) choosePorts();
            return b.text.find("Continue?") != std::string::npos ? question : platform::IDOK;
        };
    }
    void TearDown() override {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        AmpFixture::TearDown();
    }
    void loadPackets(std::array<uint8_t, 4> digits, int packets = 3) {
        firmware::PacketImageParams p;
        p.digits = digits;
        p.packetCount = uint32_t(packets);
        p.payloadSize = 256;
        load(firmware::makePacketImage(p));
    }
    // One run; what the stand-in saw while the first packet went out, or -1
    // when no packet went out.
    int run(std::function<void()> duringTransfer = {}) {
        int heldDuring = -1;
        const size_t header = 37;
        const int hook = clock.addSettleHook([&] {
            if (std::this_thread::get_id() != ui || heldDuring >= 0 || !form->uploadRunning() ||
                vm->sent(ampIn).size() <= header)
                return;
            heldDuring = bus.held();
            if (duringTransfer) duringTransfer();
        });
        vm->clearSent(ampIn);
        choosePorts();
        form->Button2Click();
        clock.removeSettleHook(hook);
        return heldDuring;
    }

    PrivateBus bus;
    int question = platform::IDOK;
    std::thread::id ui;
};

TEST_F(SleepLockTest, EachTransferHoldsTheLockAndEveryEndLetsItGo) {
    // A bus without a login manager: the update goes on, nothing is said.
    loadPackets({0, 2, 1, 0});
    run();
    EXPECT_EQ(boxes().back(), "Success, new code rev is confirmed. Rock On! / Status");
    ASSERT_TRUE(bus.startLogin1());

    struct End {
        const char* name;
        std::function<void()> prepare;
        std::function<void()> duringTransfer;
        std::string last;  // the run's last box or status
        std::function<void()> after = {};
    };
    // A verify stop never ends the run by itself (its pattern goes on until
    // the window closes), but nothing is written any more.
    int refusedHook = 0, heldAtRefusal = -1;
    const auto closeAtRefusal = [&] {
        refusedHook = clock.addSettleHook([&] {
            if (std::this_thread::get_id() != ui || heldAtRefusal >= 0 ||
                form->StatusBar2->panelText(3) != TForm1::kAmpRefused)
                return;
            heldAtRefusal = bus.held();
            form->close();
        });
    };
    const auto restartAfterClose = [&] {
        clock.removeSettleHook(refusedHook);
        EXPECT_EQ(heldAtRefusal, 0) << "let go at the verify stop";
        clock.processMessages();
        stop();
        start();
    };
    const std::vector<End> ends = {
        {"success", [&] { loadPackets({0, 2, 2, 0}); }, {}, "Success, new code rev is confirmed. Rock On! / Status"},
        {"wrong version",
         [&] {
             loadPackets({0, 2, 3, 0});
             sim::AmpFaults f;
             f.versionAfterReboot = "02.07";
             amp->setFaults(f);
         },
         {}, "Fail, code rev is wrong. Power cycle the amp and try again. / Status"},
        {"time-out",
         [&] {
             loadPackets({0, 2, 4, 0});
             sim::AmpFaults f;
             f.silentAtPacket = 1;
             amp->setFaults(f);
         },
         {}, "Error. Device not responding. Power cycle amp and try again. / Status"},
        {"cancel", [&] { loadPackets({0, 2, 5, 0}); }, [&] { form->CancelMouseUp(); },
         "User terminated code upload. Power cycle amp. / Status"},
        {"wizard stage", [&] { loadPackets({0, 2, 6, 0}); form->wizardActive = true; }, {},
         "Success, new code rev is confirmed. Rock On! / Status"},
        {"open loop", [&] { loadPackets({0, 1, 5, 0}); }, {}, ""},
        {"single message", [&] { load(firmware::makeSingleImage({})); }, {},
         "Firmware Sent. Wait for Amp to Restart. If amp does not restart on its own, power cycle and check amps "
         "code version number. / File Sent"},
        {"verify stop", [&] { loadPackets({0, 2, 8, 0}); amp->setFaults({.verifyStop = true}); }, closeAtRefusal, "",
         restartAfterClose},
        {"close", [&] { loadPackets({0, 2, 7, 0}, 20); }, [&] { form->close(); }, ""},
    };
    int taken = 0;
    for (const End& e : ends) {
        SCOPED_TRACE(e.name);
        amp->setFaults({});
        // An amplifier still restarting from the run before has no ports.
        for (int i = 0; i < 100 && amp->state() >= sim::AmpState::Verifying && amp->state() <= sim::AmpState::Rebooting;
             ++i)
            clock.sleep(100);
        e.prepare();
        const int heldDuring = run(e.duringTransfer);
        form->wizardActive = false;
        EXPECT_EQ(heldDuring, 1) << "held while the amplifier is written";
        EXPECT_EQ(bus.heldAfter(), 0) << "let go when the run ended";
        const QStringList calls = bus.calls();
        ASSERT_EQ(calls.size(), ++taken) << "one lock per run";
        EXPECT_EQ(calls.last(), kLock);
        if (!e.last.empty()) {
            EXPECT_EQ(boxes().back(), e.last);
        }
        if (e.after) e.after();
    }

    // Runs that write nothing take no lock: no file, a declined question.
    clock.processMessages();  // the close put off by the last run
    stop();
    start();
    form->uploadMode = 0;
    run();
    loadPackets({0, 2, 7, 0});
    question = platform::IDCANCEL;
    form->ampVersion = form->fileVersion;
    run();
    EXPECT_EQ(bus.calls().size(), taken);
}

}  // namespace
