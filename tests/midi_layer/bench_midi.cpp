// How close a paced block comes to the wire's own time, and what it costs.
// Sends one System Exclusive block through a 31,250-baud virtual port under
// the real clock, the caller polling the done flag as the port component
// does, and prints the elapsed time, the process's CPU time and the ratio to
// the wire time, with the figure projected for 1 MiB.
//
//   kolva-bench-midi [--bytes N]     (default 32768)
//   kolva-bench-midi --kernel [--bytes N]
//   --poll-ms N: the caller's pause between looks at the done flag (1, as
//   the port component does)
//
// --kernel sends through the system driver to the kernel's "VirMIDI 0-0"
// port and reads what comes out of its raw device, /dev/snd/midiC0D0 (in
// the kernel MIDI VM: scripts/bench-kernel-midi.sh).

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
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

}  // namespace

int main(int argc, char** argv) {
    size_t bytes = 32768;
    bool kernel = false;
    uint32_t pollMs = 1;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--bytes") && i + 1 < argc) {
            bytes = std::strtoull(argv[++i], nullptr, 10);
        } else if (!std::strcmp(argv[i], "--poll-ms") && i + 1 < argc) {
            pollMs = uint32_t(std::strtoul(argv[++i], nullptr, 10));
        } else if (!std::strcmp(argv[i], "--kernel")) {
            kernel = true;
        } else {
            std::fprintf(stderr, "usage: %s [--kernel] [--bytes N] [--poll-ms N]\n", argv[0]);
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
        raw = open("/dev/snd/midiC0D0", O_RDONLY | O_NONBLOCK);
        if (raw < 0) {
            std::fprintf(stderr, "no /dev/snd/midiC0D0 (run it in the kernel MIDI VM)\n");
            return 1;
        }
        device = UINT(-1);
        for (UINT i = 0; i < midiOutGetNumDevs(); ++i) {
            MIDIOUTCAPSA c{};
            midiOutGetDevCapsA(i, &c, sizeof c);
            if (std::strstr(c.szPname, "VirMIDI 0-0")) device = i;
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
    } else {
        vm = std::make_unique<platform::midi::VirtualMidi>();
        const auto port = vm->addOutput("bench");
        vm->setWireRate(port, 31250);
        vm->connect(port, [&](const uint8_t*, size_t n) { received += n; });
        if (midiOutGetNumDevs() != 1) device = UINT(-1);
    }

    HMIDIOUT h = nullptr;
    if (device == UINT(-1) || midiOutOpen(&h, device, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
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
    while (!platform::midi::headerDone(hdr)) platform::Sleep(pollMs);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    midiOutUnprepareHeader(h, &hdr, sizeof hdr);
    midiOutClose(h);
    if (kernel) {
        // What is still on its way through the kernel, if anything.
        for (int i = 0; i < 100 && received.load() < bytes; ++i) platform::Sleep(10);
        stop.store(true);
        reader.join();
        close(raw);
    }

    const double wire = double(bytes) * 320e-6;
    const double ratio = elapsed / wire;
    const double mib = 1048576.0 * 320e-6;
    std::printf("bytes            %zu (peer got %zu%s)\n", bytes, received.load(),
                kernel ? (got == block ? ", identical" : ", NOT identical") : "");
    std::printf("wire time        %.3f s\n", wire);
    std::printf("elapsed          %.3f s\n", elapsed);
    std::printf("cpu (process)    %.3f s  (%.2f%% of elapsed)\n", cpu, 100.0 * cpu / elapsed);
    std::printf("ratio to wire    %.4f\n", ratio);
    std::printf("1 MiB projected  %.1f s elapsed (wire %.1f s), %.2f s cpu\n", ratio * mib, mib,
                cpu / double(bytes) * 1048576.0);
    return received == bytes && (!kernel || got == block) ? 0 : 1;
}
