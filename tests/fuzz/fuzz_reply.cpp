// Arbitrary MIDI input, as the input port would receive it: the bytes are
// joined into receive buffers the way the MIDI layer does, and every buffer
// that comes back goes through the reply decoder and the log line. The first
// input byte picks the buffer size, so messages that span buffers are met.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/midi/midi_logic.h"
#include "upload/device_messages.h"

namespace {

class Buffers final : public platform::midi::InputAssembler::Sink {
public:
    explicit Buffers(size_t size) : size_(size) {}
    MIDIHDR* nextBuffer(bool& stall) override {
        stall = false;
        auto data = std::make_unique<char[]>(size_);
        auto hdr = std::make_unique<MIDIHDR>();
        hdr->lpData = data.get();
        hdr->dwBufferLength = DWORD(size_);
        storage_.push_back(std::move(data));
        headers_.push_back(std::move(hdr));
        return headers_.back().get();
    }
    void shortMessage(DWORD) override {}
    void bufferDone(MIDIHDR* hdr, bool) override {
        if (hdr->dwBytesRecorded > hdr->dwBufferLength) std::abort();
        // A copy of exactly the recorded size: a read past it trips the sanitizer.
        const size_t n = hdr->dwBytesRecorded;
        std::unique_ptr<uint8_t[]> copy(new uint8_t[n ? n : 1]);
        if (n) std::memcpy(copy.get(), hdr->lpData, n);
        const upload::Reply r = upload::decodeReply(n ? copy.get() : nullptr, n);
        if (r.identity && (!r.code || *r.code != upload::replyIdentity)) std::abort();
        if (r.code && (n <= upload::kReplyCodeOffset + 1 || !upload::wholeMessage(copy.get(), n))) std::abort();
        if (upload::logLine(copy.get(), n).size() != n * 3) std::abort();
    }

private:
    size_t size_;
    std::vector<std::unique_ptr<char[]>> storage_;
    std::vector<std::unique_ptr<MIDIHDR>> headers_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Buffers sink(1 + data[0] % 64);
    platform::midi::InputAssembler assembler;
    size_t done = 1;
    while (done < size) {
        const size_t took = assembler.feed(data + done, size - done, sink);
        if (took == 0) break;
        done += took;
    }
    assembler.flush(sink, true);
    return 0;
}
