#pragma once
// TMidiIn: one input device of the system's MIDI service. Lists the devices
// when it is created, opens and closes the chosen one, keeps sixteen receive
// buffers queued for System Exclusive data and reports what arrives through
// OnShort and OnSysEx. Both events run on the service's notification thread,
// never on the UI thread: a handler copies what it needs before it returns.

#include <QObject>
#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/midi/mmsystem.h"

class TMidiIn : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxDevices = 12;
    static constexpr int kBufferCount = 16;
    static constexpr int kBufferSize = 16000;

    // A notification as the window procedure would see it.
    struct TMessage {
        UINT Msg = 0;
        DWORD_PTR wParam = 0;  // the service's time stamp, not used
        DWORD_PTR lParam = 0;  // the packed short message, or the returned MIDIHDR*
        DWORD_PTR Result = 0;
    };

    using ShortEvent = std::function<void(TMidiIn* Sender, uint8_t Status, uint8_t First, uint8_t Second)>;
    using SysExEvent = std::function<void(TMidiIn* Sender, uint8_t* SysExAdd, int MsgSize)>;

    explicit TMidiIn(QObject* owner = nullptr);
    ~TMidiIn() override;

    bool Using() const { return using_; }
    void SetUsing(bool value);
    int Port() const { return port_; }
    void SetPort(int index);
    int NumDevs() const { return numDevs_; }
    bool UseShort() const { return useShort_.load(std::memory_order_acquire); }
    void SetUseShort(bool v) { useShort_.store(v, std::memory_order_release); }
    bool UseSysEx() const { return useSysEx_.load(std::memory_order_acquire); }
    void SetUseSysEx(bool v) { useSysEx_.store(v, std::memory_order_release); }

    // Assign before the port opens; they are read on the notification thread.
    ShortEvent OnShort;
    SysExEvent OnSysEx;

    void Prepare();
    void UnPrepare();
    void PrepSysEx();
    void UnPrepSysEx();
    void ShortIn(const TMessage& m);
    void LongIn(const TMessage& m);

    // Takes the device list afresh from the service. Only while closed.
    bool refreshDevices();
    const char* deviceName(int i) const;

    HMIDIIN Handle = nullptr;
    MMRESULT OpenResult = 0;
    MMRESULT CloseResult = 0;
    MIDIINCAPSA* DevCaps = nullptr;  // kMaxDevices records
    uint8_t* SysExPool = nullptr;    // kBufferCount buffers of kBufferSize bytes
    MIDIHDR* SysExHeaders = nullptr; // header i describes buffer i
    std::atomic<bool> Closing{false};
    bool BuffersQueued = false;

private:
    bool ownHeader(const MIDIHDR* hdr) const;
    void requeue(MIDIHDR* hdr);
    static void CALLBACK notify(HMIDIIN h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2);

    bool using_ = false;
    int port_ = 0;
    int numDevs_ = 0;
    std::atomic<bool> useShort_{true};
    std::atomic<bool> useSysEx_{true};
};
