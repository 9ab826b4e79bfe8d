// The system's MIDI ports through the ALSA sequencer. Kept thin: cutting,
// pacing and joining are the layer's (midi_logic); this file only lists
// ports, subscribes, and moves events.
//
// Two sequencer clients: one sends (so a send never waits behind the input
// thread), one receives data and the system announce events.

#include <alsa/asoundlib.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <map>
#include <mutex>
#include <thread>

#include "platform/midi/driver.h"

namespace platform::midi {

namespace {

constexpr int kSendRetryMs = 2000;  // a destination that takes nothing for this long has failed

uint32_t addressOf(int client, int port) {
    return (static_cast<uint32_t>(client) << 8) | static_cast<uint32_t>(port & 0xFF);
}

void quiet(const char*, int, const char*, int, const char*, ...) {}

struct InLink {
    std::mutex gate;
    InputSink* sink = nullptr;
    std::atomic<bool> alive{true};
};

class AlsaDriver;

class AlsaOut final : public OutputConnection {
public:
    AlsaOut(AlsaDriver& d, int client, int port);
    ~AlsaOut() override;
    bool alive() const override { return alive_.load(); }
    MMRESULT sendShort(const uint8_t* data, size_t n) override;
    MMRESULT sendChunk(const uint8_t* data, size_t n, bool first, bool last) override;
    void abortBlock() override {
        static uint8_t eox = 0xF7;
        sendChunk(&eox, 1, false, true);
    }
    Pacing pacing() const override {
        // Events of at most 256 bytes, at the DIN pace, never more than half
        // the kernel's 4,096-byte buffer toward the hardware ahead of the wire.
        Pacing p;
        p.maxChunk = 256;
        p.nsPerByte = kDinNsPerByte;
        p.leadBytes = 2048;
        return p;
    }
    void kill() { alive_.store(false); }
    uint32_t address() const { return addressOf(client_, port_); }

private:
    MMRESULT output(snd_seq_event_t& ev);
    AlsaDriver& d_;
    int client_;
    int port_;
    std::atomic<bool> alive_{true};
    snd_midi_event_t* encoder_ = nullptr;
};

class AlsaIn final : public InputConnection {
public:
    AlsaIn(AlsaDriver& d, int client, int port, std::shared_ptr<InLink> link)
        : d_(d), client_(client), port_(port), link_(std::move(link)) {}
    ~AlsaIn() override;
    bool alive() const override { return link_->alive.load(); }

private:
    AlsaDriver& d_;
    int client_;
    int port_;
    std::shared_ptr<InLink> link_;
};

class AlsaDriver final : public Driver {
public:
    ~AlsaDriver() override {
        if (thread_.joinable()) {
            stop_.store(true);
            const char b = 0;
            if (wake_[1] >= 0) [[maybe_unused]] auto r = write(wake_[1], &b, 1);
            thread_.join();
        }
        if (decoder_) snd_midi_event_free(decoder_);
        if (inSeq_) snd_seq_close(inSeq_);
        if (outSeq_) snd_seq_close(outSeq_);
        for (int fd : wake_)
            if (fd >= 0) close(fd);
    }
    const char* name() const override { return "alsa"; }
    bool followsProcessClock() const override { return false; }
    void start(std::function<void(DeviceChange)> report) override {
        std::lock_guard lk(mu_);
        report_ = std::move(report);
    }
    std::vector<DeviceInfo> outputs() override { return list(true); }
    std::vector<DeviceInfo> inputs() override { return list(false); }

    MMRESULT openOutput(uint64_t id, std::unique_ptr<OutputConnection>& out) override {
        if (!ready()) return MIDIERR_NODEVICE;
        const int client = static_cast<int>(id >> 8), port = static_cast<int>(id & 0xFF);
        if (!hasCaps(client, port, SND_SEQ_PORT_CAP_WRITE)) return MIDIERR_NODEVICE;
        auto o = std::make_unique<AlsaOut>(*this, client, port);
        {
            std::lock_guard lk(mu_);
            outs_.emplace(o->address(), o.get());
        }
        out = std::move(o);
        return MMSYSERR_NOERROR;
    }

    MMRESULT openInput(uint64_t id, InputSink* sink, std::unique_ptr<InputConnection>& out) override {
        if (!ready()) return MIDIERR_NODEVICE;
        const int client = static_cast<int>(id >> 8), port = static_cast<int>(id & 0xFF);
        if (!hasCaps(client, port, SND_SEQ_PORT_CAP_READ)) return MIDIERR_NODEVICE;
        const uint32_t a = addressOf(client, port);
        auto link = std::make_shared<InLink>();
        link->sink = sink;
        {
            std::lock_guard lk(mu_);
            if (ins_.count(a)) return MMSYSERR_ALLOCATED;
            ins_[a] = link;
        }
        const int r = snd_seq_connect_from(inSeq_, inPort_, client, port);
        if (r < 0) {
            std::lock_guard lk(mu_);
            ins_.erase(a);
            return r == -EBUSY ? MMSYSERR_ALLOCATED : MIDIERR_NODEVICE;
        }
        out = std::make_unique<AlsaIn>(*this, client, port, std::move(link));
        return MMSYSERR_NOERROR;
    }

    // The sequencer, opened on first use. No sequencer (no /dev/snd/seq) means no
    // devices, and nothing printed.
    bool ready() {
        std::lock_guard lk(openMu_);
        if (tried_) return ok_;
        tried_ = true;
        if (access("/dev/snd/seq", F_OK) != 0) return false;
        snd_lib_error_set_handler(quiet);
        if (snd_seq_open(&outSeq_, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0 ||
            snd_seq_open(&inSeq_, "default", SND_SEQ_OPEN_INPUT, 0) < 0) {
            if (outSeq_) snd_seq_close(outSeq_);
            outSeq_ = inSeq_ = nullptr;
            return false;
        }
        snd_seq_set_client_name(outSeq_, "Kolva Updater");
        snd_seq_set_client_name(inSeq_, "Kolva Updater In");
        outClient_ = snd_seq_client_id(outSeq_);
        inClient_ = snd_seq_client_id(inSeq_);
        outPort_ = snd_seq_create_simple_port(outSeq_, "out", SND_SEQ_PORT_CAP_READ,
                                              SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        inPort_ = snd_seq_create_simple_port(inSeq_, "in", SND_SEQ_PORT_CAP_WRITE,
                                             SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (outPort_ < 0 || inPort_ < 0) return false;
        ok_ = true;
        snd_seq_connect_from(inSeq_, inPort_, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
        snd_midi_event_new(256, &decoder_);
        if (decoder_) snd_midi_event_no_status(decoder_, 1);
        if (pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
        thread_ = std::thread([this] { inputLoop(); });
        return true;
    }

    snd_seq_t* outSeq() { return outSeq_; }
    int outPort() const { return outPort_; }
    std::mutex sendMu;  // one sender at a time on the output client

    void forgetOut(AlsaOut* o) {
        std::lock_guard lk(mu_);
        for (auto it = outs_.begin(); it != outs_.end(); ++it)
            if (it->second == o) {
                outs_.erase(it);
                break;
            }
    }
    void forgetIn(int client, int port, const std::shared_ptr<InLink>& link) {
        {
            std::lock_guard g(link->gate);
            link->sink = nullptr;
        }
        snd_seq_disconnect_from(inSeq_, inPort_, client, port);
        std::lock_guard lk(mu_);
        auto it = ins_.find(addressOf(client, port));
        if (it != ins_.end() && it->second == link) ins_.erase(it);
    }

private:
    bool hasCaps(int client, int port, unsigned caps) {
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        if (snd_seq_get_any_port_info(outSeq_, client, port, info) < 0) return false;
        const unsigned c = snd_seq_port_info_get_capability(info);
        return (c & caps) == caps;
    }

    std::vector<DeviceInfo> list(bool output) {
        std::vector<DeviceInfo> r;
        if (!ready()) return r;
        const unsigned want = output ? (SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE)
                                     : (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
        snd_seq_client_info_t* ci;
        snd_seq_port_info_t* pi;
        snd_seq_client_info_alloca(&ci);
        snd_seq_port_info_alloca(&pi);
        snd_seq_client_info_set_client(ci, -1);
        while (snd_seq_query_next_client(outSeq_, ci) >= 0) {
            const int client = snd_seq_client_info_get_client(ci);
            if (client == SND_SEQ_CLIENT_SYSTEM || client == outClient_ || client == inClient_) continue;
            snd_seq_port_info_set_client(pi, client);
            snd_seq_port_info_set_port(pi, -1);
            while (snd_seq_query_next_port(outSeq_, pi) >= 0) {
                const unsigned caps = snd_seq_port_info_get_capability(pi);
                if ((caps & want) != want || (caps & SND_SEQ_PORT_CAP_NO_EXPORT)) continue;
                const std::string cname = snd_seq_client_info_get_name(ci);
                const std::string pname = snd_seq_port_info_get_name(pi);
                // "Client:Port", or the port name alone when it already says whose it is.
                std::string name = pname.rfind(cname, 0) == 0 ? pname : cname + ":" + pname;
                r.push_back({addressOf(client, snd_seq_port_info_get_port(pi)), name});
            }
        }
        return r;
    }

    void announce(const snd_seq_event_t& ev) {
        const int client = ev.data.addr.client, port = ev.data.addr.port;
        if (client == outClient_ || client == inClient_) return;
        if (ev.type == SND_SEQ_EVENT_CLIENT_EXIT) {
            // Its ports are reported one by one; this only makes sure nothing
            // keeps sending to them.
            std::lock_guard lk(mu_);
            for (auto& [a, o] : outs_)
                if (int(a >> 8) == client) o->kill();
            for (auto& [a, l] : ins_)
                if (int(a >> 8) == client) l->alive.store(false);
            return;
        }
        auto change = translateAnnounce(ev.type, client, port, outClient_);
        if (!change) return;
        std::function<void(DeviceChange)> report;
        {
            std::lock_guard lk(mu_);
            if (change->wParam == DBT_DEVICEREMOVECOMPLETE) {
                const uint32_t a = addressOf(client, port);
                auto [b, e] = outs_.equal_range(a);
                for (auto it = b; it != e; ++it) it->second->kill();
                if (auto it = ins_.find(a); it != ins_.end()) it->second->alive.store(false);
            }
            report = report_;
        }
        // A port that is neither readable nor writable is no device.
        if (change->wParam == DBT_DEVICEARRIVAL &&
            !hasCaps(client, port, SND_SEQ_PORT_CAP_READ) && !hasCaps(client, port, SND_SEQ_PORT_CAP_WRITE))
            return;
        if (report) report(*change);
    }

    void data(snd_seq_event_t& ev) {
        std::shared_ptr<InLink> link;
        {
            std::lock_guard lk(mu_);
            auto it = ins_.find(addressOf(ev.source.client, ev.source.port));
            if (it == ins_.end()) return;
            link = it->second;
        }
        uint8_t buf[256];
        const uint8_t* bytes = buf;
        long n = 0;
        if (ev.type == SND_SEQ_EVENT_SYSEX) {
            bytes = static_cast<const uint8_t*>(ev.data.ext.ptr);
            n = static_cast<long>(ev.data.ext.len);
        } else if (decoder_) {
            snd_midi_event_reset_decode(decoder_);
            n = snd_midi_event_decode(decoder_, buf, sizeof buf, &ev);
        }
        if (n <= 0) return;
        std::lock_guard g(link->gate);
        if (link->sink) link->sink->received(bytes, static_cast<size_t>(n));
    }

    void inputLoop() {
        const int nfds = snd_seq_poll_descriptors_count(inSeq_, POLLIN);
        std::vector<pollfd> fds(static_cast<size_t>(nfds) + 1);
        snd_seq_poll_descriptors(inSeq_, fds.data(), static_cast<unsigned>(nfds), POLLIN);
        fds.back() = {wake_[0], POLLIN, 0};
        snd_seq_nonblock(inSeq_, 1);
        while (!stop_.load()) {
            if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;
            snd_seq_event_t* ev = nullptr;
            int r;
            while ((r = snd_seq_event_input(inSeq_, &ev)) >= 0 || r == -ENOSPC) {
                if (r == -ENOSPC || !ev) continue;  // the kernel's queue overran; carry on
                if (ev->source.client == SND_SEQ_CLIENT_SYSTEM && ev->source.port == SND_SEQ_PORT_SYSTEM_ANNOUNCE)
                    announce(*ev);
                else
                    data(*ev);
            }
        }
    }

    std::mutex openMu_;
    bool tried_ = false;
    bool ok_ = false;
    snd_seq_t* outSeq_ = nullptr;
    snd_seq_t* inSeq_ = nullptr;
    int outClient_ = -1, inClient_ = -1, outPort_ = -1, inPort_ = -1;
    snd_midi_event_t* decoder_ = nullptr;  // input thread only
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread thread_;

    std::mutex mu_;
    std::multimap<uint32_t, AlsaOut*> outs_;
    std::map<uint32_t, std::shared_ptr<InLink>> ins_;
    std::function<void(DeviceChange)> report_;
};

AlsaOut::AlsaOut(AlsaDriver& d, int client, int port) : d_(d), client_(client), port_(port) {
    snd_midi_event_new(16, &encoder_);
}

AlsaOut::~AlsaOut() {
    d_.forgetOut(this);
    if (encoder_) snd_midi_event_free(encoder_);
}

MMRESULT AlsaOut::output(snd_seq_event_t& ev) {
    if (!alive()) return MIDIERR_NODEVICE;
    snd_seq_ev_set_source(&ev, d_.outPort());
    snd_seq_ev_set_dest(&ev, client_, port_);
    snd_seq_ev_set_direct(&ev);
    std::lock_guard lk(d_.sendMu);
    snd_seq_t* seq = d_.outSeq();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendRetryMs);
    // The kernel's pool is full: wait for room, for a while.
    auto waitRoom = [&] {
        if (std::chrono::steady_clock::now() > until) return false;
        pollfd fd{};
        snd_seq_poll_descriptors(seq, &fd, 1, POLLOUT);
        poll(&fd, 1, 10);
        return true;
    };
    auto fail = [&](int r) {
        // The destination is gone (or refuses): the block ends here.
        snd_seq_drop_output(seq);
        if (r == -ENOENT || r == -ENXIO || r == -ENODEV) kill();
        return alive() ? MMSYSERR_ERROR : MIDIERR_NODEVICE;
    };
    int r;
    while ((r = snd_seq_event_output(seq, &ev)) == -EAGAIN)
        if (!waitRoom()) return fail(r);
    if (r < 0) return fail(r);
    // Handed over only once the kernel has taken all of it.
    while ((r = snd_seq_drain_output(seq)) != 0) {
        if (r > 0 || r == -EAGAIN) {
            if (!waitRoom()) return fail(-EAGAIN);
            continue;
        }
        return fail(r);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaOut::sendShort(const uint8_t* data, size_t n) {
    if (!encoder_) return MMSYSERR_NOMEM;
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_midi_event_reset_encode(encoder_);
    if (snd_midi_event_encode(encoder_, data, static_cast<long>(n), &ev) <= 0 || ev.type == SND_SEQ_EVENT_NONE)
        return MMSYSERR_INVALPARAM;
    return output(ev);
}

MMRESULT AlsaOut::sendChunk(const uint8_t* data, size_t n, bool, bool) {
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(n), const_cast<uint8_t*>(data));
    return output(ev);
}

AlsaIn::~AlsaIn() { d_.forgetIn(client_, port_, link_); }

}  // namespace

std::shared_ptr<Driver> makeAlsaDriver() { return std::make_shared<AlsaDriver>(); }

}  // namespace platform::midi
