#include "sim/simulated_amp.h"

#include <algorithm>
#include <chrono>
#include <iterator>

#include "firmware/firmware_header.h"
#include "firmware/syx_generator.h"
#include "platform/clock.h"
#include "upload/device_messages.h"

namespace sim {

using platform::midi::VirtualMidi;

namespace {

constexpr uint32_t kMaxPackets = 1u << 16;
constexpr uint32_t kMaxPayload = 1u << 20;

bool firmwareMessage(const std::vector<uint8_t>& m) {
    return m.size() >= 8 && m[0] == 0xF0 && m[1] == 0x00 && m[2] == 0x7D && m[3] == 0x4B && m[4] == 0x12;
}

std::string digitsText(const uint8_t* d) { return firmware::versionText(firmware::packVersion(d, true)); }

}  // namespace

SimulatedAmp::SimulatedAmp(VirtualMidi& vm, VirtualMidi::DeviceId listen, VirtualMidi::DeviceId answer,
                           std::string version)
    : vm_(vm), listen_(listen), core_(std::make_shared<Core>()) {
    core_->vm = &vm;
    core_->listen = listen;
    core_->answer = answer;
    core_->version = std::move(version);
    platform::Clock& c = platform::clock();
    if (c.isVirtual()) {
        // Virtual time moves only in a sleep or advance: the due steps run
        // just before and just after.
        hookedClock_ = static_cast<platform::VirtualClock*>(&c);
        hook_ = hookedClock_->addSettleHook([core = core_] { core->runDue(); });
        advanceHook_ = hookedClock_->addAdvanceHook([core = core_] { core->runDue(); });
    } else {
        pump_ = std::thread([core = core_] {
            std::unique_lock l(core->pumpMu);
            while (!core->stopPump) {
                core->pumpCv.wait_for(l, std::chrono::milliseconds(4));
                if (core->stopPump) break;
                l.unlock();
                core->runDue();
                l.lock();
            }
        });
    }
    vm_.connect(listen_, [core = core_](const uint8_t* data, size_t n) { core->received(data, n); });
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
    {
        std::lock_guard l(core_->mu);
        core_->closed = true;
        core_->actions.clear();
    }
    // A hook left on a clock no longer installed may be running the last steps.
    { std::lock_guard run(core_->runMu); }
    vm_.connect(listen_, {});
}

void SimulatedAmp::setVersion(const std::string& version) {
    std::lock_guard<std::mutex> l(core_->mu);
    core_->version = version;
}

void SimulatedAmp::setSilent(bool silent) {
    std::lock_guard<std::mutex> l(core_->mu);
    core_->faults.silent = silent;
}

void SimulatedAmp::setFaults(const AmpFaults& faults) {
    std::lock_guard<std::mutex> l(core_->mu);
    core_->faults = faults;
}

void SimulatedAmp::setTiming(const AmpTiming& timing) {
    std::lock_guard<std::mutex> l(core_->mu);
    core_->timing = timing;
}

int SimulatedAmp::identityRequests() const {
    std::lock_guard<std::mutex> l(core_->mu);
    return core_->identityRequests;
}

std::vector<uint8_t> SimulatedAmp::programChanges() const {
    std::lock_guard<std::mutex> l(core_->mu);
    return core_->programs;
}

int SimulatedAmp::preset() const {
    std::lock_guard<std::mutex> l(core_->mu);
    return core_->programs.empty() ? -1 : core_->programs.back();
}

bool SimulatedAmp::headerReceived() const {
    std::lock_guard<std::mutex> l(core_->mu);
    return core_->headerSeen;
}

int SimulatedAmp::packetsReceived() const {
    std::lock_guard<std::mutex> l(core_->mu);
    return core_->packets;
}

int SimulatedAmp::packetErrorsSent() const {
    std::lock_guard<std::mutex> l(core_->mu);
    return core_->packetErrors;
}

AmpState SimulatedAmp::state() const {
    std::lock_guard<std::mutex> l(core_->mu);
    return core_->state;
}

int SimulatedAmp::rebootCount() const {
    std::lock_guard<std::mutex> l(core_->mu);
    return core_->reboots;
}

std::string SimulatedAmp::version() const {
    std::lock_guard<std::mutex> l(core_->mu);
    return core_->version;
}

// Splits the byte stream into messages: System Exclusive from F0 to F7, and
// the channel messages the amplifier cares about (program change, running
// status understood).
void SimulatedAmp::Core::received(const uint8_t* data, size_t n) {
    std::vector<std::vector<uint8_t>> done;
    {
        std::lock_guard<std::mutex> l(mu);
        for (size_t i = 0; i < n; ++i) {
            const uint8_t b = data[i];
            if (b >= 0xF8) continue;  // real-time bytes may come anywhere
            if (b == 0xF0) {
                pending.assign(1, b);
                running = 0;
            } else if (b == 0xF7) {
                if (!pending.empty() && pending[0] == 0xF0) {
                    pending.push_back(b);
                    done.push_back(std::move(pending));
                }
                pending.clear();
            } else if (b & 0x80) {
                pending.assign(1, b);
                running = b < 0xF0 ? b : 0;
            } else if (!pending.empty() && pending[0] == 0xF0) {
                pending.push_back(b);
            } else {
                if (pending.empty() && running) pending.assign(1, running);
                if (pending.empty()) continue;
                pending.push_back(b);
                const uint8_t kind = pending[0] & 0xF0;
                const size_t need = (kind == 0xC0 || kind == 0xD0) ? 2 : 3;
                if (pending.size() == need) {
                    done.push_back(std::move(pending));
                    pending.clear();
                }
            }
        }
    }
    for (const auto& m : done) message(m);
}

void SimulatedAmp::Core::message(const std::vector<uint8_t>& m) {
    Ops ops;
    {
        std::lock_guard<std::mutex> l(mu);
        if (closed) return;
        if ((m[0] & 0xF0) == 0xC0 && m.size() == 2) {
            programs.push_back(m[1]);
            return;
        }
        if (m.size() == sizeof upload::identityRequest &&
            std::equal(m.begin(), m.end(), std::begin(upload::identityRequest))) {
            ++identityRequests;
            // Nobody home while it restarts.
            if (!faults.silent && state != AmpState::Rebooting && state != AmpState::Gone)
                ops.push_back({Op::Feed, upload::identityReplyBytes(version)});
        } else if (sim::firmwareMessage(m)) {
            firmwareMessage(m, ops);
        }
    }
    apply(ops);
}

void SimulatedAmp::Core::firmwareMessage(const std::vector<uint8_t>& m, Ops& ops) {
    const uint8_t type = m[6];
    if (type == firmware::kTypePacketMessage) {
        ++packets;
        if (!faults.silent && state == AmpState::Receiving) acceptPacket(m, ops);
        return;
    }
    if (type == firmware::kTypePacket) {
        if (m.size() != firmware::kPacketHeaderBytes) return;
        headerSeen = true;
        if (faults.silent || state == AmpState::Rebooting || state == AmpState::Gone) return;
        const uint32_t count = firmware::nibbleField(&m[7]);
        const uint32_t size = firmware::nibbleField(&m[15]);
        if (count == 0 || count > kMaxPackets || size == 0 || size > kMaxPayload) return;
        // A header starts afresh, whatever the transfer before it came to.
        actions.clear();
        state = AmpState::Receiving;
        handshake = true;
        quiet = false;
        packetCount = count;
        payloadSize = size;
        accepted.assign(count, false);
        errorSent.assign(count, false);
        acceptedCount = 0;
        newVersion = digitsText(&m[31]);
        if (!faults.noReadyReply) reply(static_cast<uint8_t>(upload::replyReady), ops);
        return;
    }
    if (type == firmware::kTypeSingle) {
        if (faults.silent || state == AmpState::Rebooting || state == AmpState::Gone) return;
        if (m.size() < firmware::kSingleOverhead) return;
        const size_t payload = m.size() - firmware::kSingleOverhead;
        // A damaged image is not programmed: the amplifier keeps its firmware.
        if (firmware::nibbleField(&m[16]) != payload ||
            firmware::nibbleField(&m[24]) != firmware::payloadChecksum(&m[32], payload))
            return;
        actions.clear();
        handshake = false;
        newVersion = digitsText(&m[7]);
        state = AmpState::Programming;
        schedule(timing.programMs, Step::Programmed);
    }
}

void SimulatedAmp::Core::acceptPacket(const std::vector<uint8_t>& m, Ops& ops) {
    const uint32_t index = firmware::nibbleField(&m[7]);
    if (faults.vanishAtPacket >= 0 && index == static_cast<uint32_t>(faults.vanishAtPacket)) {
        actions.clear();
        state = AmpState::Gone;
        ops.push_back({Op::Unplug, {}});
        return;
    }
    if (faults.silentAtPacket >= 0 && index == static_cast<uint32_t>(faults.silentAtPacket)) quiet = true;
    if (quiet) return;
    const bool whole = m.size() == size_t(payloadSize) + firmware::kPacketOverhead && index < packetCount &&
                       firmware::nibbleField(&m[15]) == payloadSize &&
                       firmware::nibbleField(&m[23]) == firmware::payloadChecksum(&m[36], payloadSize);
    const bool injected = whole && faults.packetErrorAt >= 0 &&
                          index == static_cast<uint32_t>(faults.packetErrorAt) && !errorSent[index];
    if (!whole) {
        ++packetErrors;
        reply(static_cast<uint8_t>(upload::replyPacketError), ops);
        return;
    }
    // An injected error is a hiccup the amplifier reports and recovers from:
    // the packet's data is kept, as the program does not send it again.
    if (!accepted[index]) {
        accepted[index] = true;
        ++acceptedCount;
    }
    if (injected) {
        errorSent[index] = true;
        ++packetErrors;
    }
    reply(static_cast<uint8_t>(injected ? upload::replyPacketError : upload::replyPacketAck), ops);
    if (acceptedCount == packetCount) {
        state = AmpState::Verifying;
        // After its own ack, however late that goes.
        schedule(faults.replyDelayMs + timing.verifyMs, Step::Verified);
    }
}

void SimulatedAmp::Core::reply(uint8_t code, Ops& ops) {
    if (faults.replyDelayMs == 0)
        ops.push_back({Op::Feed, {0xF0, 0x00, 0x7D, 0x4B, 0x12, 0x00, code, 0xF7}});
    else
        schedule(faults.replyDelayMs, Step::Reply, code);
}

void SimulatedAmp::Core::schedule(uint32_t inMs, Step step, uint8_t code) {
    scheduleAt(platform::GetTickCount() + inMs, step, code);
}

void SimulatedAmp::Core::scheduleAt(uint32_t due, Step step, uint8_t code) {
    // Before the first one due later; equal times keep the order they were made in.
    auto at = std::find_if(actions.begin(), actions.end(),
                           [due](const Action& a) { return static_cast<int32_t>(a.due - due) > 0; });
    actions.insert(at, Action{due, step, code});
}

void SimulatedAmp::Core::runDue() {
    std::lock_guard run(runMu);
    Ops ops;
    {
        std::lock_guard<std::mutex> l(mu);
        if (closed || actions.empty()) return;
        const uint32_t now = platform::GetTickCount();
        // What is due now, in order. A step scheduled by one of these is
        // timed from now and so comes at a later pass (two replies never
        // arrive together), except a restart's end, which is timed from its
        // start and may already be due.
        while (!actions.empty() && static_cast<int32_t>(now - actions.front().due) >= 0) {
            const Action a = actions.front();
            actions.erase(actions.begin());
            perform(a, ops);
        }
    }
    apply(ops);
}

void SimulatedAmp::Core::perform(const Action& a, Ops& ops) {
    switch (a.step) {
    case Step::Reply:
        if (!faults.silent) ops.push_back({Op::Feed, {0xF0, 0x00, 0x7D, 0x4B, 0x12, 0x00, a.code, 0xF7}});
        return;
    case Step::Verified:
        if (faults.silentAtVerify) return;
        if (faults.verifyStop) {
            state = AmpState::Idle;
            reply(static_cast<uint8_t>(upload::replyVerifyStop), ops);
            return;
        }
        state = AmpState::Programming;
        ops.push_back({Op::Feed, {0xF0, 0x00, 0x7D, 0x4B, 0x12, 0x00, upload::replyVerified, 0xF7}});
        schedule(timing.programMs, Step::Programmed);
        return;
    case Step::Programmed:
        if (faults.silentAtProgram) return;
        if (handshake)
            ops.push_back({Op::Feed, {0xF0, 0x00, 0x7D, 0x4B, 0x12, 0x00, upload::replyProgrammed, 0xF7}});
        state = AmpState::Rebooting;
        ++reboots;
        schedule(timing.rebootDelayMs, Step::Vanish);
        return;
    case Step::Vanish:
        if (!faults.noReboot) {
            ops.push_back({Op::Unplug, {}});
            unplugged = true;
        }
        // Timed from when the ports were due to go, so a restart that falls
        // within one long pause is over when the pause ends.
        scheduleAt(a.due + timing.rebootMs, Step::Return);
        return;
    case Step::Return:
        version = faults.versionAfterReboot.empty() ? newVersion : faults.versionAfterReboot;
        state = AmpState::Idle;
        if (unplugged) {
            ops.push_back({Op::Replug, {}});
            unplugged = false;
        }
        return;
    }
}

void SimulatedAmp::Core::apply(const Ops& ops) {
    for (const Op& op : ops) {
        switch (op.kind) {
        case Op::Feed:
            vm->feed(answer, op.bytes);
            break;
        case Op::Unplug:
            vm->unplug(listen);
            vm->unplug(answer);
            break;
        case Op::Replug:
            vm->replug(listen);
            vm->replug(answer);
            break;
        }
    }
}

}  // namespace sim
