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

class OutputConnection {
public:
    virtual ~OutputConnection() = default;
    virtual bool alive() const = 0;
    virtual MMRESULT sendShort(const uint8_t* data, size_t n) = 0;
    // One piece of a long block, in order; first and last mark its ends.
    virtual MMRESULT sendChunk(const uint8_t* data, size_t n, bool first, bool last) = 0;
    // The driver gave up on the block in progress (reset, close, failure).
    virtual void abortBlock() {}
    virtual Pacing pacing() const = 0;
};

class InputConnection {
public:
    virtual ~InputConnection() = default;  // disconnects; no call to the sink after it returns
    virtual bool alive() const = 0;
};

class Driver {
public:
    virtual ~Driver() = default;
    virtual const char* name() const = 0;
    virtual std::vector<DeviceInfo> outputs() = 0;
    virtual std::vector<DeviceInfo> inputs() = 0;
    virtual MMRESULT openOutput(uint64_t id, std::unique_ptr<OutputConnection>& out) = 0;
    virtual MMRESULT openInput(uint64_t id, InputSink* sink, std::unique_ptr<InputConnection>& out) = 0;
    // Whether waits follow the process clock (virtual in tests) or always
    // real time (a system device drains in real time whatever the clock says).
    virtual bool followsProcessClock() const = 0;
    // The driver reports device changes here; set once by the layer.
    std::function<void(DeviceChange)> onDeviceChange;
};

std::unique_ptr<Driver> makeAlsaDriver();

}  // namespace platform::midi
