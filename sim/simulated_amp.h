#pragma once
// A simulated amplifier on the virtual MIDI driver: it listens on the output
// device the program sends to and answers on the input device the program
// reads. The protocol is AmpCore's (sim/amp_core.h); a restart unplugs and
// replugs both devices.
//
// Timed steps run on the process clock: under a VirtualClock from a settle
// hook (so only when some thread sleeps or a test advances time; a reply made
// there has reached the program by the next settle), under the real clock
// from a small thread of the amplifier's own. Replies to the header and the
// packets go out at once from the port's thread unless delayed by a fault.

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/virtual_midi.h"
#include "sim/amp_core.h"

namespace platform {
class VirtualClock;
}

namespace sim {

class SimulatedAmp {
public:
    // listen is the output device the program opens, answer the input device it opens.
    SimulatedAmp(platform::midi::VirtualMidi& vm, platform::midi::VirtualMidi::DeviceId listen,
                 platform::midi::VirtualMidi::DeviceId answer, std::string version = "02.06");
    ~SimulatedAmp();
    SimulatedAmp(const SimulatedAmp&) = delete;
    SimulatedAmp& operator=(const SimulatedAmp&) = delete;

    void setVersion(const std::string& version);
    // Silent: takes everything, answers nothing (amplifier off, wrong cable).
    void setSilent(bool silent);
    void setFaults(const AmpFaults& faults);
    void setTiming(const AmpTiming& timing);

    int identityRequests() const;
    std::vector<uint8_t> programChanges() const;  // program numbers, in order
    int preset() const;                           // the last program chosen, -1 before any

    bool headerReceived() const;  // a packet image's header since construction
    int packetsReceived() const;  // packet messages, repeats included
    int packetErrorsSent() const;
    AmpState state() const;
    int rebootCount() const;
    std::string version() const;  // what identity replies report now
    std::vector<AmpEvent> events() const;  // what it took and sent, with the tick count of each

private:
    // The core and its link to the driver. Shared with the peer function,
    // which may still be running on the port's thread for a moment after
    // disconnecting, and with the clock hooks.
    struct Binding;

    platform::midi::VirtualMidi& vm_;
    platform::midi::VirtualMidi::DeviceId listen_;
    std::shared_ptr<Binding> core_;
    platform::VirtualClock* hookedClock_ = nullptr;
    int hook_ = 0;
    int advanceHook_ = 0;
    std::thread pump_;
};

}  // namespace sim
