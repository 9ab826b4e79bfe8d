#include "upload/threader.h"

#include "app/unit1.h"
#include "midi/midi_out.h"

threader::threader(bool CreateSuspended, TForm1& form) : form_(form) {
    if (!CreateSuspended) Start();
}

threader::~threader() {
    if (thread_.joinable()) thread_.join();
}

void threader::Start() {
    if (thread_.joinable()) return;
    // The block is taken as it stands now, on the window's thread, so the
    // window may move its cursor on at once without racing this thread.
    data_ = form_.imageCursor;
    size_ = form_.imageSize;
    const uint8_t* end = form_.imageEnd;
    if (!data_ || !end || size_ < 0 || data_ > end || size_ > end - data_) size_ = 0;
    thread_ = std::thread([this] { Execute(); });
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [this] { return underway_; });
}

void threader::Execute() {
    auto underway = [this] {
        std::lock_guard<std::mutex> l(mu_);
        underway_ = true;
        cv_.notify_all();
    };
    whole_.store(form_.MidiOut1->SysEx(data_, size_, underway), std::memory_order_release);
    underway();  // a block the port dropped was never queued
    form_.senderDone.store(true, std::memory_order_release);
}
