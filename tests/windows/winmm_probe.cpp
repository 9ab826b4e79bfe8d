// kolva-winmm-probe: what the system's MIDI service carries through the
// program's own layer and winmm driver. Sends System Exclusive blocks of the
// given sizes to the first output whose name holds NAME and counts what comes
// back on the input of that name (a port looped back on its far side):
//   kolva-winmm-probe NAME SIZE...
// One line per block: size, send result, bytes and messages back, whether
// they match. Exit 0 when every block came back whole.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/midi_layer.h"
#include "platform/midi/mmsystem.h"

namespace {

std::mutex mu;
std::vector<uint8_t> got;
int messages = 0;

void CALLBACK onInput(HMIDIIN, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR) {
    if (msg != MIM_LONGDATA) return;
    auto* h = reinterpret_cast<MIDIHDR*>(p1);
    std::lock_guard<std::mutex> g(mu);
    got.insert(got.end(), h->lpData, h->lpData + h->dwBytesRecorded);
    if (h->dwBytesRecorded > 0 && uint8_t(h->lpData[h->dwBytesRecorded - 1]) == 0xF7) ++messages;
    h->dwUser = 1;  // read: the main thread gives it back
}

// Gives the input its read buffers back (not from the callback, where winmm
// calls are not allowed), so a block longer than all of them still arrives.
void requeue(HMIDIIN in, std::vector<MIDIHDR>& hdrs) {
    std::vector<MIDIHDR*> read;
    {
        std::lock_guard<std::mutex> g(mu);
        for (auto& h : hdrs)
            if (h.dwUser == 1) {
                h.dwUser = 0;
                read.push_back(&h);
            }
    }
    for (auto* h : read) midiInAddBuffer(in, h, sizeof(MIDIHDR));
}

int find(bool output, const char* name) {
    const UINT n = output ? midiOutGetNumDevs() : midiInGetNumDevs();
    for (UINT i = 0; i < n; ++i) {
        char pname[MAXPNAMELEN] = {};
        if (output) {
            MIDIOUTCAPSA c{};
            midiOutGetDevCapsA(i, &c, sizeof c);
            std::memcpy(pname, c.szPname, sizeof pname);
        } else {
            MIDIINCAPSA c{};
            midiInGetDevCapsA(i, &c, sizeof c);
            std::memcpy(pname, c.szPname, sizeof pname);
        }
        std::printf("%s %u: %s\n", output ? "out" : "in", i, pname);
        if (std::strstr(pname, name)) return int(i);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kolva-winmm-probe NAME SIZE...\n");
        return 2;
    }
    std::printf("driver: %s\n", platform::midi::driverName());
    const int o = find(true, argv[1]), i = find(false, argv[1]);
    if (o < 0 || i < 0) {
        std::printf("no port named %s\n", argv[1]);
        return 1;
    }
    HMIDIOUT out{};
    HMIDIIN in{};
    if (midiOutOpen(&out, UINT(o), 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR ||
        midiInOpen(&in, UINT(i), DWORD_PTR(&onInput), 0, CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        std::printf("cannot open the ports\n");
        return 1;
    }
    std::vector<std::vector<char>> stores(16, std::vector<char>(4096));
    std::vector<MIDIHDR> hdrs(stores.size());
    for (size_t k = 0; k < hdrs.size(); ++k) {
        hdrs[k] = MIDIHDR{};
        hdrs[k].lpData = stores[k].data();
        hdrs[k].dwBufferLength = DWORD(stores[k].size());
        midiInPrepareHeader(in, &hdrs[k], sizeof(MIDIHDR));
        midiInAddBuffer(in, &hdrs[k], sizeof(MIDIHDR));
    }
    midiInStart(in);
    bool whole = true;
    for (int a = 2; a < argc; ++a) {
        const size_t size = std::strtoul(argv[a], nullptr, 10);
        std::vector<char> block(size);
        block[0] = char(0xF0);
        block[1] = 0x7D;
        for (size_t k = 2; k + 1 < size; ++k) block[k] = char((k * 7 + size) & 0x7F);
        block[size - 1] = char(0xF7);
        {
            std::lock_guard<std::mutex> g(mu);
            got.clear();
            messages = 0;
        }
        MIDIHDR h{};
        h.lpData = block.data();
        h.dwBufferLength = DWORD(size);
        midiOutPrepareHeader(out, &h, sizeof h);
        const auto start = std::chrono::steady_clock::now();
        const MMRESULT r = midiOutLongMsg(out, &h, sizeof h);
        // The wire time at 31,250 baud and 5 s more, for the reply too.
        const auto limit = start + std::chrono::milliseconds(size * 10 / 31 + 5000);
        while (!platform::midi::headerDone(h) && std::chrono::steady_clock::now() < limit) {
            requeue(in, hdrs);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const bool cut = platform::midi::headerCut(h);
        size_t back = 0;
        for (;;) {
            {
                requeue(in, hdrs);
                std::lock_guard<std::mutex> g(mu);
                back = got.size();
                if (back >= size || std::chrono::steady_clock::now() >= limit) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        midiOutUnprepareHeader(out, &h, sizeof h);
        std::lock_guard<std::mutex> g(mu);
        const bool same = got.size() == size && std::memcmp(got.data(), block.data(), size) == 0;
        const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
        std::printf("%zu bytes: send %u%s, back %zu bytes in %d messages, %s, %ld ms\n", size, r, cut ? " (cut)" : "",
                    got.size(), messages, same ? "whole" : "NOT whole", ms);
        std::fflush(stdout);
        whole = whole && same;
    }
    midiInStop(in);
    midiInReset(in);
    for (auto& h : hdrs) midiInUnprepareHeader(in, &h, sizeof(MIDIHDR));
    midiInClose(in);
    midiOutClose(out);
    return whole ? 0 : 1;
}
