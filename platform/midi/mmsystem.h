#pragma once
// The MIDI service in the shape of the Windows multimedia API (winmm), so the
// port components read the same on every platform. The functions are the
// MIDI layer's (platform/midi/layer.cpp), over one of its drivers; on Windows
// the system driver passes them on to the system's own (platform/midi/win), so
// the demo and the tests keep their virtual driver there too. The system's
// header is never included beside this one.
//
// The layer never throws. Every function returns an MMRESULT; handles are
// opaque values that the layer checks, so a stale or garbage handle gives
// MMSYSERR_INVALHANDLE. Notification functions are called on a thread of the
// layer, never on the caller's.

#include <cstdint>

#ifndef CALLBACK
#define CALLBACK
#endif

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = unsigned int;
using DWORD_PTR = uintptr_t;
using UINT_PTR = uintptr_t;
using MMRESULT = UINT;
using MMVERSION = UINT;
using LPSTR = char*;

struct HMIDIOUT__;
struct HMIDIIN__;
using HMIDIOUT = HMIDIOUT__*;
using HMIDIIN = HMIDIIN__*;
using LPHMIDIOUT = HMIDIOUT*;
using LPHMIDIIN = HMIDIIN*;

// Notification functions, passed to the open calls as a DWORD_PTR with
// CALLBACK_FUNCTION.
using MIDIINPROC = void CALLBACK(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
using MIDIOUTPROC = void CALLBACK(HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MIDIERR_UNPREPARED = 64;
inline constexpr MMRESULT MIDIERR_STILLPLAYING = 65;
inline constexpr MMRESULT MIDIERR_NOTREADY = 67;
inline constexpr MMRESULT MIDIERR_NODEVICE = 68;

inline constexpr DWORD CALLBACK_NULL = 0x00000;
inline constexpr DWORD CALLBACK_WINDOW = 0x10000;
inline constexpr DWORD CALLBACK_THREAD = 0x20000;
inline constexpr DWORD CALLBACK_FUNCTION = 0x30000;
inline constexpr DWORD CALLBACK_EVENT = 0x50000;
inline constexpr DWORD CALLBACK_TYPEMASK = 0x70000;

inline constexpr UINT MIDI_MAPPER = 0xFFFFFFFFu;

inline constexpr UINT MIM_OPEN = 0x3C1;
inline constexpr UINT MIM_CLOSE = 0x3C2;
inline constexpr UINT MIM_DATA = 0x3C3;
inline constexpr UINT MIM_LONGDATA = 0x3C4;
inline constexpr UINT MIM_ERROR = 0x3C5;
inline constexpr UINT MIM_LONGERROR = 0x3C6;
inline constexpr UINT MOM_OPEN = 0x3C7;
inline constexpr UINT MOM_CLOSE = 0x3C8;
inline constexpr UINT MOM_DONE = 0x3C9;

inline constexpr DWORD MHDR_DONE = 0x1;
inline constexpr DWORD MHDR_PREPARED = 0x2;
inline constexpr DWORD MHDR_INQUEUE = 0x4;

inline constexpr WORD MOD_MIDIPORT = 1;

inline constexpr int MAXPNAMELEN = 32;

struct MIDIOUTCAPSA {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    char szPname[MAXPNAMELEN];
    WORD wTechnology;
    WORD wVoices;
    WORD wNotes;
    WORD wChannelMask;
    DWORD dwSupport;
};

struct MIDIINCAPSA {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    char szPname[MAXPNAMELEN];
    DWORD dwSupport;
};

struct MIDIHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;  // written by the layer's threads while queued: read it with
                    // platform::midi::loadFlags / headerDone (midi_layer.h)
    MIDIHDR* lpNext;
    DWORD_PTR reserved;
    DWORD dwOffset;
    DWORD_PTR dwReserved[8];
};
using LPMIDIHDR = MIDIHDR*;

UINT midiOutGetNumDevs();
MMRESULT midiOutGetDevCapsA(UINT_PTR uDeviceID, MIDIOUTCAPSA* pmoc, UINT cbmoc);
MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT midiOutClose(HMIDIOUT hmo);
MMRESULT midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg);
MMRESULT midiOutReset(HMIDIOUT hmo);
MMRESULT midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh);

UINT midiInGetNumDevs();
MMRESULT midiInGetDevCapsA(UINT_PTR uDeviceID, MIDIINCAPSA* pmic, UINT cbmic);
MMRESULT midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT midiInClose(HMIDIIN hmi);
MMRESULT midiInStart(HMIDIIN hmi);
MMRESULT midiInStop(HMIDIIN hmi);
MMRESULT midiInReset(HMIDIIN hmi);
MMRESULT midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
MMRESULT midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh);
