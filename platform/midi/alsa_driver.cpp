// The system's MIDI ports through the ALSA sequencer. Kept thin: cutting,
// pacing and joining are the layer's (midi_logic); this file only lists
// ports, subscribes, and moves events.
//
// Two sequencer clients: one sends (so a send never waits behind the input
// thread), one receives data and the system announce events.
//
// A kernel port delivers nothing to a sender that has not subscribed to it,
// and a hardware port opens its raw device only when subscribed: an output
// subscribes to its destination while it is open, an input from its source.
//
// A block to a hardware port goes through the port's raw MIDI device when
// we can have it: a write waits for room, so the device sets the pace. The
// device is ours only from a block's first byte to its end: while the port
// is merely open, and for short messages, we are one more subscriber, so a
// sound server that subscribes to a port once, when it appears (a2jmidid),
// still gets it. When a sound server's subscription keeps the kernel's
// bridge holding the device, blocks go through the bridge, each event only
// once the device's buffer has room for it (the bridge drops what does not
// fit and tells nobody). When a program holds the device itself, nothing of
// ours can reach it whole: the subscription at the open (or the device at a
// block's start) is refused, and holders() names the program.

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/midi/alsa_system.h"
#include "platform/midi/driver.h"

namespace platform::midi {

namespace {

constexpr int kSendRetryMs = 2000;  // a destination that takes nothing for this long has failed
// A hardware device that takes no byte for this long has stalled; a boot
// loader busy with its flash pauses for less.
constexpr int kStallMs = 3000;
// At a close, what is still on its way to the device gets this long.
constexpr int kCloseDrainMs = 200;
// How long a USB MIDI driver's drain waits for transfers still on their way.
constexpr int kUsbDrainMs = 50;
// How often the bridge's buffer is looked at while a block waits for room.
constexpr int kBridgePollMs = 2;
// What a USB MIDI driver can have on its way once its buffer is empty: seven
// transfers of a 512-byte packet, 3 MIDI bytes in every 4.
constexpr double kUsbInFlightBytes = 7 * 512 * 3 / 4.0;
// The sequencer numbers a card's ports after its raw devices: 32 for each.
constexpr int kPortsPerRawDevice = 32;

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

// How a block goes to one port: through the port's raw device, through the
// kernel's bridge paced by the device's buffer, or, for a software port,
// through the sequencer.
enum class Path { Raw, Bridge, Sequencer };

class AlsaOut final : public OutputConnection {
public:
    AlsaOut(AlsaDriver& d, int client, int port, bool hardware, alsa::RawAddress device);
    ~AlsaOut() override;
    bool alive() const override { return alive_.load(); }
    MMRESULT sendShort(const uint8_t* data, size_t n) override;
    MMRESULT sendChunk(const uint8_t* data, size_t n, bool first, bool last) override;
    void abortBlock() override {
        static uint8_t eox = 0xF7;
        if (raw_) {
            snd_rawmidi_drop(raw_.get());  // what the device has not taken goes
            rawWrite(&eox, 1, false);
            endBlock();
            return;
        }
        // Not held back by the bridge's pacing, which a reset interrupts.
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_sysex(&ev, 1, &eox);
        output(ev);
    }
    void interrupt(bool on) override {
        interrupted_.store(on);
        if (wake_ < 0) return;
        // Cleared again once dealt with, or every later wait would spin.
        uint64_t one = 1;
        [[maybe_unused]] auto r = on ? write(wake_, &one, sizeof one) : read(wake_, &one, sizeof one);
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
    // Only our own bytes reach a raw device we hold; the bridge's count of
    // bytes the device took tells whether others' came with ours.
    bool seesOthers() const override { return hardware_; }
    bool blockMixed() override { return std::exchange(mixed_, false); }
    void kill() { alive_.store(false); }
    uint32_t address() const { return addressOf(client_, port_); }
    uint64_t generation = 0;  // of the sequencer clients it was opened on
    bool subscribed = false;  // counted in the driver's subscriptions

private:
    MMRESULT output(snd_seq_event_t& ev);
    MMRESULT rawWrite(const uint8_t* data, size_t n, bool drain);
    MMRESULT bridgeChunk(const uint8_t* data, size_t n, bool first, bool last);
    // At a block's first chunk: the raw device if it can be had (our
    // subscription let go, so the kernel's bridge lets go of it unless a
    // sound server keeps it), else the bridge.
    MMRESULT beginBlock();
    // The raw device goes back to the kernel's bridge, and we subscribe again.
    void endBlock();
    // Lets the raw device go; a device that takes nothing is not waited for.
    void closeRaw();
    enum class Wait { Ready, Gone, Failed };
    // Waits for the raw device to take more (or, with empty, all it holds).
    // Failed when it took nothing for kStallMs or a reset came.
    Wait rawWait(bool empty);
    // Waits until the bridge's buffer state satisfies ready; st is the last
    // state read.
    Wait bridgeWait(const std::function<bool(const alsa::RawOutState&)>& ready, alsa::RawOutState& st);
    // Sleeps up to ms, woken early by interrupt().
    void nap(int ms);
    MMRESULT failure() const { return alive() ? MMSYSERR_ERROR : MIDIERR_NODEVICE; }
    AlsaDriver& d_;
    int client_;
    int port_;
    Path path_;
    bool hardware_;
    alsa::RawAddress device_;
    std::atomic<bool> alive_{true};
    alsa::MidiEvent encoder_;
    alsa::Raw raw_;
    bool usb_ = false;  // a USB MIDI device: its drain tells when its transfers are done
    size_t rawBuffer_ = 0;
    int wake_ = -1;  // eventfd: interrupt() wakes a wait
    std::atomic<bool> interrupted_{false};
    // The bridge's count of bytes the device took when the block began (with
    // what was still in its buffer), and ours since.
    uint64_t blockStart_ = 0;
    uint64_t blockBytes_ = 0;
    uint64_t firstTx_ = 0;
    std::chrono::steady_clock::time_point firstAt_;
    bool mixed_ = false;
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
        std::lock_guard lk(openMu_);
        teardown();
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
        std::lock_guard seq(openMu_);
        if (!readyLocked()) return MIDIERR_NODEVICE;
        const int client = static_cast<int>(id >> 8), port = static_cast<int>(id & 0xFF);
        if (!hasCaps(client, port, SND_SEQ_PORT_CAP_WRITE)) return MIDIERR_NODEVICE;
        alsa::RawAddress device;
        const bool hardware = rawAddress(client, port, device);
        {
            // A program holding a hardware port's raw device refuses the
            // kernel's bridge, and so our subscription: holders() names it.
            std::lock_guard send(sendMu);
            if (!subscribeLocked(addressOf(client, port)))
                // The port exists but will not take us (held exclusively, refused).
                return hasCaps(client, port, SND_SEQ_PORT_CAP_WRITE) ? MMSYSERR_ALLOCATED : MIDIERR_NODEVICE;
        }
        auto o = std::make_unique<AlsaOut>(*this, client, port, hardware, device);
        o->generation = generation_;
        o->subscribed = true;
        {
            std::lock_guard lk(mu_);
            outs_.emplace(o->address(), o.get());
        }
        out = std::move(o);
        return MMSYSERR_NOERROR;
    }

    MMRESULT openInput(uint64_t id, InputSink* sink, std::unique_ptr<InputConnection>& out) override {
        std::lock_guard seq(openMu_);
        if (!readyLocked()) return MIDIERR_NODEVICE;
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
        const int r = snd_seq_connect_from(inSeq_.get(), inPort_, client, port);
        if (r < 0) {
            std::lock_guard lk(mu_);
            ins_.erase(a);
            return hasCaps(client, port, SND_SEQ_PORT_CAP_READ) ? MMSYSERR_ALLOCATED : MIDIERR_NODEVICE;
        }
        out = std::make_unique<AlsaIn>(*this, client, port, std::move(link));
        return MMSYSERR_NOERROR;
    }

    std::string problem() override {
        std::lock_guard seq(openMu_);
        readyLocked();
        return problem_;
    }

    // Who can send into the port: the sequencer's clients subscribed into it
    // and a program holding its raw device, but for our own two clients.
    // Those that only read what the device sends cannot disturb it.
    std::vector<std::string> otherClients(uint64_t id) override {
        std::vector<std::string> names;
        auto add = [&names](std::string name) {
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
        };
        std::lock_guard seq(openMu_);
        if (!readyLocked()) return names;
        snd_seq_addr_t root{static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id & 0xFF)};
        snd_seq_query_subscribe_t* q;
        snd_seq_client_info_t* ci;
        snd_seq_query_subscribe_alloca(&q);
        snd_seq_client_info_alloca(&ci);
        snd_seq_query_subscribe_set_root(q, &root);
        snd_seq_query_subscribe_set_type(q, SND_SEQ_QUERY_SUBS_WRITE);
        snd_seq_query_subscribe_set_index(q, 0);
        while (snd_seq_query_port_subscribers(outSeq_.get(), q) >= 0) {
            const int client = snd_seq_query_subscribe_get_addr(q)->client;
            snd_seq_query_subscribe_set_index(q, snd_seq_query_subscribe_get_index(q) + 1);
            if (client == outClient_ || client == inClient_) continue;
            std::string name = std::to_string(client);
            if (snd_seq_get_any_client_info(outSeq_.get(), client, ci) >= 0) name = snd_seq_client_info_get_name(ci);
            add(alsa::knownClientName(name));
        }
        alsa::RawAddress device;
        if (rawAddress(root.client, root.port, device))
            for (auto& n : alsa::rawHolders(device)) add(std::move(n));
        return names;
    }

    std::vector<std::string> holders(uint64_t id, bool) override {
        std::lock_guard seq(openMu_);
        alsa::RawAddress device;
        if (!readyLocked() || !rawAddress(int(id >> 8), int(id & 0xFF), device)) return {};
        return alsa::rawHolders(device);
    }

    // The sequencer, opened on first use, and again after it failed under
    // us. No sequencer (no /dev/snd/seq) means no devices, and nothing
    // printed; one that cannot be opened leaves a problem for the user.
    bool readyLocked() {
        if (broken_.load()) {
            teardown();
            tried_ = false;
        }
        if (tried_) return ok_;
        tried_ = true;
        problem_.clear();
        if (access("/dev/snd/seq", F_OK) != 0) return false;
        snd_lib_error_set_handler(quiet);
        snd_seq_t* out = nullptr;
        snd_seq_t* in = nullptr;
        int r = snd_seq_open(&out, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK);
        outSeq_.reset(r >= 0 ? out : nullptr);
        if (r >= 0) r = snd_seq_open(&in, "default", SND_SEQ_OPEN_INPUT, 0);
        inSeq_.reset(r >= 0 ? in : nullptr);
        if (r < 0) {
            problem_ = std::string("Cannot open the MIDI system (/dev/snd/seq: ") + std::strerror(-r) + ")";
            if (r == -EACCES || r == -EPERM)
                problem_ += ": add your user to the \"audio\" group and log in again";
            teardown();
            return false;
        }
        snd_seq_set_client_name(outSeq_.get(), "Kolva Updater");
        snd_seq_set_client_name(inSeq_.get(), "Kolva Updater In");
        outClient_ = snd_seq_client_id(outSeq_.get());
        inClient_ = snd_seq_client_id(inSeq_.get());
        outPort_ = snd_seq_create_simple_port(outSeq_.get(), "out", SND_SEQ_PORT_CAP_READ,
                                              SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        inPort_ = snd_seq_create_simple_port(inSeq_.get(), "in", SND_SEQ_PORT_CAP_WRITE,
                                             SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        snd_midi_event_t* decoder = nullptr;
        if (snd_midi_event_new(256, &decoder) >= 0) decoder_.reset(decoder);
        if (outPort_ < 0 || inPort_ < 0 || !decoder_ || pipe(wake_) != 0) {
            problem_ = "Cannot set up the MIDI system's ports";
            teardown();
            return false;
        }
        snd_midi_event_no_status(decoder_.get(), 1);
        snd_seq_connect_from(inSeq_.get(), inPort_, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
        stop_.store(false);
        ++generation_;
        thread_ = std::thread([this] { inputLoop(); });
        ok_ = true;
        return true;
    }
    // Ends the input thread and lets go of the sequencer; what was open on
    // it is dead.
    void teardown() {
        if (thread_.joinable()) {
            stop_.store(true);
            const char b = 0;
            if (wake_[1] >= 0) [[maybe_unused]] auto r = write(wake_[1], &b, 1);
            thread_.join();
        }
        killAll();
        std::lock_guard send(sendMu);
        subs_.clear();
        decoder_.reset();
        inSeq_.reset();
        outSeq_.reset();
        outClient_ = inClient_ = outPort_ = inPort_ = -1;
        for (int& fd : wake_) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
        ok_ = false;
        broken_.store(false);
    }

    snd_seq_t* outSeq() { return outSeq_.get(); }
    int outPort() const { return outPort_; }
    std::mutex sendMu;  // one sender at a time on the output client

    uint64_t generation() const { return generation_; }

    void forgetOut(AlsaOut* o) {
        {
            std::lock_guard lk(mu_);
            for (auto it = outs_.begin(); it != outs_.end(); ++it)
                if (it->second == o) {
                    outs_.erase(it);
                    break;
                }
        }
        unsubscribe(*o, false);
    }

    // Our subscription to an output's destination, one for all our outputs
    // to it; false when the port refuses it.
    bool subscribe(AlsaOut& o) {
        std::lock_guard seq(openMu_);
        if (o.generation != generation_ || !outSeq_) return false;
        std::lock_guard send(sendMu);
        if (!o.subscribed) o.subscribed = subscribeLocked(o.address());
        return o.subscribed;
    }
    // The last output to a destination unsubscribes from it. With onlyLast,
    // false (and still subscribed) while another output of ours is on it.
    bool unsubscribe(AlsaOut& o, bool onlyLast) {
        std::lock_guard seq(openMu_);
        if (!o.subscribed) return true;
        if (o.generation != generation_ || !outSeq_) {
            o.subscribed = false;  // went with the sequencer
            return true;
        }
        std::lock_guard send(sendMu);
        auto it = subs_.find(o.address());
        if (it != subs_.end() && onlyLast && it->second > 1) return false;
        o.subscribed = false;
        if (it == subs_.end() || --it->second > 0) return true;
        subs_.erase(it);
        snd_seq_disconnect_to(outSeq_.get(), outPort_, int(o.address() >> 8), int(o.address() & 0xFF));
        return true;
    }
    void forgetIn(int client, int port, const std::shared_ptr<InLink>& link) {
        {
            std::lock_guard g(link->gate);
            link->sink = nullptr;
        }
        std::lock_guard seq(openMu_);
        {
            std::lock_guard lk(mu_);
            auto it = ins_.find(addressOf(client, port));
            if (it == ins_.end() || it->second != link) return;
            ins_.erase(it);
        }
        if (inSeq_.get()) snd_seq_disconnect_from(inSeq_.get(), inPort_, client, port);
    }

private:
    bool subscribeLocked(uint32_t a) {
        int& n = subs_[a];
        if (n == 0 && snd_seq_connect_to(outSeq_.get(), outPort_, int(a >> 8), int(a & 0xFF)) < 0) {
            subs_.erase(a);
            return false;
        }
        ++n;
        return true;
    }

    // The raw MIDI device behind a hardware port (a card's port, as the
    // kernel's bridge to raw devices makes them); false for a software port.
    bool rawAddress(int client, int port, alsa::RawAddress& a) {
        snd_seq_port_info_t* pi;
        snd_seq_client_info_t* ci;
        snd_seq_port_info_alloca(&pi);
        snd_seq_client_info_alloca(&ci);
        if (snd_seq_get_any_port_info(outSeq_.get(), client, port, pi) < 0 ||
            !(snd_seq_port_info_get_type(pi) & SND_SEQ_PORT_TYPE_HARDWARE) ||
            snd_seq_get_any_client_info(outSeq_.get(), client, ci) < 0)
            return false;
        a.card = snd_seq_client_info_get_card(ci);
        a.device = port / kPortsPerRawDevice;
        a.sub = port % kPortsPerRawDevice;
        return a.card >= 0;
    }

    // A port's capabilities, asked through either client; -1 when it is gone.
    static long portCaps(snd_seq_t* seq, int client, int port) {
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        if (snd_seq_get_any_port_info(seq, client, port, info) < 0) return -1;
        return long(snd_seq_port_info_get_capability(info));
    }
    bool hasCaps(int client, int port, unsigned caps) {
        const long c = portCaps(outSeq_.get(), client, port);
        return c >= 0 && (unsigned(c) & caps) == caps;
    }

    std::vector<DeviceInfo> list(bool output) {
        std::vector<DeviceInfo> r;
        std::lock_guard seq(openMu_);
        if (!readyLocked()) return r;
        const unsigned want = output ? (SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE)
                                     : (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
        std::vector<PortName> names;
        snd_seq_client_info_t* ci;
        snd_seq_port_info_t* pi;
        snd_seq_client_info_alloca(&ci);
        snd_seq_port_info_alloca(&pi);
        snd_seq_client_info_set_client(ci, -1);
        while (snd_seq_query_next_client(outSeq_.get(), ci) >= 0) {
            const int client = snd_seq_client_info_get_client(ci);
            if (client == SND_SEQ_CLIENT_SYSTEM || client == outClient_ || client == inClient_) continue;
            snd_seq_port_info_set_client(pi, client);
            snd_seq_port_info_set_port(pi, -1);
            while (snd_seq_query_next_port(outSeq_.get(), pi) >= 0) {
                const unsigned caps = snd_seq_port_info_get_capability(pi);
                if ((caps & want) != want || (caps & SND_SEQ_PORT_CAP_NO_EXPORT)) continue;
                r.push_back({addressOf(client, snd_seq_port_info_get_port(pi)), {}});
                names.push_back({snd_seq_client_info_get_name(ci), snd_seq_port_info_get_name(pi)});
            }
        }
        const auto shown = portNames(names, MAXPNAMELEN - 1);
        for (size_t i = 0; i < r.size(); ++i) r[i].name = shown[i];
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
        // A port that is neither readable nor writable is no device. One that
        // has gone again by now did arrive, and its going is reported too.
        if (change->wParam == DBT_DEVICEARRIVAL) {
            const long c = portCaps(inSeq_.get(), client, port);
            if (c >= 0 && !(c & (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE))) return;
        }
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
        } else if (decoder_.get()) {
            snd_midi_event_reset_decode(decoder_.get());
            n = snd_midi_event_decode(decoder_.get(), buf, sizeof buf, &ev);
        }
        if (n <= 0) return;
        std::lock_guard g(link->gate);
        if (link->sink) link->sink->received(bytes, static_cast<size_t>(n));
    }

    void inputLoop() {
        const int nfds = snd_seq_poll_descriptors_count(inSeq_.get(), POLLIN);
        std::vector<pollfd> fds(static_cast<size_t>(nfds) + 1);
        snd_seq_poll_descriptors(inSeq_.get(), fds.data(), static_cast<unsigned>(nfds), POLLIN);
        fds.back() = {wake_[0], POLLIN, 0};
        snd_seq_nonblock(inSeq_.get(), 1);
        while (!stop_.load()) {
            if (poll(fds.data(), fds.size(), 1000) < 0) {
                if (errno == EINTR) continue;
                return failed();
            }
            for (int i = 0; i < nfds; ++i)
                if (fds[size_t(i)].revents & (POLLERR | POLLHUP | POLLNVAL)) return failed();
            snd_seq_event_t* ev = nullptr;
            for (;;) {
                const int r = snd_seq_event_input(inSeq_.get(), &ev);
                if (r == -EAGAIN) break;
                if (r == -ENOSPC) continue;  // the kernel's queue overran; what follows still counts
                if (r < 0) return failed();
                if (!ev) continue;
                if (ev->source.client == SND_SEQ_CLIENT_SYSTEM && ev->source.port == SND_SEQ_PORT_SYSTEM_ANNOUNCE)
                    announce(*ev);
                else
                    data(*ev);
            }
        }
    }

    // The sequencer failed under us: nothing open on it works any more. The
    // next list or open starts afresh.
    void failed() {
        killAll();
        broken_.store(true);
    }

    void killAll() {
        std::lock_guard lk(mu_);
        for (auto& [a, o] : outs_) o->kill();
        for (auto& [a, l] : ins_) l->alive.store(false);
        ins_.clear();
    }

    // Lock order: openMu_, then sendMu, then mu_.
    std::mutex openMu_;  // the sequencer clients: opening, closing, subscribing
    bool tried_ = false;
    bool ok_ = false;
    std::atomic<bool> broken_{false};
    uint64_t generation_ = 0;
    std::string problem_;
    std::map<uint32_t, int> subs_;  // destination -> outputs open on it
    alsa::Seq outSeq_;
    alsa::Seq inSeq_;
    int outClient_ = -1, inClient_ = -1, outPort_ = -1, inPort_ = -1;
    alsa::MidiEvent decoder_;  // input thread only
    int wake_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread thread_;

    std::mutex mu_;
    std::multimap<uint32_t, AlsaOut*> outs_;
    std::map<uint32_t, std::shared_ptr<InLink>> ins_;
    std::function<void(DeviceChange)> report_;
};

AlsaOut::AlsaOut(AlsaDriver& d, int client, int port, bool hardware, alsa::RawAddress device)
    : d_(d), client_(client), port_(port), path_(hardware ? Path::Bridge : Path::Sequencer), hardware_(hardware),
      device_(device) {
    snd_midi_event_t* e = nullptr;
    if (snd_midi_event_new(16, &e) == 0) encoder_.reset(e);
    if (hardware_) {
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        snd_ctl_t* ctl = nullptr;
        snd_ctl_card_info_t* card;
        snd_ctl_card_info_alloca(&card);
        if (snd_ctl_open(&ctl, ("hw:" + std::to_string(device_.card)).c_str(), 0) == 0) {
            if (snd_ctl_card_info(ctl, card) == 0) usb_ = std::strcmp(snd_ctl_card_info_get_driver(card), "USB-Audio") == 0;
            snd_ctl_close(ctl);
        }
    }
}

AlsaOut::~AlsaOut() {
    d_.forgetOut(this);
    closeRaw();
    if (wake_ >= 0) close(wake_);
}

MMRESULT AlsaOut::beginBlock() {
    if (raw_) {
        path_ = Path::Raw;
        return MMSYSERR_NOERROR;
    }
    path_ = Path::Bridge;
    // Not while another output of ours needs the subscription.
    if (d_.unsubscribe(*this, true)) {
        snd_rawmidi_t* r = nullptr;
        const int e = snd_rawmidi_open(nullptr, &r, device_.hw().c_str(), SND_RAWMIDI_NONBLOCK);
        if (e >= 0) {
            raw_.reset(r);
            snd_rawmidi_params_t* params;
            snd_rawmidi_params_alloca(&params);
            if (snd_rawmidi_params_current(r, params) == 0) rawBuffer_ = snd_rawmidi_params_get_buffer_size(params);
            path_ = Path::Raw;
            return MMSYSERR_NOERROR;
        }
        if (!d_.subscribe(*this)) {
            // A program took the device since the open: nothing goes out,
            // and holders() names it.
            if (e == -EBUSY && !alsa::rawHolders(device_).empty()) return MMSYSERR_ALLOCATED;
            return failure();
        }
    }
    // Our subscription keeps the bridge holding the device to the block's
    // end, whoever else comes or goes.
    alsa::RawOutState st;
    if (!alsa::readRawOutState(device_, st) || !st.open) path_ = Path::Sequencer;
    return MMSYSERR_NOERROR;
}

void AlsaOut::endBlock() {
    if (!raw_) return;
    closeRaw();
    if (alive()) d_.subscribe(*this);
}

void AlsaOut::closeRaw() {
    if (raw_) {
        // A short message just sent may still be on its way; a device that
        // takes nothing is not waited for (a close of a raw device waits up
        // to ten seconds for what it holds).
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseDrainMs);
        snd_rawmidi_status_t* st;
        snd_rawmidi_status_alloca(&st);
        while (alive() && snd_rawmidi_status(raw_.get(), st) == 0 && snd_rawmidi_status_get_avail(st) < rawBuffer_ &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // A device that went with bytes in its buffer cannot be dropped, and
        // the kernel's close would wait ten seconds for it to drain: that
        // close finishes on its own.
        if (snd_rawmidi_drop(raw_.get()) < 0) std::thread([r = raw_.release()] { snd_rawmidi_close(r); }).detach();
        raw_.reset();
    }
}

void AlsaOut::nap(int ms) {
    pollfd fd{wake_, POLLIN, 0};
    poll(&fd, 1, ms);
}

AlsaOut::Wait AlsaOut::rawWait(bool empty) {
    snd_rawmidi_status_t* st;
    snd_rawmidi_status_alloca(&st);
    std::vector<pollfd> fds(size_t(snd_rawmidi_poll_descriptors_count(raw_.get())) + 1);
    snd_rawmidi_poll_descriptors(raw_.get(), fds.data(), unsigned(fds.size() - 1));
    fds.back() = {wake_, POLLIN, 0};
    size_t last = 0;
    auto progress = std::chrono::steady_clock::now();
    for (;;) {
        if (interrupted_.load()) return Wait::Failed;
        if (!alive()) return Wait::Gone;
        if (snd_rawmidi_status(raw_.get(), st) < 0) {
            kill();
            return Wait::Gone;
        }
        const size_t avail = snd_rawmidi_status_get_avail(st);
        if (empty ? avail >= rawBuffer_ : avail > 0) return Wait::Ready;
        const auto now = std::chrono::steady_clock::now();
        if (avail != last) progress = now;
        last = avail;
        const int left = kStallMs - int(std::chrono::duration_cast<std::chrono::milliseconds>(now - progress).count());
        if (left <= 0) return Wait::Failed;
        // Room shows in poll; an empty buffer only in the status, looked at
        // every few milliseconds.
        for (auto& f : fds) f.revents = 0;
        const int r = poll(empty ? &fds.back() : fds.data(), empty ? 1 : fds.size(), empty ? std::min(left, 5) : left);
        if (r < 0 && errno != EINTR) return Wait::Failed;
        for (size_t i = 0; i + 1 < fds.size(); ++i)
            if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                kill();
                return Wait::Gone;
            }
    }
}

MMRESULT AlsaOut::rawWrite(const uint8_t* data, size_t n, bool drain) {
    size_t done = 0;
    while (done < n) {
        if (!alive()) return MIDIERR_NODEVICE;
        const ssize_t w = snd_rawmidi_write(raw_.get(), data + done, n - done);
        if (w > 0) {
            done += size_t(w);
            continue;
        }
        if (w == -ENODEV || w == -ENXIO || w == -EBADFD) kill();
        if ((w != -EAGAIN && w != 0) || rawWait(false) != Wait::Ready) return failure();
    }
    // Sent once the device has taken the last byte: its driver has taken all
    // we wrote, and a USB driver has no transfer left on its way (its drain
    // gives up after 50 ms while one is, and returns sooner once none is).
    // A device that goes once its driver has taken everything took the
    // block whole (an amplifier restarts on a whole image): what it went
    // with was at most the last transfer, which it had by then acknowledged
    // or never will, and nothing here can tell which.
    if (drain) {
        if (rawWait(true) != Wait::Ready) return failure();
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStallMs);
        for (;;) {
            const auto t = std::chrono::steady_clock::now();
            if (snd_rawmidi_drain(raw_.get()) < 0 || !alive()) break;
            const auto now = std::chrono::steady_clock::now();
            if (!usb_ || now - t < std::chrono::milliseconds(kUsbDrainMs - 5)) break;
            if (now >= until || interrupted_.load()) return MMSYSERR_ERROR;
        }
    }
    return MMSYSERR_NOERROR;
}

AlsaOut::Wait AlsaOut::bridgeWait(const std::function<bool(const alsa::RawOutState&)>& ready,
                                  alsa::RawOutState& st) {
    alsa::RawOutState last;
    auto progress = std::chrono::steady_clock::now();
    for (;;) {
        if (interrupted_.load()) return Wait::Failed;
        if (!alive() || !alsa::readRawOutState(device_, st) || !st.open) return Wait::Gone;
        if (ready(st)) return Wait::Ready;
        const auto now = std::chrono::steady_clock::now();
        if (st.txBytes != last.txBytes || st.avail != last.avail) progress = now;
        last = st;
        if (now - progress > std::chrono::milliseconds(kStallMs)) return Wait::Failed;
        nap(kBridgePollMs);
    }
}

MMRESULT AlsaOut::bridgeChunk(const uint8_t* data, size_t n, bool first, bool last) {
    alsa::RawOutState st;
    if (first) {
        if (!alsa::readRawOutState(device_, st) || !st.open) return failure();
        blockStart_ = st.txBytes + (st.bufferSize - std::min(st.avail, st.bufferSize));
        blockBytes_ = 0;
        firstTx_ = st.txBytes;
        firstAt_ = std::chrono::steady_clock::now();
        mixed_ = false;
    }
    if (bridgeWait([n](const alsa::RawOutState& s) { return s.avail >= n; }, st) != Wait::Ready) return failure();
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(n), const_cast<uint8_t*>(data));
    if (const MMRESULT r = output(ev); r != MMSYSERR_NOERROR) return r;
    blockBytes_ += n;
    if (!last) return MMSYSERR_NOERROR;
    // Whole once the device's driver has taken everything. Any other count
    // than ours means another program's bytes went in among them (or, its
    // send not fitting, some of ours were dropped for it).
    if (bridgeWait([](const alsa::RawOutState& s) { return s.empty(); }, st) != Wait::Ready) return failure();
    mixed_ = st.txBytes != blockStart_ + blockBytes_;
    // A USB driver's last transfers may still be on their way, and the
    // bridge's device cannot be drained from here: they get the time the
    // device needs for them at the pace it took the block.
    if (usb_) {
        const auto now = std::chrono::steady_clock::now();
        const double secs = std::chrono::duration<double>(now - firstAt_).count();
        const double rate = secs > 0 ? double(st.txBytes - firstTx_) / secs : 0;
        const auto until = now + std::chrono::milliseconds(
                                     rate > 0 ? std::min(kStallMs, int(kUsbInFlightBytes * 1000 / rate) + 1) : kUsbDrainMs);
        while (!interrupted_.load() && std::chrono::steady_clock::now() < until) nap(kBridgePollMs);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaOut::output(snd_seq_event_t& ev) {
    if (!alive()) return MIDIERR_NODEVICE;
    snd_seq_ev_set_source(&ev, d_.outPort());
    snd_seq_ev_set_dest(&ev, client_, port_);
    snd_seq_ev_set_direct(&ev);
    std::lock_guard lk(d_.sendMu);
    // Looked at again under the lock: the sequencer may have been let go.
    snd_seq_t* seq = d_.outSeq();
    if (!alive() || !seq || generation != d_.generation()) return MIDIERR_NODEVICE;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendRetryMs);
    // The kernel's pool is full: wait for room, for a while.
    auto waitRoom = [&] {
        if (interrupted_.load() || std::chrono::steady_clock::now() > until) return false;
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
    endBlock();  // a block that ended without its end
    if (!encoder_) return MMSYSERR_NOMEM;
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_midi_event_reset_encode(encoder_.get());
    if (snd_midi_event_encode(encoder_.get(), data, static_cast<long>(n), &ev) <= 0 || ev.type == SND_SEQ_EVENT_NONE)
        return MMSYSERR_INVALPARAM;
    return output(ev);
}

MMRESULT AlsaOut::sendChunk(const uint8_t* data, size_t n, bool first, bool last) {
    if (first && hardware_)
        if (const MMRESULT r = beginBlock(); r != MMSYSERR_NOERROR) return r;
    if (raw_) {
        const MMRESULT r = rawWrite(data, n, last);
        // A block cut short keeps the device for its end (abortBlock).
        if (last) endBlock();
        return r;
    }
    if (path_ == Path::Bridge) return bridgeChunk(data, n, first, last);
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(n), const_cast<uint8_t*>(data));
    return output(ev);
}

AlsaIn::~AlsaIn() { d_.forgetIn(client_, port_, link_); }

}  // namespace

std::shared_ptr<Driver> makeAlsaDriver() { return std::make_shared<AlsaDriver>(); }

std::shared_ptr<Driver> makeSystemDriver() { return makeAlsaDriver(); }

}  // namespace platform::midi
