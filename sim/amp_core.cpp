#include "sim/amp_core.h"

#include <algorithm>
#include <iterator>

namespace sim {

namespace {

// The amplifier's own knowledge of the messages, whatever the program makes
// of them.

// Universal non-real-time identity request, to all devices.
constexpr uint8_t kIdentityRequest[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

// Reply codes, byte 6 of its answers.
constexpr uint8_t kReady = 0x7B;
constexpr uint8_t kPacketAck = 0x7C;
constexpr uint8_t kPacketError = 0x74;
constexpr uint8_t kVerified = 0x7D;
constexpr uint8_t kVerifyStop = 0x7A;
constexpr uint8_t kProgrammed = 0x71;

// Firmware messages: F0, maker 00 7D 4B, model 12, device, type. Counts are
// eight bytes of one nibble each, least significant first.
constexpr uint8_t kTypeSingle = 0x16;  // a whole image: version 7-10, length 16, checksum 24, payload from 32
constexpr uint8_t kTypeHeader = 0x19;  // 37 bytes: packet count 7, payload size 15, version digits 31-34
constexpr uint8_t kTypePacket = 0x1A;  // index 7, payload size 15, checksum 23, payload from 36
constexpr size_t kHeaderBytes = 37;
constexpr size_t kPacketOverhead = 37;
constexpr size_t kPacketPayloadAt = 36;
constexpr size_t kSingleOverhead = 33;
constexpr size_t kSinglePayloadAt = 32;

constexpr uint32_t kMaxPackets = 1u << 16;
constexpr uint32_t kMaxPayload = 1u << 20;
// Longer than any image; a System Exclusive message that never ends is dropped.
constexpr size_t kMaxMessage = 4u << 20;
constexpr uint32_t kNoIndex = UINT32_MAX;
// Enough for a whole update of a few hundred packets.
constexpr size_t kMaxEvents = 4096;

uint32_t field(const uint8_t* p) {
    uint32_t v = 0;
    for (int k = 0; k < 8; ++k) v |= uint32_t(p[k]) << (4 * k);
    return v;
}

uint32_t checksum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += p[i];
    return sum;
}

// "dd.dd" from four digit bytes; empty when one is no digit.
std::string digitsText(const uint8_t* d) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        if (d[i] > 9) return {};
        if (i == 2) s += '.';
        s += char('0' + d[i]);
    }
    return s;
}

// F0 7E, device 00, 06 02, maker 00 7D 4B, family 01 00, model 02 00, the
// four revision characters of "dd.dd" (bytes 12-15), F7.
std::vector<uint8_t> identityReply(const std::string& version) {
    std::vector<uint8_t> m = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x7D, 0x4B, 0x01, 0x00, 0x02, 0x00};
    for (char c : version)
        if (c >= '0' && c <= '9' && m.size() < 16) m.push_back(uint8_t(c));
    m.resize(16, '0');
    m.push_back(0xF7);
    return m;
}

bool isIdentityRequest(const std::vector<uint8_t>& m) {
    return std::equal(m.begin(), m.end(), std::begin(kIdentityRequest), std::end(kIdentityRequest));
}

// At most the first 16 bytes; a long message is summed up, not dumped.
std::string hexOf(const std::vector<uint8_t>& m) {
    static const char hex[] = "0123456789ABCDEF";
    const size_t shown = std::min<size_t>(m.size(), 16);
    std::string s;
    for (size_t i = 0; i < shown; ++i) {
        if (i) s += ' ';
        s += hex[m[i] >> 4];
        s += hex[m[i] & 0x0F];
    }
    if (shown < m.size()) s += " ...";
    return s;
}

std::string packetText(int64_t packet) { return packet >= 0 ? " " + std::to_string(packet) : ""; }

std::string describeReceived(const std::vector<uint8_t>& m) {
    if (isIdentityRequest(m)) return "recv identity-request " + hexOf(m);
    if ((m[0] & 0xF0) == 0xC0 && m.size() == 2) return "recv program-change " + std::to_string(m[1]);
    if (isFirmwareMessage(m)) {
        const uint8_t type = m[6];
        if (type == kTypeHeader && m.size() == kHeaderBytes) {
            const std::string v = digitsText(&m[31]);
            return "recv header packets=" + std::to_string(field(&m[7])) + " size=" + std::to_string(field(&m[15])) +
                   " version=" + (v.empty() ? "?" : v);
        }
        if (type == kTypePacket && m.size() >= 15)
            return "recv packet " + std::to_string(field(&m[7])) +
                   (m.size() < kPacketOverhead ? " (" + std::to_string(m.size()) + " bytes)" : "");
        if (type == kTypeSingle && m.size() >= kSingleOverhead) {
            const std::string v = digitsText(&m[7]);
            return "recv single-image version=" + (v.empty() ? "?" : v) + " size=" + std::to_string(m.size());
        }
        return "recv firmware-message " + std::to_string(m.size()) + " bytes " + hexOf(m);
    }
    if (m[0] == 0xF0) return "recv sysex " + std::to_string(m.size()) + " bytes " + hexOf(m);
    return "recv " + hexOf(m);
}

std::string codeText(uint8_t code, int64_t packet) {
    switch (code) {
    case kReady: return "ready";
    case kPacketAck: return "ack" + packetText(packet);
    case kPacketError: return "packet-error" + packetText(packet);
    case kVerified: return "verified";
    case kVerifyStop: return "verify-stop";
    case kProgrammed: return "programmed";
    }
    return "code " + std::to_string(code);
}

}  // namespace

bool isFirmwareMessage(const std::vector<uint8_t>& m) {
    return m.size() >= 8 && m[0] == 0xF0 && m[1] == 0x00 && m[2] == 0x7D && m[3] == 0x4B && m[4] == 0x12;
}

AmpCore::AmpCore(AmpLink& link, std::string version, std::function<uint32_t()> now)
    : link_(link), now_(std::move(now)), version_(std::move(version)) {}

void AmpCore::close() {
    {
        std::lock_guard l(mu_);
        closed_ = true;
        actions_.clear();
    }
    // Waits out a runDue that may be at work on another thread.
    std::lock_guard run(runMu_);
}

void AmpCore::setVersion(const std::string& version) {
    std::lock_guard l(mu_);
    version_ = version;
}

void AmpCore::setSilent(bool silent) {
    std::lock_guard l(mu_);
    faults_.silent = silent;
}

void AmpCore::setFaults(const AmpFaults& faults) {
    std::lock_guard l(mu_);
    faults_ = faults;
}

void AmpCore::setTiming(const AmpTiming& timing) {
    std::lock_guard l(mu_);
    timing_ = timing;
}

int AmpCore::identityRequests() const {
    std::lock_guard l(mu_);
    return identityRequests_;
}

std::vector<uint8_t> AmpCore::programChanges() const {
    std::lock_guard l(mu_);
    return programs_;
}

int AmpCore::preset() const {
    std::lock_guard l(mu_);
    return programs_.empty() ? -1 : programs_.back();
}

bool AmpCore::headerReceived() const {
    std::lock_guard l(mu_);
    return headerSeen_;
}

int AmpCore::packetsReceived() const {
    std::lock_guard l(mu_);
    return packets_;
}

int AmpCore::packetErrorsSent() const {
    std::lock_guard l(mu_);
    return packetErrors_;
}

AmpState AmpCore::state() const {
    std::lock_guard l(mu_);
    return state_;
}

int AmpCore::rebootCount() const {
    std::lock_guard l(mu_);
    return reboots_;
}

std::string AmpCore::version() const {
    std::lock_guard l(mu_);
    return version_;
}

std::vector<AmpEvent> AmpCore::events() const {
    std::lock_guard l(mu_);
    return {events_.begin(), events_.end()};
}

// Splits the byte stream into messages: System Exclusive from F0 to F7, and
// the channel messages the amplifier cares about (program change, running
// status understood).
void AmpCore::received(const uint8_t* data, size_t n) {
    std::vector<std::vector<uint8_t>> done;
    Ops cut;  // System Exclusive cut short by another message's status byte
    {
        std::lock_guard l(mu_);
        const auto cutShort = [&] {
            if (pending_.size() > 1 && pending_[0] == 0xF0 && !closed_)
                push(cut, {Op::Note, {}, "recv sysex cut short after " + std::to_string(pending_.size()) + " bytes"});
        };
        for (size_t i = 0; i < n; ++i) {
            const uint8_t b = data[i];
            if (b >= 0xF8) continue;  // real-time bytes may come anywhere
            if (b == 0xF0) {
                cutShort();
                pending_.assign(1, b);
                running_ = 0;
            } else if (b == 0xF7) {
                if (!pending_.empty() && pending_[0] == 0xF0) {
                    pending_.push_back(b);
                    done.push_back(std::move(pending_));
                }
                pending_.clear();
            } else if (b & 0x80) {
                cutShort();
                pending_.assign(1, b);
                running_ = b < 0xF0 ? b : 0;
            } else if (!pending_.empty() && pending_[0] == 0xF0) {
                pending_.push_back(b);
                if (pending_.size() > kMaxMessage) pending_.clear();
            } else {
                if (pending_.empty() && running_) pending_.assign(1, running_);
                if (pending_.empty()) continue;
                pending_.push_back(b);
                const uint8_t kind = pending_[0] & 0xF0;
                const size_t need = (kind == 0xC0 || kind == 0xD0) ? 2 : 3;
                if (pending_.size() == need) {
                    done.push_back(std::move(pending_));
                    pending_.clear();
                }
            }
        }
    }
    apply(cut);
    for (const auto& m : done) {
        link_.received(m);
        message(m);
    }
}

void AmpCore::push(Ops& ops, Op op) {
    if (!op.line.empty()) {
        if (events_.size() == kMaxEvents) events_.pop_front();
        events_.push_back({now_(), op.line});
    }
    ops.push_back(std::move(op));
}

void AmpCore::message(const std::vector<uint8_t>& m) {
    Ops ops;
    {
        std::lock_guard l(mu_);
        if (closed_) return;
        push(ops, {Op::Note, {}, describeReceived(m)});
        if ((m[0] & 0xF0) == 0xC0 && m.size() == 2) {
            programs_.push_back(m[1]);
        } else if (isIdentityRequest(m)) {
            ++identityRequests_;
            // Nobody home while it restarts.
            if (!faults_.silent && state_ != AmpState::Rebooting && state_ != AmpState::Gone)
                push(ops, {Op::Send, identityReply(version_), "send identity-reply " + version_});
            // Another device on the same line answers the request to all, just after.
            if (!faults_.neighbourVersion.empty()) {
                std::vector<uint8_t> other = identityReply(faults_.neighbourVersion);
                other[2] = 0x01;
                push(ops, {Op::Send, std::move(other), "neighbour identity-reply " + faults_.neighbourVersion});
            }
        } else if (isFirmwareMessage(m)) {
            firmwareMessage(m, ops);
        }
    }
    apply(ops);
}

void AmpCore::firmwareMessage(const std::vector<uint8_t>& m, Ops& ops) {
    const uint8_t type = m[6];
    if (type == kTypePacket) {
        ++packets_;
        if (!faults_.silent && state_ == AmpState::Receiving) acceptPacket(m, ops);
        return;
    }
    if (type == kTypeHeader) {
        if (m.size() != kHeaderBytes) return;
        headerSeen_ = true;
        if (faults_.silent || state_ == AmpState::Rebooting || state_ == AmpState::Gone) return;
        const uint32_t count = field(&m[7]);
        const uint32_t size = field(&m[15]);
        const std::string version = digitsText(&m[31]);
        if (count == 0 || count > kMaxPackets || size == 0 || size > kMaxPayload || version.empty()) {
            push(ops, {Op::Note, {}, "refused header"});
            return;
        }
        // A header starts afresh, whatever the transfer before it came to.
        actions_.clear();
        state_ = AmpState::Receiving;
        handshake_ = true;
        quiet_ = false;
        ready_ = false;
        answering_ = false;
        packetCount_ = count;
        payloadSize_ = size;
        accepted_.assign(count, false);
        errorSent_.assign(count, false);
        acceptedCount_ = 0;
        newVersion_ = version;
        if (!faults_.noReadyReply) reply(kReady, -1, ops);
        return;
    }
    if (type == kTypeSingle) {
        if (faults_.silent || state_ == AmpState::Rebooting || state_ == AmpState::Gone) return;
        if (m.size() < kSingleOverhead) return;
        const size_t payload = m.size() - kSingleOverhead;
        const std::string version = digitsText(&m[7]);
        // A damaged image is not programmed: the amplifier keeps its firmware.
        if (field(&m[16]) != payload || field(&m[24]) != checksum(&m[kSinglePayloadAt], payload) ||
            version.empty()) {
            push(ops, {Op::Note, {}, "refused single-image"});
            return;
        }
        actions_.clear();
        handshake_ = false;
        newVersion_ = version;
        state_ = AmpState::Programming;
        schedule(timing_.programMs, Step::Programmed);
    }
}

void AmpCore::acceptPacket(const std::vector<uint8_t>& m, Ops& ops) {
    // Too short to carry an index: damaged.
    const uint32_t index = m.size() >= 15 ? field(&m[7]) : kNoIndex;
    const int64_t shown = index == kNoIndex ? -1 : int64_t(index);
    if (faults_.vanishAtPacket >= 0 && index == static_cast<uint32_t>(faults_.vanishAtPacket)) {
        actions_.clear();
        state_ = AmpState::Gone;
        push(ops, {Op::Note, {}, "gone"});
        ops.push_back({Op::Vanish, {}, {}});
        return;
    }
    if (faults_.silentAtPacket >= 0 && index == static_cast<uint32_t>(faults_.silentAtPacket)) quiet_ = true;
    if (quiet_) return;
    // Not listening yet, or still storing the packet before: the bytes go by.
    if (!ready_ || answering_) {
        push(ops, {Op::Note, {}, ready_ ? "ignored: busy" : "ignored: not ready"});
        return;
    }
    const bool whole = m.size() == size_t(payloadSize_) + kPacketOverhead && m.back() == 0xF7 &&
                       index < packetCount_ && field(&m[15]) == payloadSize_ &&
                       field(&m[23]) == checksum(&m[kPacketPayloadAt], payloadSize_);
    const bool injected = whole && faults_.packetErrorAt >= 0 &&
                          index == static_cast<uint32_t>(faults_.packetErrorAt) && !errorSent_[index];
    if (injected) errorSent_[index] = true;
    if (!whole || injected) ++packetErrors_;
    // An injected error loses the packet unless the amplifier recovers it;
    // the program does not send it again.
    if (whole && (!injected || faults_.recoversLostPacket) && !accepted_[index]) {
        accepted_[index] = true;
        ++acceptedCount_;
    }
    reply(whole && !injected ? kPacketAck : kPacketError, shown, ops);
    if (index == packetCount_ - 1) {
        state_ = AmpState::Verifying;
        // After its own answer, however late that goes.
        schedule(faults_.replyDelayMs + timing_.verifyMs, Step::Verified);
    }
}

void AmpCore::reply(uint8_t code, int64_t packet, Ops& ops) {
    if (faults_.replyDelayMs == 0) {
        sendCode(code, packet, ops);
        answered(code);
        return;
    }
    if (code == kPacketAck || code == kPacketError) answering_ = true;
    schedule(faults_.replyDelayMs, Step::Reply, code, packet);
}

void AmpCore::answered(uint8_t code) {
    if (code == kReady) ready_ = true;
    if (code == kPacketAck || code == kPacketError) answering_ = false;
}

void AmpCore::sendCode(uint8_t code, int64_t packet, Ops& ops) {
    push(ops, {Op::Send, {0xF0, 0x00, 0x7D, 0x4B, 0x12, 0x00, code, 0xF7}, "send " + codeText(code, packet)});
}

void AmpCore::schedule(uint32_t inMs, Step step, uint8_t code, int64_t packet) {
    scheduleAt(now_() + inMs, step, code, packet);
}

void AmpCore::scheduleAt(uint32_t due, Step step, uint8_t code, int64_t packet) {
    // Before the first one due later; equal times keep the order they were made in.
    auto at = std::find_if(actions_.begin(), actions_.end(),
                           [due](const Action& a) { return static_cast<int32_t>(a.due - due) > 0; });
    actions_.insert(at, Action{due, step, code, packet});
}

std::optional<uint32_t> AmpCore::msToNextStep() const {
    std::lock_guard l(mu_);
    if (closed_ || actions_.empty()) return std::nullopt;
    const int32_t left = static_cast<int32_t>(actions_.front().due - now_());
    return left > 0 ? uint32_t(left) : 0u;
}

void AmpCore::runDue() {
    std::lock_guard run(runMu_);
    Ops ops;
    {
        std::lock_guard l(mu_);
        if (closed_ || actions_.empty()) return;
        const uint32_t now = now_();
        // What is due now, in order. A step scheduled by one of these is
        // timed from now and so comes at a later pass (two replies never
        // arrive together), except a restart's end, which is timed from its
        // start and may already be due.
        while (!actions_.empty() && static_cast<int32_t>(now - actions_.front().due) >= 0) {
            const Action a = actions_.front();
            actions_.erase(actions_.begin());
            perform(a, ops);
        }
    }
    apply(ops);
}

void AmpCore::perform(const Action& a, Ops& ops) {
    switch (a.step) {
    case Step::Reply:
        if (faults_.silent) return;
        sendCode(a.code, a.packet, ops);
        answered(a.code);
        return;
    case Step::Verified:
        if (faults_.silentAtVerify) return;
        // A packet missing from the image fails the verify: nothing is programmed.
        if (faults_.verifyStop || acceptedCount_ != packetCount_) {
            state_ = AmpState::Idle;
            reply(kVerifyStop, -1, ops);
            return;
        }
        state_ = AmpState::Programming;
        sendCode(kVerified, -1, ops);
        schedule(timing_.programMs, Step::Programmed);
        return;
    case Step::Programmed:
        if (faults_.silentAtProgram) return;
        if (handshake_) sendCode(kProgrammed, -1, ops);
        state_ = AmpState::Rebooting;
        ++reboots_;
        schedule(timing_.rebootDelayMs, Step::Vanish);
        return;
    case Step::Vanish:
        if (faults_.noReboot) {
            push(ops, {Op::Note, {}, "restart (ports stay)"});
        } else {
            push(ops, {Op::Note, {}, "restart"});
            ops.push_back({Op::Vanish, {}, {}});
            unplugged_ = true;
        }
        // Timed from when the ports were due to go, so a restart that falls
        // within one long pause is over when the pause ends.
        scheduleAt(a.due + timing_.rebootMs, Step::Return);
        return;
    case Step::Return:
        version_ = faults_.versionAfterReboot.empty() ? newVersion_ : faults_.versionAfterReboot;
        state_ = AmpState::Idle;
        if (unplugged_) {
            ops.push_back({Op::Restore, {}, {}});
            unplugged_ = false;
        }
        push(ops, {Op::Note, {}, "back " + version_});
        return;
    }
}

void AmpCore::apply(const Ops& ops) {
    for (const Op& op : ops) {
        switch (op.kind) {
        case Op::Send:
            link_.note(op.line);
            link_.send(op.bytes);
            break;
        case Op::Vanish:
            link_.vanish();
            break;
        case Op::Restore:
            link_.restore();
            break;
        case Op::Note:
            link_.note(op.line);
            break;
        }
    }
}

}  // namespace sim
