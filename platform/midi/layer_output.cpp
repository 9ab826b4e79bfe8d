// Output handles: each has a thread that sends its queue in order, blocks
// paced to the wire, short messages between them.
#include "platform/midi/layer_internal.h"

namespace platform::midi::detail {

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
        // A device that goes once it has taken the last byte took the block
        // whole (an amplifier restarts on a whole image).
        const bool handedOver = p->inBlock && p->offset > 0 && p->offset >= h->dwBufferLength;
        if (!p->conn->alive() && !handedOver) {
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

}  // namespace platform::midi::detail

using namespace platform::midi;
using namespace platform::midi::detail;

UINT midiOutGetNumDevs() { return deviceCount(true); }

MMRESULT midiOutGetDevCapsA(UINT_PTR uDeviceID, MIDIOUTCAPSA* pmoc, UINT cbmoc) {
    const MMRESULT r = deviceCaps(true, uDeviceID, pmoc, cbmoc);
    if (r != MMSYSERR_NOERROR) return r;
    pmoc->wTechnology = MOD_MIDIPORT;
    pmoc->wChannelMask = 0xFFFF;
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen) {
    return openPort<OutPort>(
        phmo, uDeviceID, dwCallback, dwInstance, fdwOpen,
        [](OutPort& p, Driver& d) {
            const MMRESULT r = d.openOutput(p.deviceId, p.conn);
            if (r == MMSYSERR_NOERROR && p.conn) {
                p.pacer.setPacing(p.conn->pacing());
                p.seesOthers = p.conn->seesOthers();
            }
            return r;
        },
        [](OutPort& p) {
            // MOM_OPEN comes from the sender thread.
            p.openPending = p.proc != nullptr;
            return p.openPending;
        });
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

MMRESULT midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) { return prepare<OutPort>(hmo, pmh, cbmh); }

MMRESULT midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) { return unprepare<OutPort>(hmo, pmh, cbmh); }

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

