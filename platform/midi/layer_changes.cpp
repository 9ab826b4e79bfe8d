// Devices coming and going: a driver reports them on any thread; one thread
// of the layer hands them to the registered handler, one at a time.
#include "platform/midi/device_events.h"
#include "platform/midi/layer_internal.h"

namespace platform::midi {
namespace detail {

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

}  // namespace detail

using namespace detail;

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
