// Input handles: each has a thread that joins what arrived into the
// caller's buffers and delivers the notifications.
#include "platform/midi/layer_internal.h"

namespace platform::midi::detail {

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

}  // namespace platform::midi::detail

using namespace platform::midi;
using namespace platform::midi::detail;

UINT midiInGetNumDevs() { return deviceCount(false); }

MMRESULT midiInGetDevCapsA(UINT_PTR uDeviceID, MIDIINCAPSA* pmic, UINT cbmic) {
    return deviceCaps(false, uDeviceID, pmic, cbmic);
}

MMRESULT midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen) {
    return openPort<InPort>(
        phmi, uDeviceID, dwCallback, dwInstance, fdwOpen,
        [](InPort& p, Driver& d) { return d.openInput(p.deviceId, &p.sink, p.conn); },
        [](InPort& p) {
            p.events.push_back({MIM_OPEN, 0, 0, p.nextSeq++});
            return true;
        });
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

MMRESULT midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) { return prepare<InPort>(hmi, pmh, cbmh); }

MMRESULT midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) { return unprepare<InPort>(hmi, pmh, cbmh); }

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
