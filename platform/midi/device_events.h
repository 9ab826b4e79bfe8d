#pragma once
// Devices coming and going, as the window would learn of them: wParam is
// 0x8000 when a device arrives and 0x8004 when one is removed; lParam tells
// which (for diagnostics only).

#include <cstdint>
#include <functional>

namespace platform::midi {

// The handler is called on a thread of the MIDI layer, one call at a time;
// post to the UI thread from it. An empty function unregisters: once that call
// returns, no call is in progress and none follows (unless it is made from
// inside the handler itself, which only swaps the handler).
void setDeviceChangeHandler(std::function<void(uint32_t wParam, uint32_t lParam)> handler);

}  // namespace platform::midi
