// The MIDI service: handles, header queues, the threads that send blocks and
// deliver input, device lists and device-change notifications, over whichever
// driver is installed.
//
// One lock guards all of the layer's state. It is never held while a driver
// is called or a notification function runs, so a driver may call back into
// the layer (input arriving, devices changing) and a notification function may
// call any layer function.
//
// Each open handle has one thread: an output handle's thread sends its queue
// in order, an input handle's thread assembles what arrived and delivers the
// notifications. Every thread counts as "busy" while it has work due; settle()
// waits until none is, which is what makes the virtual clock deterministic.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/midi/device_events.h"
#include "platform/midi/driver.h"
#include "platform/midi/midi_layer.h"
#include "platform/midi/midi_logic.h"
#include "platform/midi/mmsystem.h"

namespace platform::midi {
namespace {

constexpr uint64_t kNever = ~0ull;
constexpr size_t kSlots = 64;
// Input held for want of a receive buffer before the System Exclusive
// message in progress is dropped, and input refused beyond that.
constexpr size_t kStallBacklog = 256 * 1024;
constexpr size_t kMaxBacklog = 8 * 1024 * 1024;
// Under the virtual clock nothing signals that time moved except settle();
// a thread waiting for virtual time also looks again this often.
constexpr auto kVirtualPoll = std::chrono::milliseconds(2);
// Waits for another thread are bounded so a wedged peer cannot hang a caller.
constexpr auto kWaitBound = std::chrono::seconds(30);

thread_local bool tlLayerThread = false;
thread_local const void* tlPort = nullptr;  // the handle whose thread this is
thread_local bool tlChangeThread = false;

uint64_t steadyNs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

bool virtualTime(const Driver& d) { return d.followsProcessClock() && platform::clock().isVirtual(); }

uint64_t nowNs(bool virt) {
    if (virt) {
        Clock& c = platform::clock();
        if (c.isVirtual()) return static_cast<VirtualClock&>(c).nowMs() * 1'000'000ull;
    }
    return steadyNs();
}

DWORD loadFlagsRaw(MIDIHDR* h) { return std::atomic_ref<DWORD>(h->dwFlags).load(std::memory_order_acquire); }
void storeFlags(MIDIHDR* h, DWORD f) { std::atomic_ref<DWORD>(h->dwFlags).store(f, std::memory_order_release); }
// The layer is finished with the header; after this the caller may free it.
// A block that comes back without having gone out whole says so as well.
void markDone(MIDIHDR* h, bool whole = true, bool mixed = false) {
    storeFlags(h, (loadFlagsRaw(h) & ~MHDR_INQUEUE) | MHDR_DONE | (whole ? 0 : kHeaderCut) | (mixed ? kHeaderMixed : 0));
}

// Notification by function or none: the kinds the ports here offer.
MMRESULT checkCallback(DWORD type, DWORD_PTR callback) {
    if (type != CALLBACK_NULL && type != CALLBACK_FUNCTION) return MMSYSERR_NOTSUPPORTED;
    if (type == CALLBACK_FUNCTION && !callback) return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

// The header rules input and output share; the handle has been checked.
MMRESULT prepareHeader(MIDIHDR* h) {
    const DWORD f = loadFlagsRaw(h);
    if (!(f & MHDR_PREPARED)) storeFlags(h, f | MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT unprepareHeader(MIDIHDR* h, UINT cb) {
    if (!h || cb < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    const DWORD f = loadFlagsRaw(h);
    if (f & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    if (f & MHDR_PREPARED) storeFlags(h, f & ~MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

// A header that may be queued: prepared and not queued already. f is its flags.
MMRESULT checkQueueable(MIDIHDR* h, UINT cb, DWORD& f) {
    if (!h || cb < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    f = loadFlagsRaw(h);
    if (!(f & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (f & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    return MMSYSERR_NOERROR;
}

struct Worker {
    std::condition_variable cv;
    bool busy = false;
    uint64_t dueNs = kNever;  // while idle under virtual time: when work falls due
};

struct Slot {
    std::atomic<uint32_t> gen{0};
    std::atomic<int> queued{0};  // output: blocks queued or in flight
};

struct OutItem {
    MIDIHDR* hdr = nullptr;  // a block, or else a short message
    uint8_t bytes[3] = {};
    uint8_t n = 0;
    uint64_t seq = 0;
};

struct OutPort {
    std::shared_ptr<Driver> driver;
    uint64_t deviceId = 0;
    std::unique_ptr<OutputConnection> conn;
    HMIDIOUT handle{};
    MIDIOUTPROC* proc = nullptr;
    DWORD_PTR instance = 0;
    Slot* slot = nullptr;
    Worker w;
    std::thread thread;
    std::condition_variable doneCv;  // short message sent, reset done
    std::deque<OutItem> queue;
    WirePacer pacer;
    bool pacerVirtual = false;
    bool inBlock = false;
    bool mixed = false;  // the driver saw others' bytes among the block's
    bool seesOthers = false;
    size_t offset = 0;
    uint64_t readyNs = 0;
    uint8_t running = 0;
    uint64_t nextSeq = 1;
    uint64_t sentSeq = 0;
    bool resetReq = false;
    uint64_t resets = 0;
    bool stop = false;
    bool silent = false;  // closed with its driver: no more notifications
    bool selfClose = false;
    bool openPending = false;  // MOM_OPEN, delivered from the sender thread
};

struct InEvent {
    UINT msg;
    DWORD_PTR p1;
    DWORD_PTR p2;
    uint64_t seq;
};

struct InPort;

class InSinkAdapter final : public InputSink {
public:
    explicit InSinkAdapter(InPort& p) : port_(p) {}
    bool received(const uint8_t* data, size_t n) override;

private:
    InPort& port_;
};

struct InPort {
    InPort() : sink(*this) {}
    std::shared_ptr<Driver> driver;
    uint64_t deviceId = 0;
    std::unique_ptr<InputConnection> conn;
    InSinkAdapter sink;
    HMIDIIN handle{};
    MIDIINPROC* proc = nullptr;
    DWORD_PTR instance = 0;
    Slot* slot = nullptr;
    Worker w;
    std::thread thread;
    std::condition_variable doneCv;  // notifications delivered
    std::deque<MIDIHDR*> buffers;
    struct Segment {
        std::vector<uint8_t> bytes;
        size_t pos;
        uint32_t ms;
    };
    std::deque<Segment> backlog;
    size_t backlogBytes = 0;
    InputAssembler assembler;
    bool stalled = false;
    std::deque<InEvent> events;
    uint64_t nextSeq = 1;
    uint64_t deliveredSeq = 0;
    bool started = false;
    uint64_t startNs = 0;
    bool stop = false;
    bool silent = false;
    bool selfClose = false;
    uint64_t dropped = 0;
};

struct Layer {
    std::mutex mu;
    std::condition_variable idleCv;
    int busy = 0;
    std::vector<Worker*> workers;

    std::shared_ptr<Driver> driver;
    std::vector<std::shared_ptr<Driver>> previous;
    std::vector<DeviceInfo> outSnap, inSnap;
    const Driver* outSnapOf = nullptr;
    const Driver* inSnapOf = nullptr;

    std::array<Slot, kSlots> outSlots, inSlots;
    std::array<std::shared_ptr<OutPort>, kSlots> outs;
    std::array<std::shared_ptr<InPort>, kSlots> ins;

    std::deque<DeviceChange> changes;
    Worker changeWorker;
    bool changeThread = false;
    std::function<void(uint32_t, uint32_t)> handler;
    bool handlerRunning = false;
    std::condition_variable handlerCv;
};

// Never destroyed: threads of the layer may outlive static destruction.
Layer& layer() {
    static Layer* l = new Layer;
    return *l;
}

void setBusy(Worker& w, bool b) {
    if (w.busy == b) return;
    w.busy = b;
    Layer& l = layer();
    l.busy += b ? 1 : -1;
    if (l.busy == 0) l.idleCv.notify_all();
}
void wake(Worker& w) {
    setBusy(w, true);
    w.cv.notify_all();
}
void idle(Worker& w, uint64_t due) {
    w.dueNs = due;
    setBusy(w, false);
}
void addWorker(Worker& w) { layer().workers.push_back(&w); }
void dropWorker(Worker& w) {
    idle(w, kNever);
    std::erase(layer().workers, &w);
}

// ---- handles -----------------------------------------------------------------------
// A handle is slot + 1 in the low byte, the slot's generation above it and
// the top bit for input, so stale and foreign values are recognised.

constexpr uint32_t kInputBit = 0x80000000u;
constexpr uint32_t kGenMask = 0x7FFFFF;

uintptr_t makeHandle(size_t slot, uint32_t gen, bool input) {
    return (input ? kInputBit : 0) | ((gen & kGenMask) << 8) | static_cast<uint32_t>(slot + 1);
}

bool decode(uintptr_t v, bool input, size_t& slot, uint32_t& gen) {
    if (v == 0 || v > 0xFFFFFFFFu) return false;
    if (((v & kInputBit) != 0) != input) return false;
    const size_t s = v & 0xFF;
    if (s == 0 || s > kSlots) return false;
    slot = s - 1;
    gen = (v >> 8) & kGenMask;
    return true;
}

uint32_t bumpGen(Slot& s) {
    uint32_t g = (s.gen.load() + 1) & kGenMask;
    if (g == 0) g = 1;
    s.gen.store(g);
    return g;
}

std::shared_ptr<OutPort> findOut(HMIDIOUT h) {
    size_t s;
    uint32_t g;
    if (!decode(reinterpret_cast<uintptr_t>(h), false, s, g)) return nullptr;
    Layer& l = layer();
    if (!l.outs[s] || l.outSlots[s].gen.load() != g) return nullptr;
    return l.outs[s];
}

std::shared_ptr<InPort> findIn(HMIDIIN h) {
    size_t s;
    uint32_t g;
    if (!decode(reinterpret_cast<uintptr_t>(h), true, s, g)) return nullptr;
    Layer& l = layer();
    if (!l.ins[s] || l.inSlots[s].gen.load() != g) return nullptr;
    return l.ins[s];
}

// ---- drivers and device lists ---------------------------------------------------------

void deviceChanged(const Driver* from, DeviceChange c);

void startDriver(const std::shared_ptr<Driver>& d) {
    const Driver* raw = d.get();
    d->start([raw](DeviceChange c) { deviceChanged(raw, c); });
}

std::shared_ptr<Driver> currentDriver(std::unique_lock<std::mutex>& lk) {
    Layer& l = layer();
    if (!l.driver) {
        l.driver = makeAlsaDriver();
        startDriver(l.driver);
    }
    return l.driver;
}

// The device list the indexes refer to; fresh = take it anew from the driver.
std::vector<DeviceInfo> devices(bool output, bool fresh, std::shared_ptr<Driver>& d) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    d = currentDriver(lk);
    const Driver*& of = output ? l.outSnapOf : l.inSnapOf;
    auto& snap = output ? l.outSnap : l.inSnap;
    if (!fresh && of == d.get()) return snap;
    lk.unlock();
    auto list = output ? d->outputs() : d->inputs();
    lk.lock();
    if (l.driver == d) {
        snap = list;
        of = d.get();
    }
    return list;
}

// ---- output thread --------------------------------------------------------------------

void finishBlock(OutPort& p, std::unique_lock<std::mutex>& lk, bool cut, bool whole) {
    MIDIHDR* h = p.queue.front().hdr;
    p.queue.pop_front();
    p.inBlock = false;
    p.offset = 0;
    if (cut) {
        lk.unlock();
        p.conn->abortBlock();
        lk.lock();
    }
    p.slot->queued.fetch_sub(1);
    markDone(h, whole, whole && p.mixed);
    if (p.proc && !p.silent) {
        lk.unlock();
        p.proc(p.handle, MOM_DONE, p.instance, reinterpret_cast<DWORD_PTR>(h), 0);
        lk.lock();
    }
}

// Reset: every queued block comes back done; short messages stay queued.
void abortBlocks(OutPort& p, std::unique_lock<std::mutex>& lk) {
    p.resetReq = false;
    // A block wholly handed over and only waiting for the wire needs no end.
    const bool cut = p.inBlock && p.offset > 0 && !p.queue.empty() && p.queue.front().hdr &&
                     p.offset < p.queue.front().hdr->dwBufferLength;
    MIDIHDR* handedOver = p.inBlock && !cut && p.offset > 0 && !p.queue.empty() ? p.queue.front().hdr : nullptr;
    std::vector<MIDIHDR*> done;
    std::deque<OutItem> keep;
    for (auto& it : p.queue) {
        if (it.hdr) done.push_back(it.hdr);
        else keep.push_back(it);
    }
    p.queue.swap(keep);
    p.inBlock = false;
    p.offset = 0;
    if (cut) {
        lk.unlock();
        p.conn->abortBlock();
        lk.lock();
    }
    for (MIDIHDR* h : done) {
        p.slot->queued.fetch_sub(1);
        markDone(h, h == handedOver);
    }
    if (p.proc && !p.silent && !done.empty()) {
        lk.unlock();
        for (MIDIHDR* h : done) p.proc(p.handle, MOM_DONE, p.instance, reinterpret_cast<DWORD_PTR>(h), 0);
        lk.lock();
    }
    if (p.conn) p.conn->interrupt(false);
    ++p.resets;
    p.doneCv.notify_all();
}

void sendShortItem(OutPort& p, std::unique_lock<std::mutex>& lk, bool virt) {
    const OutItem it = p.queue.front();
    p.queue.pop_front();
    if (!p.silent && p.conn->alive()) {
        lk.unlock();
        p.conn->sendShort(it.bytes, it.n);
        lk.lock();
        p.pacer.handedOver(it.n, nowNs(virt));
    }
    p.sentSeq = it.seq;
    p.doneCv.notify_all();
}

void senderLoop(std::shared_ptr<OutPort> p) {
    tlLayerThread = true;
    tlPort = p.get();
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    for (;;) {
        if (p->openPending) {
            p->openPending = false;
            if (p->proc && !p->silent) {
                lk.unlock();
                p->proc(p->handle, MOM_OPEN, p->instance, 0, 0);
                lk.lock();
            }
            continue;
        }
        if (p->resetReq || (p->silent && p->slot->queued.load() > 0)) {
            setBusy(p->w, true);
            abortBlocks(*p, lk);
            continue;
        }
        if (p->queue.empty()) {
            if (p->stop) break;
            idle(p->w, kNever);
            p->w.cv.wait(lk);
            continue;
        }
        const bool virt = virtualTime(*p->driver);
        if (!p->queue.front().hdr) {
            setBusy(p->w, true);
            sendShortItem(*p, lk, virt);
            continue;
        }
        MIDIHDR* h = p->queue.front().hdr;
        if (!p->conn->alive()) {
            setBusy(p->w, true);
            finishBlock(*p, lk, false, false);
            continue;
        }
        if (!p->inBlock) {
            setBusy(p->w, true);
            lk.unlock();
            const Pacing pacing = p->conn->pacing();
            lk.lock();
            if (p->resetReq || p->queue.empty() || p->queue.front().hdr != h) continue;
            if (virt != p->pacerVirtual) {
                // Another time scale: what the wire did before says nothing.
                p->pacer = WirePacer{};
                p->pacerVirtual = virt;
            }
            p->pacer.setPacing(pacing);
            p->inBlock = true;
            p->mixed = false;
            p->offset = 0;
            p->readyNs = nowNs(virt);
        }
        const size_t total = h->dwBufferLength;
        const size_t len = chunkLength(p->pacer.pacing(), total, p->offset);
        auto waitUntil = [&](uint64_t at) {
            if (virt) {
                idle(p->w, at);
                p->w.cv.wait_for(lk, kVirtualPoll);
            } else {
                idle(p->w, kNever);
                p->w.cv.wait_until(lk, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(at)));
            }
        };
        if (len == 0) {
            // All handed over; the block is sent once the wire has carried
            // its last byte, not when it went into a buffer ahead of the wire.
            if (p->offset > 0 && nowNs(virt) < p->pacer.wireEnd()) {
                waitUntil(p->pacer.wireEnd());
                continue;
            }
            setBusy(p->w, true);
            finishBlock(*p, lk, false, true);
            continue;
        }
        const uint64_t at = p->pacer.releaseAt(len, p->readyNs);
        const uint64_t now = nowNs(virt);
        if (now < at) {
            waitUntil(at);
            continue;
        }
        setBusy(p->w, true);
        const uint8_t* data = reinterpret_cast<const uint8_t*>(h->lpData) + p->offset;
        const bool first = p->offset == 0;
        const bool last = p->offset + len == total;
        lk.unlock();
        const MMRESULT r = p->conn->sendChunk(data, len, first, last);
        const bool mixed = last && r == MMSYSERR_NOERROR && p->conn->blockMixed();
        lk.lock();
        p->mixed = p->mixed || mixed;
        if (r != MMSYSERR_NOERROR) {
            finishBlock(*p, lk, !last && p->conn->alive(), false);
            continue;
        }
        // A port that carries the block as it goes had the chunk on the wire
        // since its release; our waking late does not idle that wire, so the
        // lateness must not add up chunk after chunk.
        const uint64_t after = p->pacer.pacing().releaseAtChunkEnd ? at : nowNs(virt);
        p->pacer.handedOver(len, after);
        p->offset += len;
        p->readyNs = after;
    }
    dropWorker(p->w);
    auto conn = std::move(p->conn);
    const bool notify = p->proc && !p->silent;
    const bool self = p->selfClose;
    lk.unlock();
    conn.reset();
    if (notify) p->proc(p->handle, MOM_CLOSE, p->instance, 0, 0);
    if (self) p->thread.detach();
}

// ---- input thread ---------------------------------------------------------------------

class AssemblerSink final : public InputAssembler::Sink {
public:
    AssemblerSink(InPort& p, uint32_t ms) : p_(p), ms_(ms) {}
    void setTime(uint32_t ms) { ms_ = ms; }
    MIDIHDR* nextBuffer(bool& stall) override {
        if (!p_.buffers.empty()) {
            MIDIHDR* h = p_.buffers.front();
            p_.buffers.pop_front();
            return h;
        }
        // Buffers on their way back may be queued again from the notification.
        stall = !p_.events.empty() || p_.backlogBytes <= kStallBacklog;
        if (!stall) ++p_.dropped;
        return nullptr;
    }
    void shortMessage(DWORD msg) override { push(MIM_DATA, msg); }
    void bufferDone(MIDIHDR* hdr, bool error) override {
        markDone(hdr);
        push(error ? MIM_LONGERROR : MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(hdr));
    }

private:
    void push(UINT msg, DWORD_PTR p1) { p_.events.push_back({msg, p1, ms_, p_.nextSeq++}); }
    InPort& p_;
    uint32_t ms_;
};

uint32_t inputMs(const InPort& p) {
    const uint64_t now = nowNs(virtualTime(*p.driver));
    return now > p.startNs ? static_cast<uint32_t>((now - p.startNs) / 1'000'000) : 0;
}

void feedBacklog(InPort& p) {
    AssemblerSink sink(p, 0);
    while (!p.backlog.empty()) {
        auto& s = p.backlog.front();
        sink.setTime(s.ms);
        const size_t used = p.assembler.feed(s.bytes.data() + s.pos, s.bytes.size() - s.pos, sink);
        s.pos += used;
        p.backlogBytes -= used;
        if (s.pos < s.bytes.size()) {
            p.stalled = true;
            return;
        }
        p.backlog.pop_front();
    }
}

void clearBacklog(InPort& p) {
    p.backlog.clear();
    p.backlogBytes = 0;
    p.stalled = false;
}

bool InSinkAdapter::received(const uint8_t* data, size_t n) {
    if (!data || n == 0) return true;
    Layer& l = layer();
    std::lock_guard lk(l.mu);
    InPort& p = port_;
    // As with the system's service, input before midiInStart is not kept.
    if (p.stop || !p.started) return false;
    if (p.backlogBytes + n > kMaxBacklog) {
        p.dropped += n;
        return false;
    }
    try {
        p.backlog.push_back({std::vector<uint8_t>(data, data + n), 0, inputMs(p)});
    } catch (...) {
        p.dropped += n;
        return false;
    }
    p.backlogBytes += n;
    p.stalled = false;
    wake(p.w);
    return true;
}

void notifierLoop(std::shared_ptr<InPort> p) {
    tlLayerThread = true;
    tlPort = p.get();
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    for (;;) {
        if (!p->events.empty()) {
            setBusy(p->w, true);
            const InEvent ev = p->events.front();
            p->events.pop_front();
            if (p->proc && !p->silent) {
                lk.unlock();
                p->proc(p->handle, ev.msg, p->instance, ev.p1, ev.p2);
                lk.lock();
            }
            p->deliveredSeq = ev.seq;
            p->doneCv.notify_all();
            // With nothing more coming back, decide again whether to hold or drop.
            if (p->events.empty()) p->stalled = false;
            continue;
        }
        if (p->stop) break;
        if (p->started && !p->stalled && p->backlogBytes > 0) {
            setBusy(p->w, true);
            feedBacklog(*p);
            continue;
        }
        idle(p->w, kNever);
        p->w.cv.wait(lk);
    }
    dropWorker(p->w);
    auto conn = std::move(p->conn);
    const bool self = p->selfClose;
    lk.unlock();
    conn.reset();
    if (self) p->thread.detach();
}

// Waits until the notifications queued so far have been delivered.
void waitDelivered(InPort& p, std::unique_lock<std::mutex>& lk) {
    if (tlPort == &p) return;
    const uint64_t target = p.nextSeq - 1;
    p.doneCv.wait_for(lk, kWaitBound, [&] { return p.deliveredSeq >= target || p.silent; });
}

// Hands back the buffer being filled (and, on reset, every queued one).
void returnBuffers(InPort& p, bool all) {
    if (p.started) feedBacklog(p);
    AssemblerSink sink(p, inputMs(p));
    p.assembler.flush(sink, false);
    if (all) {
        for (MIDIHDR* h : p.buffers) sink.bufferDone(h, false);
        p.buffers.clear();
    }
    clearBacklog(p);
    wake(p.w);
}

// ---- device changes -------------------------------------------------------------------

void changeLoop() {
    tlLayerThread = true;
    tlChangeThread = true;
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    for (;;) {
        if (l.changes.empty()) {
            idle(l.changeWorker, kNever);
            l.changeWorker.cv.wait(lk);
            continue;
        }
        setBusy(l.changeWorker, true);
        const DeviceChange c = l.changes.front();
        l.changes.pop_front();
        auto h = l.handler;
        if (!h) continue;
        l.handlerRunning = true;
        lk.unlock();
        h(c.wParam, c.lParam);
        h = nullptr;
        lk.lock();
        l.handlerRunning = false;
        l.handlerCv.notify_all();
    }
}

void deviceChanged(const Driver* from, DeviceChange c) {
    Layer& l = layer();
    std::lock_guard lk(l.mu);
    if (l.driver.get() != from) return;  // a driver not in use has no devices to tell of
    // The indexes keep referring to the list last taken, as callers expect;
    // they take a new one when told of the change.
    // A sender waiting on the wire looks again: its device may be gone.
    for (auto& p : l.outs)
        if (p) wake(p->w);
    l.changes.push_back(c);
    if (!l.changeThread) {
        l.changeThread = true;
        addWorker(l.changeWorker);
        std::thread(changeLoop).detach();
    }
    wake(l.changeWorker);
}

template <class Port>
void joinPort(Port& p) {
    if (tlPort == &p) {
        p.selfClose = true;
        return;
    }
    if (p.thread.joinable()) p.thread.join();
}

}  // namespace

// ---- layer extras ------------------------------------------------------------------------

void installDriver(std::shared_ptr<Driver> driver) {
    if (!driver) return;
    Layer& l = layer();
    std::lock_guard lk(l.mu);
    if (l.driver) l.previous.push_back(l.driver);
    l.driver = driver;
    l.outSnapOf = l.inSnapOf = nullptr;
    startDriver(driver);
}

void removeDriver(Driver* driver) {
    Layer& l = layer();
    std::vector<std::shared_ptr<OutPort>> outs;
    std::vector<std::shared_ptr<InPort>> ins;
    std::shared_ptr<Driver> keep;  // dropped outside the lock
    {
        std::unique_lock lk(l.mu);
        for (size_t i = 0; i < kSlots; ++i) {
            if (auto& p = l.outs[i]; p && p->driver.get() == driver) {
                bumpGen(l.outSlots[i]);
                p->stop = p->silent = true;
                wake(p->w);
                outs.push_back(std::move(p));
            }
            if (auto& p = l.ins[i]; p && p->driver.get() == driver) {
                bumpGen(l.inSlots[i]);
                p->silent = true;
                returnBuffers(*p, true);
                p->events.clear();
                p->stop = true;
                p->doneCv.notify_all();
                wake(p->w);
                ins.push_back(std::move(p));
            }
        }
        if (l.driver.get() == driver) {
            keep = std::move(l.driver);
            if (!l.previous.empty()) {
                l.driver = l.previous.back();
                l.previous.pop_back();
            }
        } else {
            auto it = std::find_if(l.previous.begin(), l.previous.end(),
                                   [&](const auto& d) { return d.get() == driver; });
            if (it != l.previous.end()) {
                keep = *it;
                l.previous.erase(it);
            }
        }
        l.outSnapOf = l.inSnapOf = nullptr;
    }
    for (auto& p : outs) joinPort(*p);
    for (auto& p : ins) joinPort(*p);
}

const char* driverName() {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    return currentDriver(lk)->name();
}

std::string driverProblem() {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    auto d = currentDriver(lk);
    lk.unlock();
    return d->problem();
}

void settle() {
    if (tlLayerThread) return;
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    Clock& c = platform::clock();
    if (c.isVirtual()) {
        const uint64_t now = static_cast<VirtualClock&>(c).nowMs() * 1'000'000ull;
        for (Worker* w : l.workers)
            if (!w->busy && w->dueNs <= now) wake(*w);
    }
    l.idleCv.wait_for(lk, kWaitBound, [&] { return l.busy == 0; });
}

bool onLayerThread() { return tlLayerThread; }

namespace {
template <class Port>
std::vector<std::string> clientsOf(const std::shared_ptr<Port>& p, std::unique_lock<std::mutex>& lk) {
    if (!p) return {};
    const auto d = p->driver;
    const uint64_t id = p->deviceId;
    lk.unlock();
    return d->otherClients(id);
}
}  // namespace

std::vector<std::string> otherClients(HMIDIOUT h) {
    std::unique_lock lk(layer().mu);
    return clientsOf(findOut(h), lk);
}

bool seesOthers(HMIDIOUT h) {
    std::unique_lock lk(layer().mu);
    const auto p = findOut(h);
    return p && p->seesOthers;
}

namespace {
std::vector<std::string> holders(bool output, UINT id) {
    std::shared_ptr<Driver> d;
    const auto list = devices(output, false, d);
    if (id >= list.size()) return {};
    return d->holders(list[id].id, output);
}
}  // namespace

std::vector<std::string> outputHolders(UINT uDeviceID) { return holders(true, uDeviceID); }
std::vector<std::string> inputHolders(UINT uDeviceID) { return holders(false, uDeviceID); }

void setDeviceChangeHandler(std::function<void(uint32_t, uint32_t)> handler) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    if (!(tlChangeThread && l.handlerRunning))
        l.handlerCv.wait(lk, [&] { return !l.handlerRunning; });
    std::swap(l.handler, handler);
    lk.unlock();
    // The old handler (and what it holds) goes here, outside the lock.
}

}  // namespace platform::midi

using namespace platform::midi;

// ---- output ------------------------------------------------------------------------------

UINT midiOutGetNumDevs() {
    std::shared_ptr<Driver> d;
    return static_cast<UINT>(devices(true, true, d).size());
}

MMRESULT midiOutGetDevCapsA(UINT_PTR uDeviceID, MIDIOUTCAPSA* pmoc, UINT cbmoc) {
    if (!pmoc || cbmoc < sizeof(MIDIOUTCAPSA)) return MMSYSERR_INVALPARAM;
    std::shared_ptr<Driver> d;
    const auto list = devices(true, false, d);
    if (uDeviceID >= list.size()) return MMSYSERR_BADDEVICEID;
    std::memset(pmoc, 0, sizeof(MIDIOUTCAPSA));
    pmoc->wMid = 0xFFFF;  // unmapped maker and product
    pmoc->wPid = 0xFFFF;
    pmoc->vDriverVersion = 0x0100;
    copyDeviceName(pmoc->szPname, sizeof(pmoc->szPname), list[uDeviceID].name);
    pmoc->wTechnology = MOD_MIDIPORT;
    pmoc->wChannelMask = 0xFFFF;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen) {
    if (!phmo) return MMSYSERR_INVALPARAM;
    *phmo = nullptr;
    const DWORD type = fdwOpen & CALLBACK_TYPEMASK;
    if (const MMRESULT r = checkCallback(type, dwCallback); r != MMSYSERR_NOERROR) return r;
    std::shared_ptr<Driver> d;
    const auto list = devices(true, false, d);
    if (uDeviceID >= list.size()) return MMSYSERR_BADDEVICEID;

    auto p = std::make_shared<OutPort>();
    p->driver = d;
    p->deviceId = list[uDeviceID].id;
    if (type == CALLBACK_FUNCTION) p->proc = reinterpret_cast<MIDIOUTPROC*>(dwCallback);
    p->instance = dwInstance;
    std::unique_ptr<OutputConnection> conn;
    const MMRESULT r = d->openOutput(list[uDeviceID].id, conn);
    if (r != MMSYSERR_NOERROR) return r;
    if (!conn) return MMSYSERR_ERROR;
    p->pacer.setPacing(conn->pacing());
    p->seesOthers = conn->seesOthers();
    p->conn = std::move(conn);

    Layer& l = layer();
    std::unique_lock lk(l.mu);
    size_t s = 0;
    while (s < kSlots && l.outs[s]) ++s;
    if (s == kSlots) {
        lk.unlock();
        return MMSYSERR_NOMEM;
    }
    // The slot's count of queued blocks is not cleared: a port closed with
    // its driver may still be handing its blocks back, and its count must
    // come off the same number it went on.
    const uint32_t gen = bumpGen(l.outSlots[s]);
    p->slot = &l.outSlots[s];
    p->handle = reinterpret_cast<HMIDIOUT>(makeHandle(s, gen, false));
    p->openPending = p->proc != nullptr;
    try {
        p->thread = std::thread(senderLoop, p);
    } catch (...) {
        bumpGen(l.outSlots[s]);
        lk.unlock();
        return MMSYSERR_NOMEM;
    }
    l.outs[s] = p;
    addWorker(p->w);
    if (p->openPending) wake(p->w);
    *phmo = p->handle;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT hmo) {
    Layer& l = layer();
    // A caller retries at once while a block is out; answer that without the
    // lock so the sender is never kept from it.
    size_t s;
    uint32_t g;
    if (!decode(reinterpret_cast<uintptr_t>(hmo), false, s, g)) return MMSYSERR_INVALHANDLE;
    Slot& slot = l.outSlots[s];
    if (slot.gen.load() == g && slot.queued.load() > 0 && slot.gen.load() == g) {
        std::this_thread::yield();
        return MIDIERR_STILLPLAYING;
    }
    std::unique_lock lk(l.mu);
    auto p = findOut(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (slot.queued.load() > 0) return MIDIERR_STILLPLAYING;
    bumpGen(slot);
    l.outs[s].reset();
    p->stop = true;
    wake(p->w);
    if (tlPort == p.get()) {
        p->selfClose = true;
        return MMSYSERR_NOERROR;
    }
    lk.unlock();
    if (p->thread.joinable()) p->thread.join();
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    auto p = findOut(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    OutItem it;
    it.n = static_cast<uint8_t>(unpackShortMessage(dwMsg, p->running, it.bytes));
    if (it.n == 0) return MMSYSERR_INVALPARAM;
    if (!p->conn->alive()) return MIDIERR_NODEVICE;
    it.seq = p->nextSeq++;
    const bool behindBlocks = p->slot->queued.load() > 0;
    p->queue.push_back(it);
    wake(p->w);
    // Sent by the time we return, unless it waits behind a block (which may
    // take as long as the wire needs) or we are the sender ourselves.
    if (behindBlocks || tlPort == p.get()) return MMSYSERR_NOERROR;
    p->doneCv.wait_for(lk, kWaitBound, [&] { return p->sentSeq >= it.seq || p->stop; });
    if (p->stop) return MMSYSERR_NOERROR;
    return p->conn->alive() ? MMSYSERR_NOERROR : MIDIERR_NODEVICE;
}

MMRESULT midiOutReset(HMIDIOUT hmo) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    auto p = findOut(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    p->running = 0;
    p->resetReq = true;
    // A send waiting on a device that has stopped taking bytes gives up now.
    if (p->conn) p->conn->interrupt(true);
    wake(p->w);
    if (tlPort == p.get()) return MMSYSERR_NOERROR;
    const uint64_t target = p->resets + 1;
    p->doneCv.wait_for(lk, kWaitBound, [&] { return p->resets >= target || p->stop; });
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    if (!findOut(hmo)) return MMSYSERR_INVALHANDLE;
    if (!pmh || cbmh < sizeof(MIDIHDR) || !pmh->lpData) return MMSYSERR_INVALPARAM;
    return prepareHeader(pmh);
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    if (!findOut(hmo)) return MMSYSERR_INVALHANDLE;
    return unprepareHeader(pmh, cbmh);
}

MMRESULT midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    auto p = findOut(hmo);
    if (!p) return MMSYSERR_INVALHANDLE;
    DWORD f = 0;
    if (const MMRESULT r = checkQueueable(pmh, cbmh, f); r != MMSYSERR_NOERROR) return r;
    if (!pmh->lpData && pmh->dwBufferLength) return MMSYSERR_INVALPARAM;
    if (!p->conn->alive()) {
        // Nothing will be sent; say so in the flags too, for a caller that
        // waits on them.
        storeFlags(pmh, f | MHDR_DONE | kHeaderCut);
        return MIDIERR_NODEVICE;
    }
    storeFlags(pmh, (f & ~(MHDR_DONE | kHeaderCut)) | MHDR_INQUEUE);
    OutItem it;
    it.hdr = pmh;
    p->queue.push_back(it);
    p->slot->queued.fetch_add(1);
    wake(p->w);
    return MMSYSERR_NOERROR;
}

// ---- input -------------------------------------------------------------------------------

UINT midiInGetNumDevs() {
    std::shared_ptr<Driver> d;
    return static_cast<UINT>(devices(false, true, d).size());
}

MMRESULT midiInGetDevCapsA(UINT_PTR uDeviceID, MIDIINCAPSA* pmic, UINT cbmic) {
    if (!pmic || cbmic < sizeof(MIDIINCAPSA)) return MMSYSERR_INVALPARAM;
    std::shared_ptr<Driver> d;
    const auto list = devices(false, false, d);
    if (uDeviceID >= list.size()) return MMSYSERR_BADDEVICEID;
    std::memset(pmic, 0, sizeof(MIDIINCAPSA));
    pmic->wMid = 0xFFFF;
    pmic->wPid = 0xFFFF;
    pmic->vDriverVersion = 0x0100;
    copyDeviceName(pmic->szPname, sizeof(pmic->szPname), list[uDeviceID].name);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen) {
    if (!phmi) return MMSYSERR_INVALPARAM;
    *phmi = nullptr;
    const DWORD type = fdwOpen & CALLBACK_TYPEMASK;
    if (const MMRESULT r = checkCallback(type, dwCallback); r != MMSYSERR_NOERROR) return r;
    std::shared_ptr<Driver> d;
    const auto list = devices(false, false, d);
    if (uDeviceID >= list.size()) return MMSYSERR_BADDEVICEID;

    auto p = std::make_shared<InPort>();
    p->driver = d;
    p->deviceId = list[uDeviceID].id;
    if (type == CALLBACK_FUNCTION) p->proc = reinterpret_cast<MIDIINPROC*>(dwCallback);
    p->instance = dwInstance;
    std::unique_ptr<InputConnection> conn;
    const MMRESULT r = d->openInput(list[uDeviceID].id, &p->sink, conn);
    if (r != MMSYSERR_NOERROR) return r;
    if (!conn) return MMSYSERR_ERROR;

    Layer& l = layer();
    std::unique_lock lk(l.mu);
    size_t s = 0;
    while (s < kSlots && l.ins[s]) ++s;
    if (s == kSlots) {
        lk.unlock();
        conn.reset();
        return MMSYSERR_NOMEM;
    }
    p->conn = std::move(conn);
    const uint32_t gen = bumpGen(l.inSlots[s]);
    p->slot = &l.inSlots[s];
    p->handle = reinterpret_cast<HMIDIIN>(makeHandle(s, gen, true));
    p->events.push_back({MIM_OPEN, 0, 0, p->nextSeq++});
    try {
        p->thread = std::thread(notifierLoop, p);
    } catch (...) {
        bumpGen(l.inSlots[s]);
        conn = std::move(p->conn);
        lk.unlock();
        conn.reset();
        return MMSYSERR_NOMEM;
    }
    l.ins[s] = p;
    addWorker(p->w);
    wake(p->w);
    *phmi = p->handle;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInClose(HMIDIIN hmi) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    auto p = findIn(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (!p->buffers.empty() || p->assembler.holdsBuffer()) return MIDIERR_STILLPLAYING;
    size_t s = 0;
    uint32_t g = 0;
    decode(reinterpret_cast<uintptr_t>(hmi), true, s, g);
    bumpGen(l.inSlots[s]);
    l.ins[s].reset();
    p->started = false;
    clearBacklog(*p);
    p->stop = true;
    if (tlPort == p.get()) {
        // From inside our own notification: nothing queued goes out after
        // this call, and MIM_CLOSE comes now, on this same layer thread.
        p->events.clear();
        p->selfClose = true;
        const bool notify = p->proc != nullptr;
        lk.unlock();
        if (notify) p->proc(p->handle, MIM_CLOSE, p->instance, 0, 0);
        return MMSYSERR_NOERROR;
    }
    p->events.push_back({MIM_CLOSE, 0, 0, p->nextSeq++});
    wake(p->w);
    lk.unlock();
    if (p->thread.joinable()) p->thread.join();
    return MMSYSERR_NOERROR;
}

MMRESULT midiInStart(HMIDIIN hmi) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    auto p = findIn(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (!p->started) {
        p->started = true;
        p->startNs = nowNs(virtualTime(*p->driver));
    }
    return MMSYSERR_NOERROR;
}

MMRESULT midiInStop(HMIDIIN hmi) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    auto p = findIn(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    if (!p->started) return MMSYSERR_NOERROR;
    returnBuffers(*p, false);
    p->started = false;
    waitDelivered(*p, lk);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInReset(HMIDIIN hmi) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    auto p = findIn(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    returnBuffers(*p, true);
    p->started = false;
    waitDelivered(*p, lk);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    if (!findIn(hmi)) return MMSYSERR_INVALHANDLE;
    if (!pmh || cbmh < sizeof(MIDIHDR) || !pmh->lpData || pmh->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
    return prepareHeader(pmh);
}

MMRESULT midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    if (!findIn(hmi)) return MMSYSERR_INVALHANDLE;
    return unprepareHeader(pmh, cbmh);
}

MMRESULT midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    auto p = findIn(hmi);
    if (!p) return MMSYSERR_INVALHANDLE;
    DWORD f = 0;
    if (const MMRESULT r = checkQueueable(pmh, cbmh, f); r != MMSYSERR_NOERROR) return r;
    if (!pmh->lpData || pmh->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
    pmh->dwBytesRecorded = 0;
    storeFlags(pmh, (f & ~MHDR_DONE) | MHDR_INQUEUE);
    p->buffers.push_back(pmh);
    if (p->stalled) {
        p->stalled = false;
        wake(p->w);
    }
    return MMSYSERR_NOERROR;
}
