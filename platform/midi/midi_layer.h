#pragma once
// The MIDI layer's own additions to the multimedia API: reading header flags
// the layer writes from its threads, and choosing the driver.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/midi/mmsystem.h"

namespace platform::midi {

class Driver;

// While a header is queued the layer's threads write dwFlags (and, for input,
// dwBytesRecorded before it). Read the flags with these, never plainly: the
// acquire load that sees MHDR_DONE also sees everything written before it.
inline DWORD loadFlags(const MIDIHDR& h) {
    return std::atomic_ref<DWORD>(const_cast<DWORD&>(h.dwFlags)).load(std::memory_order_acquire);
}
inline bool headerDone(const MIDIHDR& h) { return (loadFlags(h) & MHDR_DONE) != 0; }
// Set with MHDR_DONE on an output block that did not go out whole: refused,
// cut short by a port that went, or aborted by a reset or a close.
inline constexpr DWORD kHeaderCut = 0x80000000;
inline bool headerCut(const MIDIHDR& h) { return (loadFlags(h) & kHeaderCut) != 0; }

// The driver the layer uses from now on; the one before returns when it is
// removed. Without one, the system driver (alsa) is made on first use.
void installDriver(std::shared_ptr<Driver> driver);
// Closes every handle opened on the driver (queued blocks and buffers are
// flagged done, no further notification) and drops it.
void removeDriver(Driver* driver);
// Name of the driver in use ("alsa", "virtual").
const char* driverName();
// Why the driver lists no devices when the system has a MIDI service it
// cannot use (say, no permission to open it); empty when there is none.
std::string driverProblem();

// Set with MHDR_DONE on an output block that bytes of another program
// reached the device in the middle of.
inline constexpr DWORD kHeaderMixed = 0x40000000;
inline bool headerMixed(const MIDIHDR& h) { return (loadFlags(h) & kHeaderMixed) != 0; }

// The other programs that can send into the port behind an open output
// handle, by names a user knows, each once; empty for a handle not open.
std::vector<std::string> otherClients(HMIDIOUT h);
// Whether the handle's blocks say (kHeaderMixed) when another program's
// bytes reached the device among theirs. False: they cannot tell.
bool seesOthers(HMIDIOUT h);
// The programs that keep device uDeviceID from us when its open gives
// MMSYSERR_ALLOCATED (say, one holding its raw MIDI device); may be empty.
std::vector<std::string> outputHolders(UINT uDeviceID);
std::vector<std::string> inputHolders(UINT uDeviceID);

// Waits (bounded) until every layer thread has done what is due by the
// current time. Returns at once on a layer thread.
void settle();
// Whether the calling thread is one of the layer's.
bool onLayerThread();

}  // namespace platform::midi
