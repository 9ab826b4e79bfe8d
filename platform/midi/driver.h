#pragma once
// What the MIDI layer needs of a driver. The layer keeps handles, headers,
// queues, threads and notifications; a driver only lists devices, opens
// them, moves bytes and reports devices coming and going.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/midi/midi_logic.h"
#include "platform/midi/mmsystem.h"

namespace platform::midi {

struct DeviceInfo {
    uint64_t id;       // stable for as long as the device exists
    std::string name;  // full name; the layer cuts it to the name field
};

// Where a driver delivers what an open input device receives. Called on any
// thread; returns false when the bytes could not be taken (backlog full).
class InputSink {
public:
    virtual ~InputSink() = default;
    virtual bool received(const uint8_t* data, size_t n) = 0;
};

// Both kinds of connection are used by one layer thread at a time; alive()
// may be asked from any thread, under the layer's lock, so it must only read
// a flag.
class OutputConnection {
public:
    virtual ~OutputConnection() = default;
    virtual bool alive() const = 0;
    virtual MMRESULT sendShort(const uint8_t* data, size_t n) = 0;
    // One piece of a long block, in order; first and last mark its ends.
    virtual MMRESULT sendChunk(const uint8_t* data, size_t n, bool first, bool last) = 0;
    // The layer gave up on the block in progress (reset, close): end the
    // message on the wire so the receiver does not wait for the rest.
    virtual void abortBlock() {}
    // From any thread: true while a reset is on its way, so a send waiting
    // for a device that takes nothing gives up at once; false once the
    // layer has dealt with it. It must only set a flag and wake the sender.
    virtual void interrupt(bool on) {}
    // Asked at the start of each block.
    virtual Pacing pacing() const = 0;
    // Whether the driver can tell when bytes of another program reached the
    // device in the middle of a block (it then returns the block with
    // kHeaderMixed). Where it cannot, anyone sending into the port may have.
    virtual bool seesOthers() const { return false; }
    // Whether the block that just came back from sendChunk(last) was mixed
    // with others' bytes; asked once per block, on the layer's thread.
    virtual bool blockMixed() { return false; }
};

class InputConnection {
public:
    virtual ~InputConnection() = default;  // disconnects; no call to the sink after it returns
    virtual bool alive() const = 0;
};

// A driver's methods are called without the layer's lock held, from any
// thread; it must not call back into the layer while holding its own lock
// (the layer calls it while a sink may be waiting for that lock).
class Driver {
public:
    virtual ~Driver() = default;
    virtual const char* name() const = 0;
    virtual std::vector<DeviceInfo> outputs() = 0;
    virtual std::vector<DeviceInfo> inputs() = 0;
    // MMSYSERR_ALLOCATED when the device is busy, MIDIERR_NODEVICE when it is gone.
    virtual MMRESULT openOutput(uint64_t id, std::unique_ptr<OutputConnection>& out) = 0;
    virtual MMRESULT openInput(uint64_t id, InputSink* sink, std::unique_ptr<InputConnection>& out) = 0;
    // Whether waits follow the process clock (virtual in tests) or always
    // real time (a system device drains in real time whatever the clock says).
    virtual bool followsProcessClock() const = 0;
    // Called once by the layer before the driver is used: where to report
    // devices coming and going, from any thread.
    virtual void start(std::function<void(DeviceChange)> report) = 0;
    // A line for the user when the system's MIDI service exists but cannot
    // be used; empty otherwise.
    virtual std::string problem() { return {}; }
    // The other programs that can send into an output device's port (a
    // listener to what the device sends cannot disturb it), ours left out,
    // by names a user knows; empty where the system cannot tell.
    virtual std::vector<std::string> otherClients(uint64_t id) { return {}; }
    // The programs that keep the device from us (openOutput/openInput gave
    // MMSYSERR_ALLOCATED), by names a user knows; empty when none is known.
    virtual std::vector<std::string> holders(uint64_t id, bool output) { return {}; }
};

// The system's MIDI ports. A machine without a sequencer gives a driver
// with no devices.
std::shared_ptr<Driver> makeAlsaDriver();

}  // namespace platform::midi
