#pragma once
// A simulated amplifier on the virtual MIDI driver: it listens on the output
// device the program sends to and answers on the input device the program
// reads. So far it answers identity requests with its firmware version and
// follows program changes.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi/virtual_midi.h"

namespace sim {

class SimulatedAmp {
public:
    // Publishes "<name> Out"/"<name> In"-style ports on vm: listen is the
    // output device the program opens, answer the input device it opens.
    SimulatedAmp(platform::midi::VirtualMidi& vm, platform::midi::VirtualMidi::DeviceId listen,
                 platform::midi::VirtualMidi::DeviceId answer, std::string version = "02.06");
    ~SimulatedAmp();
    SimulatedAmp(const SimulatedAmp&) = delete;
    SimulatedAmp& operator=(const SimulatedAmp&) = delete;

    void setVersion(const std::string& version);
    // Silent: takes everything, answers nothing (amplifier off, wrong cable).
    void setSilent(bool silent);

    int identityRequests() const;
    std::vector<uint8_t> programChanges() const;  // program numbers, in order
    int preset() const;                           // the last program chosen, -1 before any

private:
    // What the port's thread works on. Shared with the peer function, which
    // may still be running on that thread for a moment after disconnecting.
    struct Core {
        void received(const uint8_t* data, size_t n);
        void message(const std::vector<uint8_t>& m);

        platform::midi::VirtualMidi* vm = nullptr;
        platform::midi::VirtualMidi::DeviceId answer = 0;
        mutable std::mutex mu;
        std::string version;
        bool silent = false;
        std::vector<uint8_t> pending;  // bytes of the message being received
        uint8_t running = 0;
        int identityRequests = 0;
        std::vector<uint8_t> programs;
    };

    platform::midi::VirtualMidi& vm_;
    platform::midi::VirtualMidi::DeviceId listen_;
    std::shared_ptr<Core> core_;
};

}  // namespace sim
