#include "platform/midi/midi_logic.h"

#include <algorithm>
#include <cstring>

namespace platform::midi {

void copyDeviceName(char* field, size_t size, std::string_view name) {
    if (!field || size == 0) return;
    name = name.substr(0, std::min(name.find('\0'), name.size()));
    size_t n = std::min(name.size(), size - 1);
    if (n < name.size()) {
        // name[n] is the first byte left out; if it continues a character,
        // leave out that whole character.
        auto continuation = [&](size_t i) { return (static_cast<uint8_t>(name[i]) & 0xC0) == 0x80; };
        size_t back = 0;
        while (n > 0 && back < 3 && continuation(n)) {
            --n;
            ++back;
        }
    }
    std::memset(field, 0, size);
    std::memcpy(field, name.data(), n);
}

int shortMessageLength(uint8_t status) {
    if (status < 0x80) return 0;
    if (status < 0xF0) {
        const uint8_t kind = status & 0xF0;
        return (kind == 0xC0 || kind == 0xD0) ? 2 : 3;
    }
    switch (status) {
    case 0xF1:
    case 0xF3: return 2;
    case 0xF2: return 3;
    case 0xF0:
    case 0xF7: return 0;
    default: return 1;  // F4, F5, F6 and the real-time bytes
    }
}

size_t unpackShortMessage(DWORD msg, uint8_t out[3]) {
    const uint8_t status = msg & 0xFF;
    const int n = shortMessageLength(status);
    for (int i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((msg >> (8 * i)) & 0xFF);
    // Data bytes carry seven bits.
    for (int i = 1; i < n; ++i) out[i] &= 0x7F;
    return static_cast<size_t>(n);
}

size_t unpackShortMessage(DWORD msg, uint8_t& running, uint8_t out[3]) {
    const uint8_t low = msg & 0xFF;
    if (low >= 0x80) {
        const size_t n = unpackShortMessage(msg, out);
        if (n == 0) return 0;
        if (low < 0xF0) running = low;
        else if (low < 0xF8) running = 0;  // system common cancels it; real time leaves it
        return n;
    }
    if (!running) return 0;
    // The data bytes move up one place behind the status.
    return unpackShortMessage((msg << 8) | running, out);
}

size_t chunkLength(const Pacing& p, size_t total, size_t offset) {
    if (offset >= total) return 0;
    const size_t rest = total - offset;
    return p.maxChunk ? std::min(rest, p.maxChunk) : rest;
}

uint64_t WirePacer::releaseAt(size_t n, uint64_t readyNs) const {
    const uint64_t ns = pacing_.nsPerByte;
    if (!ns) return readyNs;
    if (pacing_.releaseAtChunkEnd) return std::max(wireEnd_, readyNs) + ns * n;
    // The chunk fits once the backlog has drained to leadBytes - n.
    const uint64_t room = ns * pacing_.leadBytes;
    const uint64_t need = ns * n;
    if (need >= room) return std::max(readyNs, wireEnd_);  // a chunk larger than the lead waits for an empty wire
    const uint64_t at = wireEnd_ > room - need ? wireEnd_ - (room - need) : 0;
    return std::max(readyNs, at);
}

void WirePacer::handedOver(size_t n, uint64_t nowNs) {
    if (pacing_.releaseAtChunkEnd) {
        // The wire has just finished carrying it.
        wireEnd_ = std::max(wireEnd_, nowNs);
        return;
    }
    wireEnd_ = std::max(wireEnd_, nowNs) + pacing_.nsPerByte * n;
}

size_t WirePacer::backlog(uint64_t nowNs) const {
    if (!pacing_.nsPerByte || wireEnd_ <= nowNs) return 0;
    const uint64_t ns = wireEnd_ - nowNs;
    return static_cast<size_t>((ns + pacing_.nsPerByte - 1) / pacing_.nsPerByte);
}

// ---- input assembly ------------------------------------------------------------

bool InputAssembler::putSysExByte(uint8_t b, Sink& sink, bool& stalled) {
    if (dropping_) return true;
    if (!cur_) {
        bool stall = false;
        cur_ = sink.nextBuffer(stall);
        if (!cur_) {
            if (stall) {
                stalled = true;
                return false;
            }
            dropping_ = true;
            return true;
        }
        cur_->dwBytesRecorded = 0;
        if (cur_->dwBufferLength == 0) {
            // Nothing fits; hand it back rather than write past it.
            MIDIHDR* empty = cur_;
            cur_ = nullptr;
            sink.bufferDone(empty, false);
            return putSysExByte(b, sink, stalled);
        }
    }
    cur_->lpData[cur_->dwBytesRecorded++] = static_cast<char>(b);
    if (cur_->dwBytesRecorded >= cur_->dwBufferLength) {
        MIDIHDR* full = cur_;
        cur_ = nullptr;
        sink.bufferDone(full, false);
    }
    return true;
}

void InputAssembler::endSysEx(Sink& sink, bool error) {
    inSysEx_ = false;
    dropping_ = false;
    if (cur_) {
        MIDIHDR* h = cur_;
        cur_ = nullptr;
        sink.bufferDone(h, error);
    }
}

void InputAssembler::status(uint8_t b, Sink& sink) {
    const int len = shortMessageLength(b);
    if (b < 0xF0) running_ = b;
    else running_ = 0;  // system common cancels running status
    if (len == 1) {
        if (b != 0xF4 && b != 0xF5) sink.shortMessage(b);
        need_ = have_ = 0;
        return;
    }
    msg_[0] = b;
    have_ = 1;
    need_ = len;
}

size_t InputAssembler::feed(const uint8_t* data, size_t n, Sink& sink) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = data[i];
        if (b >= 0xF8) {  // real time: passes through, even inside a System Exclusive
            sink.shortMessage(b);
            continue;
        }
        if (inSysEx_) {
            if (b < 0x80 || b == 0xF7) {
                bool stalled = false;
                if (!putSysExByte(b, sink, stalled)) return i;
                if (b == 0xF7) {
                    if (cur_ || dropping_) endSysEx(sink, false);
                    else inSysEx_ = false;  // F7 landed as the last byte of a full buffer
                }
                continue;
            }
            // Any other status byte cuts the message short.
            endSysEx(sink, true);
        }
        if (b == 0xF0) {
            bool stalled = false;
            inSysEx_ = true;
            running_ = 0;
            need_ = have_ = 0;
            if (!putSysExByte(b, sink, stalled)) {
                inSysEx_ = false;
                return i;
            }
            continue;
        }
        if (b == 0xF7) continue;  // an end without a start
        if (b >= 0x80) {
            status(b, sink);
            continue;
        }
        // A data byte.
        if (have_ == 0) {
            if (!running_) continue;  // nothing to attach it to
            msg_[0] = running_;
            have_ = 1;
            need_ = shortMessageLength(running_);
        }
        msg_[have_++] = b;
        if (have_ == need_) {
            DWORD w = msg_[0];
            for (int k = 1; k < need_; ++k) w |= static_cast<DWORD>(msg_[k]) << (8 * k);
            sink.shortMessage(w);
            have_ = need_ = 0;
        }
    }
    return n;
}

void InputAssembler::flush(Sink& sink, bool error) {
    have_ = need_ = 0;
    running_ = 0;
    endSysEx(sink, error);
}

// ---- announce events ------------------------------------------------------------

std::optional<DeviceChange> translateAnnounce(int type, int client, int port, int ownClient) {
    if (client == 0 || client == ownClient) return std::nullopt;
    const uint32_t address = (static_cast<uint32_t>(client & 0xFF) << 8) | static_cast<uint32_t>(port & 0xFF);
    if (type == kAnnouncePortStart) return DeviceChange{DBT_DEVICEARRIVAL, address};
    if (type == kAnnouncePortExit) return DeviceChange{DBT_DEVICEREMOVECOMPLETE, address};
    return std::nullopt;
}

// ---- port names ----------------------------------------------------------------

namespace {

// At most max bytes of s, not cutting a UTF-8 character in two.
std::string cutUtf8(const std::string& s, size_t max) {
    if (s.size() <= max) return s;
    size_t n = max;
    while (n > 0 && (static_cast<uint8_t>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

// s in at most max bytes (max >= 8): its start, "..", and its end.
std::string shortened(const std::string& s, size_t max) {
    if (s.size() <= max) return s;
    const size_t tail = std::min<size_t>(6, (max - 2) / 2);
    size_t from = s.size() - tail;
    while (from < s.size() && (static_cast<uint8_t>(s[from]) & 0xC0) == 0x80) ++from;
    return cutUtf8(s, max - 2 - (s.size() - from)) + ".." + s.substr(from);
}

}  // namespace

std::vector<std::string> portNames(const std::vector<PortName>& ports, size_t max) {
    std::vector<std::string> names;
    names.reserve(ports.size());
    for (const auto& p : ports) {
        if (p.port.rfind(p.client, 0) == 0) names.push_back(p.port);
        else if (p.client.size() + 1 + p.port.size() <= max) names.push_back(p.client + ":" + p.port);
        else names.push_back(p.port);
    }
    std::vector<bool> clash(names.size(), false);
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t j = i + 1; j < names.size(); ++j)
            if (cutUtf8(names[i], max) == cutUtf8(names[j], max)) clash[i] = clash[j] = true;
    for (size_t i = 0; i < names.size(); ++i) {
        const auto& p = ports[i];
        if (!clash[i] || names[i] != p.port || p.port.rfind(p.client, 0) == 0) continue;
        // Ports of one name on two devices: keep the client's start and end
        // (where numbered devices differ) and the port's name whole.
        const size_t room = p.port.size() + 1 < max ? max - p.port.size() - 1 : 0;
        if (room >= 8) names[i] = shortened(p.client, room) + ":" + p.port;
    }
    return names;
}

}  // namespace platform::midi
