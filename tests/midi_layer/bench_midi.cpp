// How close a paced block comes to the device's own time, and what it costs.
// Sends one System Exclusive block through a 31,250-baud virtual port under
// the real clock, the caller waiting for the done notification as the port
// component does, and prints the elapsed time, the process's CPU time and the
// ratio to the device's time, with the figure projected for 1 MiB.
//
//   kolva-bench-midi [--bytes N]     (default 32768)
//   kolva-bench-midi --kernel [--port NAME] [--raw DEV | --capture FILE]
//                    [--device-rate BYTES_PER_S] [--bytes N]
//   --poll-ms N: look at the done flag every N ms instead of waiting for
//   the notification (the port component's old way, for comparison)
//
// --kernel sends through the system driver to the kernel port whose name
// contains NAME (default "VirMIDI 0-0") and reads what comes out of the raw
// device DEV (default /dev/snd/midiC0D0), or, for a device that keeps what
// it takes itself, compares the file it writes. The device's own time is
// the block at BYTES_PER_S (default the wire's 3,125). In the kernel MIDI
// VM: scripts/bench-kernel-midi.sh.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/midi/midi_layer.h"
#include "platform/midi/mmsystem.h"
#include "platform/midi/virtual_midi.h"

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::mutex doneMu;
std::condition_variable doneCv;

void CALLBACK onDone(HMIDIOUT, UINT msg, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (msg != MOM_DONE) return;
    { std::lock_guard lk(doneMu); }
    doneCv.notify_all();
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
    size_t bytes = 32768;
    bool kernel = false;
    uint32_t pollMs = 0;
    std::string portName = "VirMIDI 0-0", rawPath = "/dev/snd/midiC0D0", capture;
    double deviceRate = 3125;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--bytes") && i + 1 < argc) {
            bytes = std::strtoull(argv[++i], nullptr, 10);
        } else if (!std::strcmp(argv[i], "--poll-ms") && i + 1 < argc) {
            pollMs = uint32_t(std::strtoul(argv[++i], nullptr, 10));
        } else if (!std::strcmp(argv[i], "--port") && i + 1 < argc) {
            portName = argv[++i];
        } else if (!std::strcmp(argv[i], "--raw") && i + 1 < argc) {
            rawPath = argv[++i];
        } else if (!std::strcmp(argv[i], "--capture") && i + 1 < argc) {
            capture = argv[++i];
        } else if (!std::strcmp(argv[i], "--device-rate") && i + 1 < argc) {
            deviceRate = std::strtod(argv[++i], nullptr);
        } else if (!std::strcmp(argv[i], "--kernel")) {
            kernel = true;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--kernel [--port NAME] [--raw DEV | --capture FILE] [--device-rate N]] "
                         "[--bytes N] [--poll-ms N]\n",
                         argv[0]);
            return 2;
        }
    }
    if (bytes < 2) bytes = 2;

    std::unique_ptr<platform::midi::VirtualMidi> vm;
    std::atomic<size_t> received{0};
    std::vector<uint8_t> got;
    int raw = -1;
    std::atomic<bool> stop{false};
    std::thread reader;
    UINT device = 0;
    if (kernel) {
        device = UINT(-1);
        for (UINT i = 0; i < midiOutGetNumDevs(); ++i) {
            MIDIOUTCAPSA c{};
            midiOutGetDevCapsA(i, &c, sizeof c);
            if (std::strstr(c.szPname, portName.c_str())) device = i;
        }
    }
    if (kernel && capture.empty()) {
        raw = open(rawPath.c_str(), O_RDONLY | O_NONBLOCK);
        if (raw < 0) {
            std::fprintf(stderr, "no %s (run it in the kernel MIDI VM)\n", rawPath.c_str());
            return 1;
        }
        got.reserve(bytes);
        reader = std::thread([&] {
            uint8_t buf[4096];
            while (!stop.load()) {
                pollfd fd{raw, POLLIN, 0};
                if (poll(&fd, 1, 20) <= 0) continue;
                const ssize_t n = read(raw, buf, sizeof buf);
                if (n > 0) {
                    got.insert(got.end(), buf, buf + n);
                    received += size_t(n);
                }
            }
        });
    } else if (!kernel) {
        vm = std::make_unique<platform::midi::VirtualMidi>();
        const auto port = vm->addOutput("bench");
        vm->setWireRate(port, 31250);
        vm->connect(port, [&](const uint8_t*, size_t n) { received += n; });
        if (midiOutGetNumDevs() != 1) device = UINT(-1);
    }

    HMIDIOUT h = nullptr;
    if (device == UINT(-1) || midiOutOpen(&h, device, reinterpret_cast<DWORD_PTR>(&onDone), 0,
                                                  CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        std::fprintf(stderr, "cannot open the port\n");
        return 1;
    }
    std::vector<uint8_t> block(bytes);
    for (size_t i = 0; i < bytes; ++i) block[i] = uint8_t(i & 0x7F);
    block.front() = 0xF0;
    block.back() = 0xF7;
    MIDIHDR hdr{};
    hdr.lpData = reinterpret_cast<char*>(block.data());
    hdr.dwBufferLength = static_cast<DWORD>(bytes);
    midiOutPrepareHeader(h, &hdr, sizeof hdr);

    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    if (midiOutLongMsg(h, &hdr, sizeof hdr) != MMSYSERR_NOERROR) {
        std::fprintf(stderr, "send refused\n");
        return 1;
    }
    if (pollMs) {
        while (!platform::midi::headerDone(hdr)) platform::Sleep(pollMs);
    } else {
        std::unique_lock lk(doneMu);
        doneCv.wait(lk, [&] { return platform::midi::headerDone(hdr); });
    }
    const bool cut = platform::midi::headerCut(hdr);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    midiOutUnprepareHeader(h, &hdr, sizeof hdr);
    midiOutClose(h);
    if (kernel && capture.empty()) {
        // What is still on its way through the kernel, if anything.
        for (int i = 0; i < 100 && received.load() < bytes; ++i) platform::Sleep(10);
        stop.store(true);
        reader.join();
        close(raw);
    } else if (kernel) {
        for (int i = 0; i < 100 && (got = readFile(capture)).size() < bytes; ++i) platform::Sleep(10);
        received = got.size();
    }

    const double own = double(bytes) / deviceRate;
    const double ratio = elapsed / own;
    const double mib = 1048576.0 / deviceRate;
    std::printf("bytes            %zu (peer got %zu%s)%s\n", bytes, received.load(),
                kernel ? (got == block ? ", identical" : ", NOT identical") : "", cut ? ", block came back cut" : "");
    std::printf("device time      %.3f s at %.0f bytes/s\n", own, deviceRate);
    std::printf("elapsed          %.3f s\n", elapsed);
    std::printf("cpu (process)    %.3f s  (%.2f%% of elapsed)\n", cpu, 100.0 * cpu / elapsed);
    std::printf("ratio to device  %.4f\n", ratio);
    std::printf("1 MiB projected  %.1f s elapsed (device %.1f s), %.2f s cpu\n", ratio * mib, mib,
                cpu / double(bytes) * 1048576.0);
    return !cut && received == bytes && (!kernel || got == block) ? 0 : 1;
}
