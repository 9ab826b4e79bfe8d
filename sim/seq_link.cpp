// The amplifier on sequencer ports of its own: one duplex port that the
// updater lists under Midi > Out and Midi > In. A restart closes the client,
// and it comes back as a new client number, as a USB device that
// re-enumerates does.
#include <alsa/asoundlib.h>

#include <cstring>

#include "sim/program_link.h"

namespace sim {

namespace {

constexpr const char* kName = "Kolva Amp (simulated)";

// Our own messages say why an open failed; alsa-lib's would repeat it on
// every retry while the ports are away.
void quiet(const char*, int, const char*, int, const char*, ...) {}

class SeqLink final : public ProgramLink {
public:
    SeqLink() {
        snd_lib_error_set_handler(quiet);
        snd_midi_event_new(256, &decoder_);
    }
    ~SeqLink() override {
        closeSeq();
        if (decoder_) snd_midi_event_free(decoder_);
    }

    bool open(std::string& error) override {
        if (openSeq()) return true;
        error = "cannot open the ALSA sequencer: " + lastError_;
        return false;
    }
    std::string where() const override {
        return "seq " + std::to_string(client_) + ":" + std::to_string(port_) + " " + kName;
    }
    std::vector<pollfd> pollFds() override {
        if (!seq_) return {};
        std::vector<pollfd> fds(size_t(snd_seq_poll_descriptors_count(seq_, POLLIN)));
        fds.resize(size_t(snd_seq_poll_descriptors(seq_, fds.data(), unsigned(fds.size()), POLLIN)));
        return fds;
    }

    bool drain(AmpCore& core, std::string& error) override {
        // The core may close the client on the way (a port that vanishes).
        while (seq_) {
            snd_seq_event_t* ev = nullptr;
            const int r = snd_seq_event_input(seq_, &ev);
            if (r == -EAGAIN) return true;
            if (r == -ENOSPC) {
                std::fprintf(stderr, "kolva-amp-sim: sequencer input overrun, bytes lost\n");
                continue;
            }
            if (r < 0) {
                error = std::string("cannot read from the sequencer: ") + snd_strerror(r);
                return false;
            }
            take(*ev, core);
        }
        return true;
    }

    void send(const std::vector<uint8_t>& bytes) override {
        if (!seq_) return;
        // The amplifier only ever sends System Exclusive.
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_source(&ev, port_);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        snd_seq_ev_set_sysex(&ev, bytes.size(), const_cast<uint8_t*>(bytes.data()));
        int r = 0;
        for (int tries = 0; tries < 1000; ++tries) {
            r = snd_seq_event_output_direct(seq_, &ev);
            if (r != -EAGAIN) break;
            poll(nullptr, 0, 1);
        }
        if (r < 0) std::fprintf(stderr, "kolva-amp-sim: cannot send: %s\n", snd_strerror(r));
    }

    void vanish() override { closeSeq(); }

    void restore() override {
        if (!retryForAWhile([this] { return openSeq(); }))
            failure_ = "cannot open the ALSA sequencer again: " + lastError_;
        else
            say("ports " + where());
    }

private:
    bool openSeq() {
        int r = snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
        if (r < 0) {
            seq_ = nullptr;
            lastError_ = snd_strerror(r);
            return false;
        }
        snd_seq_set_client_name(seq_, kName);
        // Room for the SysEx chunks of a fast sender between two reads.
        snd_seq_set_input_buffer_size(seq_, 1 << 16);
        // Named as the client, so the updater lists it by that name alone.
        r = snd_seq_create_simple_port(seq_, kName,
                                       SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE |
                                           SND_SEQ_PORT_CAP_SUBS_WRITE | SND_SEQ_PORT_CAP_DUPLEX,
                                       SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (r < 0) {
            lastError_ = snd_strerror(r);
            closeSeq();
            return false;
        }
        port_ = r;
        client_ = snd_seq_client_id(seq_);
        return true;
    }
    void closeSeq() {
        if (seq_) snd_seq_close(seq_);
        seq_ = nullptr;
    }

    void take(const snd_seq_event_t& ev, AmpCore& core) {
        if (ev.type == SND_SEQ_EVENT_SYSEX) {
            core.received(static_cast<const uint8_t*>(ev.data.ext.ptr), ev.data.ext.len);
            return;
        }
        if (!decoder_) return;
        unsigned char buf[16];
        snd_midi_event_no_status(decoder_, 1);
        const long n = snd_midi_event_decode(decoder_, buf, sizeof buf, &ev);
        if (n > 0) core.received(buf, size_t(n));
    }

    snd_seq_t* seq_ = nullptr;
    snd_midi_event_t* decoder_ = nullptr;
    int client_ = -1;
    int port_ = -1;
    std::string lastError_;
};

}  // namespace

std::unique_ptr<ProgramLink> makeSeqLink() { return std::make_unique<SeqLink>(); }

}  // namespace sim
