// The layer's handles and drivers: which driver is in use, its device
// lists, and the layer's own additions to the API.
#include <algorithm>

#include "platform/midi/layer_internal.h"

namespace platform::midi {
namespace detail {

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

}  // namespace detail

using namespace detail;

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

std::vector<std::string> otherClients(HMIDIOUT h) {
    std::unique_lock lk(layer().mu);
    const auto p = findOut(h);
    if (!p) return {};
    const auto d = p->driver;
    const uint64_t id = p->deviceId;
    lk.unlock();
    return d->otherClients(id);
}

bool seesOthers(HMIDIOUT h) {
    std::unique_lock lk(layer().mu);
    const auto p = findOut(h);
    return p && p->seesOthers;
}

namespace detail {
static std::vector<std::string> holders(bool output, UINT id) {
    std::shared_ptr<Driver> d;
    const auto list = devices(output, false, d);
    if (id >= list.size()) return {};
    return d->holders(list[id].id, output);
}
}  // namespace detail

std::vector<std::string> outputHolders(UINT uDeviceID) { return detail::holders(true, uDeviceID); }
std::vector<std::string> inputHolders(UINT uDeviceID) { return detail::holders(false, uDeviceID); }


}  // namespace platform::midi
