// Test settling: every layer thread counts as busy while it has work due,
// and settle() waits until none is, which is what makes the virtual clock
// deterministic.
#include <algorithm>

#include "platform/midi/layer_internal.h"

namespace platform::midi {
namespace detail {

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

}  // namespace detail

using namespace detail;

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

}  // namespace platform::midi
