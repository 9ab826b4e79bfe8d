#pragma once
// What the ALSA driver learns from the kernel beside the ALSA library: who
// holds a raw MIDI device, the state of a raw device's output buffer while
// the kernel's sequencer bridge holds it, and names a user knows for the
// programs on a port. Plus owning handles for the library's objects.

#include <alsa/asoundlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::midi::alsa {

struct SeqClose {
    void operator()(snd_seq_t* s) const { snd_seq_close(s); }
};
struct RawClose {
    void operator()(snd_rawmidi_t* r) const { snd_rawmidi_close(r); }
};
struct EventClose {
    void operator()(snd_midi_event_t* e) const { snd_midi_event_free(e); }
};
using Seq = std::unique_ptr<snd_seq_t, SeqClose>;
using Raw = std::unique_ptr<snd_rawmidi_t, RawClose>;
using MidiEvent = std::unique_ptr<snd_midi_event_t, EventClose>;

// One substream of a card's raw MIDI device.
struct RawAddress {
    int card = -1, device = 0, sub = 0;
    std::string hw() const;    // "hw:C,D,S" for snd_rawmidi_open
    std::string node() const;  // "/dev/snd/midiCcDd"
};

// The processes but ours that hold the device's node open, by the name
// the user started them by ("jackd"), each once. The kernel's sequencer
// bridge holds the device without a file, so it is never among them.
std::vector<std::string> rawHolders(const RawAddress& a);

// An output substream as /proc/asound/cardC/midiD shows it. Buffer size and
// avail are there only while someone has the substream open.
struct RawOutState {
    uint64_t txBytes = 0;  // bytes the device's driver has taken, ever
    size_t bufferSize = 0;
    size_t avail = 0;
    bool open = false;
    bool empty() const { return open && avail >= bufferSize; }
};
// False when the card or the substream is gone.
bool readRawOutState(const RawAddress& a, RawOutState& st);

// A sequencer client's name as the user knows the program behind it: a
// sound server's bridge by what it is, anything else as it calls itself.
std::string knownClientName(const std::string& client);

}  // namespace platform::midi::alsa
