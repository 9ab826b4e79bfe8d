// kolva-midi-noise: another voice on the amplifier's line, for the kernel
// tests. Until it is killed it sends one kind of message, again and again:
//   --seq CLIENT  as a sequencer client "Noise Maker" subscribed into the
//                 client's port 0 (a program connected to the amplifier);
//   --raw DEVICE  on a second substream of the raw device (a device behind
//                 a merging interface: it reaches whoever reads the port).
// What: inquiry (F0 7E 7F 06 01 F7), ack (a foreign SysEx whose byte 6 is
// 7C), big (one 1 MiB SysEx of 7C bytes, written at about 32 KB/s) or cc
// (control changes). It prints "ready" once it sends.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<uint8_t> message(const std::string& what) {
    if (what == "inquiry") return {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    if (what == "ack") return {0xF0, 0x00, 0x20, 0x33, 0x01, 0x00, 0x7C, 0x00, 0xF7};
    if (what == "cc") return {0xB0, 0x07, 0x64};
    if (what == "big") {
        std::vector<uint8_t> m(1 << 20, 0x7C);
        m.front() = 0xF0;
        m.back() = 0xF7;
        return m;
    }
    return {};
}

struct Seq {
    snd_seq_t* seq = nullptr;
    int port = -1;
    snd_midi_event_t* enc = nullptr;
    bool open(const char* dest) {
        snd_seq_addr_t to;
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0) return false;
        snd_seq_set_client_name(seq, "Noise Maker");
        port = snd_seq_create_simple_port(seq, "noise", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        return port >= 0 && snd_seq_parse_address(seq, &to, dest) >= 0 &&
               snd_seq_connect_to(seq, port, to.client, to.port) >= 0 && snd_midi_event_new(16, &enc) >= 0;
    }
    void send(const std::vector<uint8_t>& m) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        if (m[0] == 0xF0) {
            snd_seq_ev_set_sysex(&ev, unsigned(m.size()), const_cast<uint8_t*>(m.data()));
        } else {
            snd_midi_event_reset_encode(enc);
            snd_midi_event_encode(enc, m.data(), long(m.size()), &ev);
        }
        snd_seq_ev_set_source(&ev, port);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        snd_seq_event_output(seq, &ev);
        snd_seq_drain_output(seq);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[1], "--seq") != 0 && std::strcmp(argv[1], "--raw") != 0)) {
        std::fprintf(stderr, "usage: kolva-midi-noise (--seq CLIENT | --raw DEVICE) inquiry|ack|big|cc\n");
        return 2;
    }
    const std::vector<uint8_t> m = message(argv[3]);
    const bool seqMode = argv[1][2] == 's';
    if (m.empty() || (seqMode && m.size() > 1024)) return 2;
    Seq seq;
    int fd = -1;
    if (seqMode ? !seq.open(argv[2]) : (fd = ::open(argv[2], O_WRONLY)) < 0) {
        std::fprintf(stderr, "kolva-midi-noise: cannot open %s\n", argv[2]);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    const auto every = std::chrono::milliseconds(m[0] == 0xB0 ? 5 : m.size() == 6 ? 250 : 100);
    for (;;) {
        if (seqMode) {
            seq.send(m);
        } else {
            // A long message goes in pieces, as a device would send it.
            for (size_t at = 0; at < m.size(); at += 1024) {
                if (write(fd, m.data() + at, std::min<size_t>(1024, m.size() - at)) < 0) return 1;
                if (m.size() > 1024) std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
        }
        std::this_thread::sleep_for(every);
    }
}
