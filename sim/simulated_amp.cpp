#include "sim/simulated_amp.h"

#include <algorithm>
#include <iterator>

#include "upload/device_messages.h"

namespace sim {

using platform::midi::VirtualMidi;

SimulatedAmp::SimulatedAmp(VirtualMidi& vm, VirtualMidi::DeviceId listen, VirtualMidi::DeviceId answer,
                           std::string version)
    : vm_(vm), listen_(listen), core_(std::make_shared<Core>()) {
    core_->vm = &vm;
    core_->answer = answer;
    core_->version = std::move(version);
    vm_.connect(listen_, [core = core_](const uint8_t* data, size_t n) { core->received(data, n); });
}

SimulatedAmp::~SimulatedAmp() { vm_.connect(listen_, {}); }

void SimulatedAmp::setVersion(const std::string& version) {
    std::lock_guard<std::mutex> l(core_->mu);
    core_->version = version;
}

void SimulatedAmp::setSilent(bool silent) {
    std::lock_guard<std::mutex> l(core_->mu);
    core_->silent = silent;
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
    std::vector<uint8_t> reply;
    {
        std::lock_guard<std::mutex> l(mu);
        if ((m[0] & 0xF0) == 0xC0 && m.size() == 2) {
            programs.push_back(m[1]);
            return;
        }
        if (m.size() == sizeof upload::identityRequest &&
            std::equal(m.begin(), m.end(), std::begin(upload::identityRequest))) {
            ++identityRequests;
            if (!silent) reply = upload::identityReplyBytes(version);
        }
    }
    if (!reply.empty()) vm->feed(answer, std::move(reply));
}

}  // namespace sim
