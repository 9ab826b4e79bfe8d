#include "sim/amp_core.h"

#include <algorithm>
#include <iterator>

#include "firmware/firmware_header.h"
#include "firmware/syx_generator.h"
#include "upload/device_messages.h"

namespace sim {

namespace {

constexpr uint32_t kMaxPackets = 1u << 16;
constexpr uint32_t kMaxPayload = 1u << 20;
// Longer than any image; a System Exclusive message that never ends is dropped.
constexpr size_t kMaxMessage = 4u << 20;
constexpr uint32_t kNoIndex = UINT32_MAX;

std::string digitsText(const uint8_t* d) { return firmware::versionText(firmware::packVersion(d, true)); }

// At most the first 16 bytes; a long message is summed up, not dumped.
std::string hexOf(const std::vector<uint8_t>& m) {
    const size_t shown = std::min<size_t>(m.size(), 16);
    std::string s = upload::logLine(m.data(), shown);
    if (!s.empty()) s.pop_back();
    if (shown < m.size()) s += " ...";
    return s;
}

std::string packetText(int64_t packet) { return packet >= 0 ? " " + std::to_string(packet) : ""; }

std::string describeReceived(const std::vector<uint8_t>& m) {
    if (m.size() == sizeof upload::identityRequest &&
        std::equal(m.begin(), m.end(), std::begin(upload::identityRequest)))
        return "recv identity-request " + hexOf(m);
    if ((m[0] & 0xF0) == 0xC0 && m.size() == 2) return "recv program-change " + std::to_string(m[1]);
    if (isFirmwareMessage(m)) {
        const uint8_t type = m[6];
        if (type == firmware::kTypePacket && m.size() == firmware::kPacketHeaderBytes)
            return "recv header packets=" + std::to_string(firmware::nibbleField(&m[7])) +
                   " size=" + std::to_string(firmware::nibbleField(&m[15])) + " version=" + digitsText(&m[31]);
        if (type == firmware::kTypePacketMessage && m.size() >= 15)
            return "recv packet " + std::to_string(firmware::nibbleField(&m[7])) +
                   (m.size() < firmware::kPacketOverhead ? " (" + std::to_string(m.size()) + " bytes)" : "");
        if (type == firmware::kTypeSingle && m.size() >= firmware::kSingleOverhead)
            return "recv single-image version=" + digitsText(&m[7]) + " size=" + std::to_string(m.size());
        return "recv firmware-message " + std::to_string(m.size()) + " bytes " + hexOf(m);
    }
    if (m[0] == 0xF0) return "recv sysex " + std::to_string(m.size()) + " bytes " + hexOf(m);
    return "recv " + hexOf(m);
}

std::string codeText(uint8_t code, int64_t packet) {
    switch (code) {
    case upload::replyReady: return "ready";
    case upload::replyPacketAck: return "ack" + packetText(packet);
    case upload::replyPacketError: return "packet-error" + packetText(packet);
    case upload::replyVerified: return "verified";
    case upload::replyVerifyStop: return "verify-stop";
    case upload::replyProgrammed: return "programmed";
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

// Splits the byte stream into messages: System Exclusive from F0 to F7, and
// the channel messages the amplifier cares about (program change, running
// status understood).
void AmpCore::received(const uint8_t* data, size_t n) {
    std::vector<std::vector<uint8_t>> done;
    {
        std::lock_guard l(mu_);
        for (size_t i = 0; i < n; ++i) {
            const uint8_t b = data[i];
            if (b >= 0xF8) continue;  // real-time bytes may come anywhere
            if (b == 0xF0) {
                pending_.assign(1, b);
                running_ = 0;
            } else if (b == 0xF7) {
                if (!pending_.empty() && pending_[0] == 0xF0) {
                    pending_.push_back(b);
                    done.push_back(std::move(pending_));
                }
                pending_.clear();
            } else if (b & 0x80) {
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
    for (const auto& m : done) {
        link_.received(m);
        message(m);
    }
}

void AmpCore::message(const std::vector<uint8_t>& m) {
    Ops ops;
    {
        std::lock_guard l(mu_);
        if (closed_) return;
        ops.push_back({Op::Note, {}, describeReceived(m)});
        if ((m[0] & 0xF0) == 0xC0 && m.size() == 2) {
            programs_.push_back(m[1]);
        } else if (m.size() == sizeof upload::identityRequest &&
                   std::equal(m.begin(), m.end(), std::begin(upload::identityRequest))) {
            ++identityRequests_;
            // Nobody home while it restarts.
            if (!faults_.silent && state_ != AmpState::Rebooting && state_ != AmpState::Gone)
                ops.push_back({Op::Send, upload::identityReplyBytes(version_), "send identity-reply " + version_});
        } else if (isFirmwareMessage(m)) {
            firmwareMessage(m, ops);
        }
    }
    apply(ops);
}

void AmpCore::firmwareMessage(const std::vector<uint8_t>& m, Ops& ops) {
    const uint8_t type = m[6];
    if (type == firmware::kTypePacketMessage) {
        ++packets_;
        if (!faults_.silent && state_ == AmpState::Receiving) acceptPacket(m, ops);
        return;
    }
    if (type == firmware::kTypePacket) {
        if (m.size() != firmware::kPacketHeaderBytes) return;
        headerSeen_ = true;
        if (faults_.silent || state_ == AmpState::Rebooting || state_ == AmpState::Gone) return;
        const uint32_t count = firmware::nibbleField(&m[7]);
        const uint32_t size = firmware::nibbleField(&m[15]);
        if (count == 0 || count > kMaxPackets || size == 0 || size > kMaxPayload) return;
        // A header starts afresh, whatever the transfer before it came to.
        actions_.clear();
        state_ = AmpState::Receiving;
        handshake_ = true;
        quiet_ = false;
        packetCount_ = count;
        payloadSize_ = size;
        accepted_.assign(count, false);
        errorSent_.assign(count, false);
        acceptedCount_ = 0;
        newVersion_ = digitsText(&m[31]);
        if (!faults_.noReadyReply) reply(static_cast<uint8_t>(upload::replyReady), -1, ops);
        return;
    }
    if (type == firmware::kTypeSingle) {
        if (faults_.silent || state_ == AmpState::Rebooting || state_ == AmpState::Gone) return;
        if (m.size() < firmware::kSingleOverhead) return;
        const size_t payload = m.size() - firmware::kSingleOverhead;
        // A damaged image is not programmed: the amplifier keeps its firmware.
        if (firmware::nibbleField(&m[16]) != payload ||
            firmware::nibbleField(&m[24]) != firmware::payloadChecksum(&m[32], payload))
            return;
        actions_.clear();
        handshake_ = false;
        newVersion_ = digitsText(&m[7]);
        state_ = AmpState::Programming;
        schedule(timing_.programMs, Step::Programmed);
    }
}

void AmpCore::acceptPacket(const std::vector<uint8_t>& m, Ops& ops) {
    // Too short to carry an index: damaged.
    const uint32_t index = m.size() >= 15 ? firmware::nibbleField(&m[7]) : kNoIndex;
    const int64_t shown = index == kNoIndex ? -1 : int64_t(index);
    if (faults_.vanishAtPacket >= 0 && index == static_cast<uint32_t>(faults_.vanishAtPacket)) {
        actions_.clear();
        state_ = AmpState::Gone;
        ops.push_back({Op::Note, {}, "gone"});
        ops.push_back({Op::Vanish, {}, {}});
        return;
    }
    if (faults_.silentAtPacket >= 0 && index == static_cast<uint32_t>(faults_.silentAtPacket)) quiet_ = true;
    if (quiet_) return;
    const bool whole = m.size() == size_t(payloadSize_) + firmware::kPacketOverhead && index < packetCount_ &&
                       firmware::nibbleField(&m[15]) == payloadSize_ &&
                       firmware::nibbleField(&m[23]) == firmware::payloadChecksum(&m[36], payloadSize_);
    const bool injected = whole && faults_.packetErrorAt >= 0 &&
                          index == static_cast<uint32_t>(faults_.packetErrorAt) && !errorSent_[index];
    if (!whole) {
        ++packetErrors_;
        reply(static_cast<uint8_t>(upload::replyPacketError), shown, ops);
        return;
    }
    // An injected error is a hiccup the amplifier reports and recovers from:
    // the packet's data is kept, as the program does not send it again.
    if (!accepted_[index]) {
        accepted_[index] = true;
        ++acceptedCount_;
    }
    if (injected) {
        errorSent_[index] = true;
        ++packetErrors_;
    }
    reply(static_cast<uint8_t>(injected ? upload::replyPacketError : upload::replyPacketAck), shown, ops);
    if (acceptedCount_ == packetCount_) {
        state_ = AmpState::Verifying;
        // After its own ack, however late that goes.
        schedule(faults_.replyDelayMs + timing_.verifyMs, Step::Verified);
    }
}

void AmpCore::reply(uint8_t code, int64_t packet, Ops& ops) {
    if (faults_.replyDelayMs == 0)
        sendCode(code, packet, ops);
    else
        schedule(faults_.replyDelayMs, Step::Reply, code, packet);
}

void AmpCore::sendCode(uint8_t code, int64_t packet, Ops& ops) {
    ops.push_back({Op::Send, {0xF0, 0x00, 0x7D, 0x4B, 0x12, 0x00, code, 0xF7}, "send " + codeText(code, packet)});
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
        if (!faults_.silent) sendCode(a.code, a.packet, ops);
        return;
    case Step::Verified:
        if (faults_.silentAtVerify) return;
        if (faults_.verifyStop) {
            state_ = AmpState::Idle;
            reply(static_cast<uint8_t>(upload::replyVerifyStop), -1, ops);
            return;
        }
        state_ = AmpState::Programming;
        sendCode(upload::replyVerified, -1, ops);
        schedule(timing_.programMs, Step::Programmed);
        return;
    case Step::Programmed:
        if (faults_.silentAtProgram) return;
        if (handshake_) sendCode(upload::replyProgrammed, -1, ops);
        state_ = AmpState::Rebooting;
        ++reboots_;
        schedule(timing_.rebootDelayMs, Step::Vanish);
        return;
    case Step::Vanish:
        if (faults_.noReboot) {
            ops.push_back({Op::Note, {}, "restart (ports stay)"});
        } else {
            ops.push_back({Op::Note, {}, "restart"});
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
        ops.push_back({Op::Note, {}, "back " + version_});
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
