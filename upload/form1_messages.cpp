// The main window's side of the device protocol: the SysEx reply handler,
// the response time-out and Midi > Test Connection.
#include <QMetaObject>
#include <cstring>

#include "app/unit1.h"
#include "platform/dialogs.h"
#include "upload/device_messages.h"

namespace {
constexpr int kLogLines = 20;  // lines kept before the oldest goes
}

std::string TForm1::ampVersionString() const {
    std::lock_guard<std::mutex> l(ampVersionMutex_);
    return std::string(ampVersionText);
}

void TForm1::MidiIn1SysEx(TMidiIn*, uint8_t* data, int size) {
    if (data == nullptr || size <= 0) return;
    const upload::Reply reply = upload::decodeReply(data, size_t(size));
    if (reply.identity) {
        {
            std::lock_guard<std::mutex> l(ampVersionMutex_);
            std::memcpy(ampVersionText, reply.versionText, sizeof ampVersionText);
        }
        ampVersion.store(reply.version, std::memory_order_release);
        if (reply.version == awaitedVersion.load(std::memory_order_acquire))
            awaitedVersionSeen.store(true, std::memory_order_release);
    }
    if (reply.code) {
        repliesSeen.add(*reply.code);
        replyCode.store(*reply.code, std::memory_order_release);
    }

    // The widgets belong to the UI thread: queue the rest for it.
    ReplyLogEntry entry;
    entry.line = QString::fromLatin1(upload::logLine(data, size_t(size)).c_str());
    if (reply.identity) entry.version = QString::fromLatin1(reply.versionText);
    bool first = false;
    {
        std::lock_guard<std::mutex> l(replyLogMutex_);
        first = replyLog_.empty();
        replyLog_.push_back(std::move(entry));
    }
    if (first) QMetaObject::invokeMethod(this, "drainReplyLog", Qt::QueuedConnection);
}

void TForm1::clearReplies() {
    repliesSeen.clear();
    awaitedVersionSeen.store(false, std::memory_order_release);
    replyCode.store(0, std::memory_order_release);
}

void TForm1::drainReplyLog() {
    std::vector<ReplyLogEntry> entries;
    {
        std::lock_guard<std::mutex> l(replyLogMutex_);
        entries.swap(replyLog_);
    }
    for (const ReplyLogEntry& e : entries) {
        if (Memo1->lineCount() > kLogLines) Memo1->deleteLine(0);
        Memo1->addLine(e.line);
        if (e.version.isEmpty()) continue;
        Memo1->addLine(e.version);
        StatusBar2->setPanelText(1, "Version " + e.version);
        if (showTestVersion) showTestVersion(e.version);
    }
}

void TForm1::initTimeout(uint32_t ms) {
    Timer4.setEnabled(false);
    Timer4.setInterval(ms);
    Timer4.setEnabled(true);
    timedOut = false;
}

void TForm1::Timer4Timer() {
    Timer4.setEnabled(false);
    timedOut = true;
}

bool TForm1::timeoutCheck() {
    if (timedOut) {
        std::string text = "Error. Device not responding. Power cycle amp and try again.";
        // Silence is no proof the amplifier is at fault when someone else was
        // talking to it: what they sent may have garbled ours.
        if (const QString others = othersOnLineNames(); !others.isEmpty())
            text += " " + QString("Another program (%1) is connected to the amp's MIDI port and may have disturbed the "
                                  "update: close it first.")
                              .arg(others)
                              .toStdString();
        stopWarning();
        platform::messageBox(text, "Status", platform::Buttons::Ok);
        deSelectCurrentMidi();
    }
    return timedOut;
}

void TForm1::TestMidiConnection1Click() {
    // A transfer's replies must not be mixed with a test's.
    if (!showTestWindow || runActive_) return;
    showTestWindow();
}
