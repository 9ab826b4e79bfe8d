#pragma once
// The system's multimedia MIDI functions behind plain types: the driver that
// passes the layer's calls on to them cannot include the system's header
// beside the layer's own (the same names). Results are the system's MMRESULT
// codes, which the layer's header shares.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::midi::winmm {

// The devices' names by device number, as the system lists them now.
std::vector<std::string> outputNames();
std::vector<std::string> inputNames();

class Output {
public:
    // Opens device number index; null with error set when it cannot.
    static std::unique_ptr<Output> open(unsigned index, unsigned& error);
    ~Output();  // stops what is under way and closes the device
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    unsigned sendShort(uint32_t packed);
    // One whole System Exclusive block; returns once the device has taken it,
    // or gives it up (reset) when stop is set or after limitMs.
    unsigned sendLong(const uint8_t* data, size_t n, const std::atomic<bool>& stop, uint32_t limitMs);
    void wake();  // a sendLong in progress looks at stop at once

private:
    Output() = default;
    struct Impl;
    std::unique_ptr<Impl> d_;
};

class Input {
public:
    // Opens and starts device number index; deliver gets every message's
    // bytes in order, on a thread of its own.
    static std::unique_ptr<Input> open(unsigned index, std::function<void(const uint8_t*, size_t)> deliver,
                                       unsigned& error);
    ~Input();  // no call to deliver once it returns
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

private:
    Input() = default;
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace platform::midi::winmm
