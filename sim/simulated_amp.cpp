#include "sim/simulated_amp.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/clock.h"

namespace sim {

using platform::midi::VirtualMidi;

struct SimulatedAmp::Binding final : AmpLink {
    Binding(VirtualMidi& vm, VirtualMidi::DeviceId listen, VirtualMidi::DeviceId answer, std::string version)
        : vm(vm), listen(listen), answer(answer),
          core(*this, std::move(version), [] { return platform::GetTickCount(); }) {}

    void send(const std::vector<uint8_t>& bytes) override { vm.feed(answer, bytes); }
    void vanish() override {
        vm.unplug(listen);
        vm.unplug(answer);
    }
    void restore() override {
        vm.replug(listen);
        vm.replug(answer);
    }

    VirtualMidi& vm;
    VirtualMidi::DeviceId listen;
    VirtualMidi::DeviceId answer;
    AmpCore core;

    std::mutex pumpMu;
    std::condition_variable pumpCv;
    bool stopPump = false;
};

SimulatedAmp::SimulatedAmp(VirtualMidi& vm, VirtualMidi::DeviceId listen, VirtualMidi::DeviceId answer,
                           std::string version)
    : vm_(vm), listen_(listen), core_(std::make_shared<Binding>(vm, listen, answer, std::move(version))) {
    platform::Clock& c = platform::clock();
    if (c.isVirtual()) {
        // Virtual time moves only in a sleep or advance: the due steps run
        // just before and just after.
        hookedClock_ = static_cast<platform::VirtualClock*>(&c);
        hook_ = hookedClock_->addSettleHook([b = core_] { b->core.runDue(); });
        advanceHook_ = hookedClock_->addAdvanceHook([b = core_] { b->core.runDue(); });
    } else {
        pump_ = std::thread([b = core_] {
            std::unique_lock l(b->pumpMu);
            while (!b->stopPump) {
                b->pumpCv.wait_for(l, std::chrono::milliseconds(4));
                if (b->stopPump) break;
                l.unlock();
                b->core.runDue();
                l.lock();
            }
        });
    }
    vm_.connect(listen_, [b = core_](const uint8_t* data, size_t n) { b->core.received(data, n); });
}

SimulatedAmp::~SimulatedAmp() {
    // As the driver does: a clock that went first has taken its hooks with it.
    if (hookedClock_ && &platform::clock() == hookedClock_) {
        hookedClock_->removeSettleHook(hook_);
        hookedClock_->removeAdvanceHook(advanceHook_);
    }
    {
        std::lock_guard l(core_->pumpMu);
        core_->stopPump = true;
    }
    core_->pumpCv.notify_all();
    if (pump_.joinable()) pump_.join();
    // A hook left on a clock no longer installed may be running the last steps.
    core_->core.close();
    vm_.connect(listen_, {});
}

void SimulatedAmp::setVersion(const std::string& version) { core_->core.setVersion(version); }
void SimulatedAmp::setSilent(bool silent) { core_->core.setSilent(silent); }
void SimulatedAmp::setFaults(const AmpFaults& faults) { core_->core.setFaults(faults); }
void SimulatedAmp::setTiming(const AmpTiming& timing) { core_->core.setTiming(timing); }
int SimulatedAmp::identityRequests() const { return core_->core.identityRequests(); }
std::vector<uint8_t> SimulatedAmp::programChanges() const { return core_->core.programChanges(); }
int SimulatedAmp::preset() const { return core_->core.preset(); }
bool SimulatedAmp::headerReceived() const { return core_->core.headerReceived(); }
int SimulatedAmp::packetsReceived() const { return core_->core.packetsReceived(); }
int SimulatedAmp::packetErrorsSent() const { return core_->core.packetErrorsSent(); }
AmpState SimulatedAmp::state() const { return core_->core.state(); }
int SimulatedAmp::rebootCount() const { return core_->core.rebootCount(); }
std::string SimulatedAmp::version() const { return core_->core.version(); }
std::vector<AmpEvent> SimulatedAmp::events() const { return core_->core.events(); }

}  // namespace sim
