#pragma once
// The sender thread: sends the main window's current image block (the whole
// single-message image, or one packet) through MidiOut1 and sets senderDone.
// Destroying it waits for its thread to end.

#include <cstdint>
#include <thread>

class TForm1;

class threader {
public:
    threader(bool CreateSuspended, TForm1& form);
    ~threader();
    threader(const threader&) = delete;
    threader& operator=(const threader&) = delete;

    // Starts a sender created suspended; does nothing once started.
    void Start();
    bool Started() const { return thread_.joinable(); }

private:
    void Execute();
    TForm1& form_;
    const uint8_t* data_ = nullptr;
    int32_t size_ = 0;
    std::thread thread_;
};
