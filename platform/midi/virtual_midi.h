#pragma once
// In-process MIDI ports for tests and the demo. While a VirtualMidi lives,
// the MIDI layer lists its ports instead of the system's.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::midi {

class VirtualDriver;

class VirtualMidi {
public:
    // Installs the virtual driver as the layer's driver for as long as this
    // object lives (at most one at a time); on destruction every handle it
    // opened is closed and the previous driver returns.
    VirtualMidi();
    ~VirtualMidi();
    VirtualMidi(const VirtualMidi&) = delete;
    VirtualMidi& operator=(const VirtualMidi&) = delete;

    using DeviceId = uint64_t;
    DeviceId addOutput(const std::string& name);
    DeviceId addInput(const std::string& name);
    // Opens fail with MMSYSERR_ALLOCATED; holders are the programs named as keeping it.
    void setBusy(DeviceId id, bool busy, std::vector<std::string> holders = {});
    // Other programs the port lists as able to send into it (none by default).
    void setOtherClients(DeviceId id, std::vector<std::string> names);
    // Whether blocks tell of others' bytes among theirs: -1 they cannot
    // (default), 0 none are mixed, 1 every block is.
    void setOthersSeen(DeviceId out, int mixed);
    void unplug(DeviceId id);                       // vanishes from lists; open handles fail; removal event 0x8004
    void replug(DeviceId id);                       // back in the lists; arrival event 0x8000
    void setWireRate(DeviceId out, uint32_t baud);  // 0 = instant (default); 31250 = DIN wire
    // Every byte sent to the output, in order, on a layer thread. Set before or after open.
    void connect(DeviceId out, std::function<void(const uint8_t* data, size_t n)> peer);
    std::vector<uint8_t> sent(DeviceId out) const;  // everything sent so far (kept, for tests)
    void clearSent(DeviceId out);
    // Bytes arriving at the input, delivered on the layer's notification thread.
    // Dropped unless the input is open and started.
    void feed(DeviceId in, std::vector<uint8_t> bytes);
    // Blocks until everything fed or sent so far and due by the clock's current time has been delivered.
    void settle();
    bool isOpen(DeviceId id) const;
    int openCount(DeviceId id) const;  // how many times it has been opened

private:
    void hookClock();
    std::shared_ptr<VirtualDriver> driver_;
    std::mutex hookMu_;
    int hook_ = 0;
    void* hookedClock_ = nullptr;
};

}  // namespace platform::midi
