#pragma once
// The MIDI service's shared state: handles, header queues, the threads that send blocks and
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

// Split by job: layer_handles.cpp (handles, drivers, device lists, the
// layer's extras), layer_output.cpp, layer_input.cpp, layer_changes.cpp and
// layer_settle.cpp (the busy count settle() waits on).

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/midi/driver.h"
#include "platform/midi/midi_layer.h"
#include "platform/midi/midi_logic.h"
#include "platform/midi/mmsystem.h"

namespace platform::midi::detail {


inline constexpr uint64_t kNever = ~0ull;
inline constexpr size_t kSlots = 64;
// Input held for want of a receive buffer before the System Exclusive
// message in progress is dropped, and input refused beyond that.
inline constexpr size_t kStallBacklog = 256 * 1024;
inline constexpr size_t kMaxBacklog = 8 * 1024 * 1024;
// Under the virtual clock nothing signals that time moved except settle();
// a thread waiting for virtual time also looks again this often.
inline constexpr auto kVirtualPoll = std::chrono::milliseconds(2);
// Waits for another thread are bounded so a wedged peer cannot hang a caller.
inline constexpr auto kWaitBound = std::chrono::seconds(30);

inline thread_local bool tlLayerThread = false;
inline thread_local const void* tlPort = nullptr;  // the handle whose thread this is
inline thread_local bool tlChangeThread = false;

inline uint64_t steadyNs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

inline bool virtualTime(const Driver& d) { return d.followsProcessClock() && platform::clock().isVirtual(); }

inline uint64_t nowNs(bool virt) {
    if (virt) {
        Clock& c = platform::clock();
        if (c.isVirtual()) return static_cast<VirtualClock&>(c).nowMs() * 1'000'000ull;
    }
    return steadyNs();
}

inline DWORD loadFlagsRaw(MIDIHDR* h) { return std::atomic_ref<DWORD>(h->dwFlags).load(std::memory_order_acquire); }
inline void storeFlags(MIDIHDR* h, DWORD f) { std::atomic_ref<DWORD>(h->dwFlags).store(f, std::memory_order_release); }
// The layer is finished with the header; after this the caller may free it.
// A block that comes back without having gone out whole says so as well.
inline void markDone(MIDIHDR* h, bool whole = true, bool mixed = false) {
    storeFlags(h, (loadFlagsRaw(h) & ~MHDR_INQUEUE) | MHDR_DONE | (whole ? 0 : kHeaderCut) | (mixed ? kHeaderMixed : 0));
}

// Notification by function or none: the kinds the ports here offer.
inline MMRESULT checkCallback(DWORD type, DWORD_PTR callback) {
    if (type != CALLBACK_NULL && type != CALLBACK_FUNCTION) return MMSYSERR_NOTSUPPORTED;
    if (type == CALLBACK_FUNCTION && !callback) return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

// The header rules input and output share; the handle has been checked.
inline MMRESULT prepareHeader(MIDIHDR* h) {
    const DWORD f = loadFlagsRaw(h);
    if (!(f & MHDR_PREPARED)) storeFlags(h, f | MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

inline MMRESULT unprepareHeader(MIDIHDR* h, UINT cb) {
    if (!h || cb < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    const DWORD f = loadFlagsRaw(h);
    if (f & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    if (f & MHDR_PREPARED) storeFlags(h, f & ~MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

// A header that may be queued: prepared and not queued already. f is its flags.
inline MMRESULT checkQueueable(MIDIHDR* h, UINT cb, DWORD& f) {
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
inline Layer& layer() {
    static Layer* l = new Layer;
    return *l;
}

// The busy count settle() waits on: layer_settle.cpp. The lock is held.
void setBusy(Worker& w, bool b);
void wake(Worker& w);                // has work: busy, and woken
void idle(Worker& w, uint64_t due);  // waits; due: when work falls due under virtual time
void addWorker(Worker& w);
void dropWorker(Worker& w);

// ---- handles -----------------------------------------------------------------------
// A handle is slot + 1 in the low byte, the slot's generation above it and
// the top bit for input, so stale and foreign values are recognised.

inline constexpr uint32_t kInputBit = 0x80000000u;
inline constexpr uint32_t kGenMask = 0x7FFFFF;

inline uintptr_t makeHandle(size_t slot, uint32_t gen, bool input) {
    return (input ? kInputBit : 0) | ((gen & kGenMask) << 8) | static_cast<uint32_t>(slot + 1);
}

inline bool decode(uintptr_t v, bool input, size_t& slot, uint32_t& gen) {
    if (v == 0 || v > 0xFFFFFFFFu) return false;
    if (((v & kInputBit) != 0) != input) return false;
    const size_t s = v & 0xFF;
    if (s == 0 || s > kSlots) return false;
    slot = s - 1;
    gen = (v >> 8) & kGenMask;
    return true;
}

inline uint32_t bumpGen(Slot& s) {
    uint32_t g = (s.gen.load() + 1) & kGenMask;
    if (g == 0) g = 1;
    s.gen.store(g);
    return g;
}

// What differs between the two kinds of port, for the code they share.
void senderLoop(std::shared_ptr<OutPort> p);
void notifierLoop(std::shared_ptr<InPort> p);
template <class Port>
struct Side;
template <>
struct Side<OutPort> {
    using Handle = HMIDIOUT;
    static constexpr bool input = false;
    static auto& slots(Layer& l) { return l.outSlots; }
    static auto& ports(Layer& l) { return l.outs; }
    static constexpr auto loop = senderLoop;
};
template <>
struct Side<InPort> {
    using Handle = HMIDIIN;
    static constexpr bool input = true;
    static auto& slots(Layer& l) { return l.inSlots; }
    static auto& ports(Layer& l) { return l.ins; }
    static constexpr auto loop = notifierLoop;
};

// The open port behind a handle; the layer's lock is held.
template <class Port>
std::shared_ptr<Port> findPort(typename Side<Port>::Handle h) {
    size_t s;
    uint32_t g;
    if (!decode(reinterpret_cast<uintptr_t>(h), Side<Port>::input, s, g)) return nullptr;
    Layer& l = layer();
    auto& p = Side<Port>::ports(l)[s];
    if (!p || Side<Port>::slots(l)[s].gen.load() != g) return nullptr;
    return p;
}
inline std::shared_ptr<OutPort> findOut(HMIDIOUT h) { return findPort<OutPort>(h); }
inline std::shared_ptr<InPort> findIn(HMIDIIN h) { return findPort<InPort>(h); }

// ---- drivers and device lists: layer_handles.cpp ------------------------------------

void startDriver(const std::shared_ptr<Driver>& d);
std::shared_ptr<Driver> currentDriver(std::unique_lock<std::mutex>& lk);
// The device list the indexes refer to; fresh = take it anew from the driver.
std::vector<DeviceInfo> devices(bool output, bool fresh, std::shared_ptr<Driver>& d);
// From a driver, on any thread: layer_changes.cpp.
void deviceChanged(const Driver* from, DeviceChange c);

// ---- input: layer_input.cpp ---------------------------------------------------------

void clearBacklog(InPort& p);
// Waits until the notifications queued so far have been delivered.
void waitDelivered(InPort& p, std::unique_lock<std::mutex>& lk);
// Hands back the buffer being filled (and, on reset, every queued one).
void returnBuffers(InPort& p, bool all);

template <class Port>
void joinPort(Port& p) {
    if (tlPort == &p) {
        p.selfClose = true;
        return;
    }
    if (p.thread.joinable()) p.thread.join();
}

// ---- the API's twins ------------------------------------------------------------------

inline UINT deviceCount(bool output) {
    std::shared_ptr<Driver> d;
    return static_cast<UINT>(devices(output, true, d).size());
}

// The capabilities both kinds of device report.
template <class Caps>
MMRESULT deviceCaps(bool output, UINT_PTR id, Caps* caps, UINT cb) {
    if (!caps || cb < sizeof(Caps)) return MMSYSERR_INVALPARAM;
    std::shared_ptr<Driver> d;
    const auto list = devices(output, false, d);
    if (id >= list.size()) return MMSYSERR_BADDEVICEID;
    std::memset(caps, 0, sizeof(Caps));
    caps->wMid = 0xFFFF;  // unmapped maker and product
    caps->wPid = 0xFFFF;
    caps->vDriverVersion = 0x0100;
    copyDeviceName(caps->szPname, sizeof(caps->szPname), list[id].name);
    return MMSYSERR_NOERROR;
}

// Opening is alike both ways: connect(port, driver) makes the driver's
// connection; opened(port) runs under the lock before the thread starts and
// says whether the thread has work at once.
template <class Port, class Connect, class Opened>
MMRESULT openPort(typename Side<Port>::Handle* ph, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags,
                  Connect connect, Opened opened) {
    using S = Side<Port>;
    if (!ph) return MMSYSERR_INVALPARAM;
    *ph = nullptr;
    const DWORD type = flags & CALLBACK_TYPEMASK;
    if (const MMRESULT r = checkCallback(type, callback); r != MMSYSERR_NOERROR) return r;
    std::shared_ptr<Driver> d;
    const auto list = devices(!S::input, false, d);
    if (id >= list.size()) return MMSYSERR_BADDEVICEID;

    auto p = std::make_shared<Port>();
    p->driver = d;
    p->deviceId = list[id].id;
    if (type == CALLBACK_FUNCTION) p->proc = reinterpret_cast<decltype(p->proc)>(callback);
    p->instance = instance;
    if (const MMRESULT r = connect(*p, *d); r != MMSYSERR_NOERROR) return r;
    if (!p->conn) return MMSYSERR_ERROR;

    // On failure below, the connection goes with p, after the lock.
    Layer& l = layer();
    std::unique_lock lk(l.mu);
    auto& ports = S::ports(l);
    auto& slots = S::slots(l);
    size_t s = 0;
    while (s < kSlots && ports[s]) ++s;
    if (s == kSlots) {
        lk.unlock();
        return MMSYSERR_NOMEM;
    }
    // The slot's count of queued blocks is not cleared: a port closed with
    // its driver may still be handing its blocks back, and its count must
    // come off the same number it went on.
    const uint32_t gen = bumpGen(slots[s]);
    p->slot = &slots[s];
    p->handle = reinterpret_cast<typename S::Handle>(makeHandle(s, gen, S::input));
    const bool busy = opened(*p);
    try {
        p->thread = std::thread(S::loop, p);
    } catch (...) {
        bumpGen(slots[s]);
        lk.unlock();
        return MMSYSERR_NOMEM;
    }
    ports[s] = p;
    addWorker(p->w);
    if (busy) wake(p->w);
    *ph = p->handle;
    return MMSYSERR_NOERROR;
}

template <class Port>
MMRESULT prepare(typename Side<Port>::Handle h, LPMIDIHDR pmh, UINT cb) {
    std::unique_lock lk(layer().mu);
    if (!findPort<Port>(h)) return MMSYSERR_INVALHANDLE;
    // An input buffer must have room; an output block may be empty.
    if (!pmh || cb < sizeof(MIDIHDR) || !pmh->lpData || (Side<Port>::input && pmh->dwBufferLength == 0))
        return MMSYSERR_INVALPARAM;
    return prepareHeader(pmh);
}

template <class Port>
MMRESULT unprepare(typename Side<Port>::Handle h, LPMIDIHDR pmh, UINT cb) {
    std::unique_lock lk(layer().mu);
    if (!findPort<Port>(h)) return MMSYSERR_INVALHANDLE;
    return unprepareHeader(pmh, cb);
}

}  // namespace platform::midi::detail
