#include "platform/midi/virtual_midi.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

#include "platform/clock.h"
#include "platform/midi/driver.h"
#include "platform/midi/midi_layer.h"

namespace platform::midi {

namespace {

// What an open connection shares with its device: the device may be
// unplugged (dead) while the layer still holds the connection.
struct Link {
    std::atomic<bool> alive{true};
    // Input side: the layer's sink, cleared when the connection goes; held
    // while bytes are handed to it so no call outlives the connection.
    std::mutex gate;
    InputSink* sink = nullptr;
};

}  // namespace

class VirtualDriver final : public Driver {
public:
    struct Device {
        std::string name;
        bool output = false;
        bool busy = false;
        bool plugged = true;
        uint32_t baud = 0;
        std::function<void(const uint8_t*, size_t)> peer;
        std::vector<uint8_t> sent;
        int opens = 0;
        std::shared_ptr<Link> link;  // the open connection, if any
        std::vector<std::string> others;   // other programs that can send into it
        std::vector<std::string> holders;  // who keeps it busy
        int othersSeen = -1;  // -1: cannot tell; else whether every block is mixed
    };

    const char* name() const override { return "virtual"; }
    bool followsProcessClock() const override { return true; }
    void start(std::function<void(DeviceChange)> report) override {
        std::lock_guard lk(mu);
        report_ = std::move(report);
    }
    std::vector<DeviceInfo> outputs() override { return list(true); }
    std::vector<DeviceInfo> inputs() override { return list(false); }
    MMRESULT openOutput(uint64_t id, std::unique_ptr<OutputConnection>& out) override;
    MMRESULT openInput(uint64_t id, InputSink* sink, std::unique_ptr<InputConnection>& out) override;

    uint64_t add(const std::string& name, bool output) {
        std::lock_guard lk(mu);
        const uint64_t id = nextId_++;
        devices_[id].name = name;
        devices_[id].output = output;
        return id;
    }
    void plug(uint64_t id, bool plugged) {
        std::function<void(DeviceChange)> report;
        {
            std::lock_guard lk(mu);
            auto it = devices_.find(id);
            if (it == devices_.end() || it->second.plugged == plugged) return;
            it->second.plugged = plugged;
            if (!plugged && it->second.link) it->second.link->alive.store(false);
            report = report_;
        }
        if (report)
            report({plugged ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, static_cast<uint32_t>(id)});
    }
    void deliver(uint64_t id, const uint8_t* data, size_t n, bool shortMsg);
    void closed(uint64_t id, const std::shared_ptr<Link>& link) {
        std::lock_guard lk(mu);
        auto it = devices_.find(id);
        if (it != devices_.end() && it->second.link == link) it->second.link.reset();
    }
    Device* find(uint64_t id) {
        auto it = devices_.find(id);
        return it == devices_.end() ? nullptr : &it->second;
    }
    std::vector<std::string> otherClients(uint64_t id) override {
        std::lock_guard lk(mu);
        Device* d = find(id);
        return d ? d->others : std::vector<std::string>{};
    }
    std::vector<std::string> holders(uint64_t id, bool) override {
        std::lock_guard lk(mu);
        Device* d = find(id);
        return d && d->busy ? d->holders : std::vector<std::string>{};
    }
    int othersSeen(uint64_t id) {
        std::lock_guard lk(mu);
        Device* d = find(id);
        return d ? d->othersSeen : -1;
    }
    Pacing pacingOf(uint64_t id) {
        std::lock_guard lk(mu);
        Device* d = find(id);
        Pacing p;
        if (d && d->baud) {
            // A wire that carries the block while the send is in progress.
            p.maxChunk = 128;
            p.nsPerByte = nsPerByteForBaud(d->baud);
            p.releaseAtChunkEnd = true;
        }
        return p;
    }

    mutable std::mutex mu;
    // Called on each open: the settle hook goes on a virtual clock installed
    // after the ports were made.
    std::function<void()> onOpen;

private:
    std::vector<DeviceInfo> list(bool output) {
        std::lock_guard lk(mu);
        std::vector<DeviceInfo> r;
        for (auto& [id, d] : devices_)
            if (d.output == output && d.plugged) r.push_back({id, d.name});
        return r;
    }
    MMRESULT claim(uint64_t id, bool output, std::shared_ptr<Link>& link) {
        std::lock_guard lk(mu);
        Device* d = find(id);
        if (!d || d->output != output || !d->plugged) return MIDIERR_NODEVICE;
        // Ports are not shared, as with most system drivers.
        if (d->busy || d->link) return MMSYSERR_ALLOCATED;
        link = std::make_shared<Link>();
        d->link = link;
        ++d->opens;
        return MMSYSERR_NOERROR;
    }

    std::map<uint64_t, Device> devices_;
    uint64_t nextId_ = 1;
    std::function<void(DeviceChange)> report_;
};

namespace {

class VirtualOut final : public OutputConnection {
public:
    VirtualOut(VirtualDriver& d, uint64_t id, std::shared_ptr<Link> link) : d_(d), id_(id), link_(std::move(link)) {}
    ~VirtualOut() override { d_.closed(id_, link_); }
    bool alive() const override { return link_->alive.load(); }
    MMRESULT sendShort(const uint8_t* data, size_t n) override { return send(data, n, true); }
    MMRESULT sendChunk(const uint8_t* data, size_t n, bool, bool) override { return send(data, n, false); }
    void abortBlock() override {
        // End the cut message so the peer does not take what follows as part of it.
        static const uint8_t eox = 0xF7;
        send(&eox, 1, false);
    }
    Pacing pacing() const override { return d_.pacingOf(id_); }
    bool seesOthers() const override { return d_.othersSeen(id_) >= 0; }
    bool blockMixed() override { return d_.othersSeen(id_) > 0; }

private:
    MMRESULT send(const uint8_t* data, size_t n, bool shortMsg) {
        if (!alive()) return MIDIERR_NODEVICE;
        d_.deliver(id_, data, n, shortMsg);
        return MMSYSERR_NOERROR;
    }
    VirtualDriver& d_;
    uint64_t id_;
    std::shared_ptr<Link> link_;
};

class VirtualIn final : public InputConnection {
public:
    VirtualIn(VirtualDriver& d, uint64_t id, std::shared_ptr<Link> link, InputSink* sink)
        : d_(d), id_(id), link_(std::move(link)) {
        std::lock_guard g(link_->gate);
        link_->sink = sink;
    }
    ~VirtualIn() override {
        {
            std::lock_guard g(link_->gate);
            link_->sink = nullptr;
        }
        d_.closed(id_, link_);
    }
    bool alive() const override { return link_->alive.load(); }

private:
    VirtualDriver& d_;
    uint64_t id_;
    std::shared_ptr<Link> link_;
};

}  // namespace

void VirtualDriver::deliver(uint64_t id, const uint8_t* data, size_t n, bool) {
    std::function<void(const uint8_t*, size_t)> peer;
    {
        std::lock_guard lk(mu);
        Device* d = find(id);
        if (!d) return;
        d->sent.insert(d->sent.end(), data, data + n);
        peer = d->peer;
    }
    // Outside the lock: the peer may answer through feed().
    if (peer) peer(data, n);
}

MMRESULT VirtualDriver::openOutput(uint64_t id, std::unique_ptr<OutputConnection>& out) {
    if (onOpen) onOpen();
    std::shared_ptr<Link> link;
    const MMRESULT r = claim(id, true, link);
    if (r == MMSYSERR_NOERROR) out = std::make_unique<VirtualOut>(*this, id, std::move(link));
    return r;
}

MMRESULT VirtualDriver::openInput(uint64_t id, InputSink* sink, std::unique_ptr<InputConnection>& out) {
    if (onOpen) onOpen();
    std::shared_ptr<Link> link;
    const MMRESULT r = claim(id, false, link);
    if (r == MMSYSERR_NOERROR) out = std::make_unique<VirtualIn>(*this, id, std::move(link), sink);
    return r;
}

// ---- control ------------------------------------------------------------------------

VirtualMidi::VirtualMidi() : driver_(std::make_shared<VirtualDriver>()) {
    hookClock();
    driver_->onOpen = [this] { hookClock(); };
    installDriver(driver_);
}

void VirtualMidi::hookClock() {
    std::lock_guard lk(hookMu_);
    Clock& c = platform::clock();
    if (!c.isVirtual() || hookedClock_ == &c) return;
    // Before virtual time moves, whatever is due gets delivered.
    auto& vc = static_cast<VirtualClock&>(c);
    hook_ = vc.addSettleHook([] { platform::midi::settle(); });
    hookedClock_ = &vc;
}

VirtualMidi::~VirtualMidi() {
    removeDriver(driver_.get());
    driver_->onOpen = nullptr;
    // Only if that clock is still the process clock: a clock that went first
    // has taken its hooks with it.
    if (hookedClock_ && &platform::clock() == hookedClock_)
        static_cast<VirtualClock&>(platform::clock()).removeSettleHook(hook_);
}

VirtualMidi::DeviceId VirtualMidi::addOutput(const std::string& name) { return driver_->add(name, true); }
VirtualMidi::DeviceId VirtualMidi::addInput(const std::string& name) { return driver_->add(name, false); }

void VirtualMidi::setBusy(DeviceId id, bool busy, std::vector<std::string> holders) {
    std::lock_guard lk(driver_->mu);
    if (auto* d = driver_->find(id)) {
        d->busy = busy;
        d->holders = std::move(holders);
    }
}

void VirtualMidi::setOthersSeen(DeviceId out, int mixed) {
    std::lock_guard lk(driver_->mu);
    if (auto* d = driver_->find(out)) d->othersSeen = mixed;
}

void VirtualMidi::setOtherClients(DeviceId id, std::vector<std::string> names) {
    std::lock_guard lk(driver_->mu);
    if (auto* d = driver_->find(id)) d->others = std::move(names);
}

void VirtualMidi::unplug(DeviceId id) { driver_->plug(id, false); }
void VirtualMidi::replug(DeviceId id) { driver_->plug(id, true); }

void VirtualMidi::setWireRate(DeviceId out, uint32_t baud) {
    std::lock_guard lk(driver_->mu);
    if (auto* d = driver_->find(out)) d->baud = baud;
}

void VirtualMidi::connect(DeviceId out, std::function<void(const uint8_t*, size_t)> peer) {
    std::lock_guard lk(driver_->mu);
    if (auto* d = driver_->find(out)) d->peer = std::move(peer);
}

std::vector<uint8_t> VirtualMidi::sent(DeviceId out) const {
    std::lock_guard lk(driver_->mu);
    auto* d = driver_->find(out);
    return d ? d->sent : std::vector<uint8_t>{};
}

void VirtualMidi::clearSent(DeviceId out) {
    std::lock_guard lk(driver_->mu);
    if (auto* d = driver_->find(out)) d->sent.clear();
}

void VirtualMidi::feed(DeviceId in, std::vector<uint8_t> bytes) {
    std::shared_ptr<Link> link;
    {
        std::lock_guard lk(driver_->mu);
        auto* d = driver_->find(in);
        if (!d || d->output || !d->plugged || !d->link) return;
        link = d->link;
    }
    std::lock_guard g(link->gate);
    if (link->sink && link->alive.load()) link->sink->received(bytes.data(), bytes.size());
}

void VirtualMidi::settle() { platform::midi::settle(); }

bool VirtualMidi::isOpen(DeviceId id) const {
    std::lock_guard lk(driver_->mu);
    auto* d = driver_->find(id);
    return d && d->link;
}

int VirtualMidi::openCount(DeviceId id) const {
    std::lock_guard lk(driver_->mu);
    auto* d = driver_->find(id);
    return d ? d->opens : 0;
}

}  // namespace platform::midi
