#pragma once
// The upload's pacing, derived from the MIDI wire rate: 0.32 ms a byte at
// 31,250 baud, and 0.33 ms a byte in the single-message estimate.

#include <cstdint>

namespace upload {

// Timer1's interval for a single-message image: the gauge fills in 1000
// ticks, in 90 % of the estimated transmission time; at least 1 ms.
inline uint32_t singleTickInterval(int32_t imageSize) {
    const float ms = static_cast<float>(imageSize * 0.00033 * 0.9);
    const auto whole = static_cast<int64_t>(ms);
    return whole < 1 ? 1u : static_cast<uint32_t>(whole);
}

// One step of ring 0: a twelfth of the wire time of half a packet message
// (open loop) or of a whole one (handshake), L bytes.
inline uint32_t openLoopStepMs(int32_t L) {
    const double ms = (L / 2) * 0.00032 * (1.0 / 12.0) * 1000.0;
    return ms < 0 ? 0u : static_cast<uint32_t>(ms);
}
inline uint32_t handshakeStepMs(int32_t L) {
    const double ms = L * 0.00032 * (1.0 / 12.0) * 1000.0;
    return ms < 0 ? 0u : static_cast<uint32_t>(ms);
}

// Ring 2 moves on every six packets.
inline int ring2Position(int32_t packet) { return (2 * packet + 1) / 12; }

}  // namespace upload
