#include "platform/midi/win/winmm_system.h"

#include <windows.h>
#include <mmsystem.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform::midi::winmm {

namespace {

template <class Caps, class Count, class Get>
std::vector<std::string> names(Count count, Get get) {
    std::vector<std::string> out;
    const UINT n = count();
    for (UINT i = 0; i < n; ++i) {
        Caps caps{};
        if (get(i, &caps, sizeof caps) != MMSYSERR_NOERROR) {
            out.emplace_back();
            continue;
        }
        char name[MAXPNAMELEN * 3] = {};
        ::WideCharToMultiByte(CP_UTF8, 0, caps.szPname, -1, name, sizeof name, nullptr, nullptr);
        out.emplace_back(name);
    }
    return out;
}

// The length of a short message by its status byte.
size_t shortLength(uint8_t status) {
    if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 2 : 3;
    if (status == 0xF1 || status == 0xF3) return 2;
    if (status == 0xF2) return 3;
    return 1;
}

}  // namespace

std::vector<std::string> outputNames() {
    return names<MIDIOUTCAPSW>(::midiOutGetNumDevs, [](UINT i, MIDIOUTCAPSW* c, UINT n) {
        return ::midiOutGetDevCapsW(i, c, n);
    });
}

std::vector<std::string> inputNames() {
    return names<MIDIINCAPSW>(::midiInGetNumDevs, [](UINT i, MIDIINCAPSW* c, UINT n) {
        return ::midiInGetDevCapsW(i, c, n);
    });
}

// ---- output ---------------------------------------------------------------------------

struct Output::Impl {
    HMIDIOUT h = nullptr;
    HANDLE done = nullptr;  // set by the system when a block is done
};

std::unique_ptr<Output> Output::open(unsigned index, unsigned& error) {
    auto d = std::make_unique<Impl>();
    d->done = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    error = ::midiOutOpen(&d->h, index, reinterpret_cast<DWORD_PTR>(d->done), 0, CALLBACK_EVENT);
    if (error != MMSYSERR_NOERROR) {
        ::CloseHandle(d->done);
        return nullptr;
    }
    std::unique_ptr<Output> out(new Output);
    out->d_ = std::move(d);
    return out;
}

Output::~Output() {
    ::midiOutReset(d_->h);
    ::midiOutClose(d_->h);
    ::CloseHandle(d_->done);
}

unsigned Output::sendShort(uint32_t packed) { return ::midiOutShortMsg(d_->h, packed); }

void Output::wake() { ::SetEvent(d_->done); }

unsigned Output::sendLong(const uint8_t* data, size_t n, const std::atomic<bool>& stop, uint32_t limitMs) {
    std::vector<char> copy(data, data + n);  // the system may write into the header's buffer
    MIDIHDR hdr{};
    hdr.lpData = copy.data();
    hdr.dwBufferLength = static_cast<DWORD>(n);
    MMRESULT r = ::midiOutPrepareHeader(d_->h, &hdr, sizeof hdr);
    if (r != MMSYSERR_NOERROR) return r;
    r = ::midiOutLongMsg(d_->h, &hdr, sizeof hdr);
    if (r == MMSYSERR_NOERROR) {
        const DWORD start = ::GetTickCount();
        bool given_up = false;
        while (!(hdr.dwFlags & MHDR_DONE)) {
            if (!given_up && (stop.load() || ::GetTickCount() - start > limitMs)) {
                // Hands the block back, marked done, and ends it on the wire.
                ::midiOutReset(d_->h);
                given_up = true;
                r = MIDIERR_NOTREADY;
            }
            ::WaitForSingleObject(d_->done, 50);
        }
    }
    ::midiOutUnprepareHeader(d_->h, &hdr, sizeof hdr);
    return r;
}

// ---- input ----------------------------------------------------------------------------

struct Input::Impl {
    static constexpr int kBuffers = 8;
    static constexpr DWORD kBufferSize = 4096;

    HMIDIIN h = nullptr;
    std::function<void(const uint8_t*, size_t)> deliver;
    MIDIHDR hdrs[kBuffers] = {};
    std::vector<char> store = std::vector<char>(kBuffers * kBufferSize);

    // The system's callback may call no multimedia function: it queues what
    // came, and this thread delivers it and gives the buffers back.
    struct Item {
        MIDIHDR* hdr;  // null for a short message
        uint32_t packed;
    };
    std::mutex mu;
    std::condition_variable cv;
    std::deque<Item> queue;
    bool closing = false;
    std::thread worker;

    static void CALLBACK callback(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR) {
        auto* self = reinterpret_cast<Impl*>(instance);
        if (msg != MIM_DATA && msg != MIM_LONGDATA && msg != MIM_LONGERROR) return;
        {
            std::lock_guard<std::mutex> g(self->mu);
            if (msg == MIM_DATA)
                self->queue.push_back({nullptr, static_cast<uint32_t>(p1)});
            else
                self->queue.push_back({reinterpret_cast<MIDIHDR*>(p1), 0});
        }
        self->cv.notify_one();
    }

    void run() {
        std::unique_lock<std::mutex> lk(mu);
        for (;;) {
            cv.wait(lk, [&] { return closing || !queue.empty(); });
            if (queue.empty()) return;
            const Item it = queue.front();
            queue.pop_front();
            const bool requeue = !closing;
            lk.unlock();
            if (!it.hdr) {
                const uint8_t b[3] = {uint8_t(it.packed), uint8_t(it.packed >> 8), uint8_t(it.packed >> 16)};
                deliver(b, shortLength(b[0]));
            } else {
                if (it.hdr->dwBytesRecorded > 0)
                    deliver(reinterpret_cast<const uint8_t*>(it.hdr->lpData), it.hdr->dwBytesRecorded);
                if (requeue) ::midiInAddBuffer(h, it.hdr, sizeof(MIDIHDR));
            }
            lk.lock();
        }
    }
};

std::unique_ptr<Input> Input::open(unsigned index, std::function<void(const uint8_t*, size_t)> deliver,
                                   unsigned& error) {
    auto d = std::make_unique<Impl>();
    d->deliver = std::move(deliver);
    error = ::midiInOpen(&d->h, index, reinterpret_cast<DWORD_PTR>(&Impl::callback),
                         reinterpret_cast<DWORD_PTR>(d.get()), CALLBACK_FUNCTION);
    if (error != MMSYSERR_NOERROR) return nullptr;
    for (int i = 0; i < Impl::kBuffers; ++i) {
        MIDIHDR& hdr = d->hdrs[i];
        hdr.lpData = d->store.data() + i * Impl::kBufferSize;
        hdr.dwBufferLength = Impl::kBufferSize;
        ::midiInPrepareHeader(d->h, &hdr, sizeof hdr);
        ::midiInAddBuffer(d->h, &hdr, sizeof hdr);
    }
    d->worker = std::thread([p = d.get()] { p->run(); });
    error = ::midiInStart(d->h);
    std::unique_ptr<Input> in(new Input);
    in->d_ = std::move(d);
    if (error != MMSYSERR_NOERROR) return nullptr;
    return in;
}

Input::~Input() {
    {
        std::lock_guard<std::mutex> g(d_->mu);
        d_->closing = true;
    }
    ::midiInStop(d_->h);
    ::midiInReset(d_->h);  // hands every buffer back
    d_->cv.notify_one();
    d_->worker.join();
    for (MIDIHDR& hdr : d_->hdrs) ::midiInUnprepareHeader(d_->h, &hdr, sizeof hdr);
    ::midiInClose(d_->h);
}

}  // namespace platform::midi::winmm
