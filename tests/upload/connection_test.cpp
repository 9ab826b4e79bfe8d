// The reply handler, the response time-out and the MIDI test window on the
// main window, with a simulated amplifier on the virtual MIDI driver.
#include <QLabel>
#include <QTimer>
#include <QToolButton>

#include "midi/midi_out.h"
#include "platform/midi/virtual_midi.h"
#include "setup/unit4.h"
#include "sim/simulated_amp.h"
#include "tests/support/amp_fixture.h"
#include "upload/device_messages.h"

using platform::midi::VirtualMidi;

namespace {

class ConnectionTest : public AmpFixture {
protected:
    void startConnected() {
        start();
        choosePorts();
        ASSERT_TRUE(form->midiOutReady);
        ASSERT_TRUE(form->midiInReady);
    }
    // Lets the amplifier answer and the window handle what the input thread posted.
    void pump() {
        vm->settle();
        clock.processMessages();
    }
    void reply(std::vector<uint8_t> m) {
        vm->feed(ampOut, std::move(m));
        pump();
    }
};

TEST_F(ConnectionTest, EachTestPressSendsAnIdentityRequestAndTheNextProgram) {
    startConnected();
    for (int i = 0; i < 5; ++i) {
        form4->Shape1MouseDown(i == 2 ? Qt::RightButton : Qt::LeftButton);
        EXPECT_TRUE(form4->Image2->isHidden());
        EXPECT_FALSE(form4->Image3->isHidden());
        form4->Shape1MouseUp(Qt::LeftButton);
        EXPECT_FALSE(form4->Image2->isHidden());
        EXPECT_TRUE(form4->Image3->isHidden());
    }
    pump();
    std::vector<uint8_t> expect;
    for (uint8_t program : {1, 2, 3, 0, 1}) {
        expect.insert(expect.end(), std::begin(upload::identityRequest), std::end(upload::identityRequest));
        expect.push_back(0xC0);
        expect.push_back(program);
    }
    EXPECT_EQ(vm->sent(ampIn), expect);
    EXPECT_EQ(amp->identityRequests(), 5);
    EXPECT_EQ(amp->programChanges(), (std::vector<uint8_t>{1, 2, 3, 0, 1}));
}

TEST_F(ConnectionTest, TheIdentityReplyShowsTheAmplifiersVersionEverywhere) {
    startConnected();
    form4->Shape1MouseDown(Qt::LeftButton);
    pump();
    EXPECT_EQ(form->replyCode.load(), upload::replyIdentity);
    EXPECT_EQ(form->ampVersion.load(), 0x00020006u);
    EXPECT_EQ(form->ampVersionString(), "02.06");
    EXPECT_EQ(form->StatusBar2->panelText(1), "Version 02.06");
    EXPECT_FALSE(form4->Label2->isHidden()) << "shown even while the window is hidden";
    EXPECT_EQ(form4->Label2->text(), "Connected, current code version is 02.06");
    const QStringList& log = form->Memo1->Lines();
    ASSERT_GE(log.size(), 3);
    EXPECT_EQ(log[log.size() - 2].left(15), "F0 7E 00 06 02 ");
    EXPECT_TRUE(log[log.size() - 2].endsWith("F7 "));
    EXPECT_EQ(log.last(), "02.06");
}

TEST_F(ConnectionTest, TheLogKeepsTwentyOneLinesOfOrdinaryTraffic) {
    startConnected();
    ASSERT_EQ(form->Memo1->lineCount(), 1);
    for (int i = 0; i < 20; ++i) reply({0xF0, 0x00, 0x01, 0x02, 0x03, 0x04, uint8_t(i), 0xF7});
    EXPECT_EQ(form->Memo1->lineCount(), 21);
    EXPECT_EQ(form->Memo1->Lines().first(), "Memo1");
    reply({0xF0, 0x00, 0x01, 0x02, 0x03, 0x04, 0x7C, 0xF7});
    EXPECT_EQ(form->Memo1->lineCount(), 21);
    EXPECT_EQ(form->Memo1->Lines().first(), "F0 00 01 02 03 04 00 F7 ");
    EXPECT_EQ(form->replyCode.load(), upload::replyPacketAck);
    // An identity reply adds two lines and removes one.
    reply(upload::identityReplyBytes("01.59"));
    EXPECT_EQ(form->Memo1->lineCount(), 22);
    EXPECT_EQ(form->ampVersion.load(), upload::kLastOpenLoopVersion);
}

TEST_F(ConnectionTest, OnlyAWholeReplyIsReadAndOddOnesAreLoggedWithoutHarm) {
    startConnected();
    form->replyCode = upload::replyReady;
    reply({0xF0, 0x7E, 0xF7});
    // Universal non-real-time, but no identity reply: too short, or another sub-ID.
    reply({0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x00, 0x7A, 0x01, 0xF7});
    auto tuning = upload::identityReplyBytes("11.11");
    tuning[3] = 0x08;
    reply(tuning);
    // A 20,000-byte message comes in two buffers, neither of them whole;
    // every byte of it would read as a packet acknowledgement.
    std::vector<uint8_t> big(20000, upload::replyPacketAck);
    big.front() = 0xF0;
    big.back() = 0xF7;
    reply(big);
    EXPECT_EQ(form->replyCode.load(), upload::replyReady);
    EXPECT_FALSE(form->replied(upload::replyPacketAck));
    EXPECT_EQ(form->ampVersion.load(), 0u);
    EXPECT_EQ(form->Memo1->Lines()[1], "F0 7E F7 ");
    EXPECT_EQ(form->Memo1->lineCount(), 6) << "every buffer is logged";
    EXPECT_TRUE(form->StatusBar2->panelText(1).isEmpty());
}

TEST_F(ConnectionTest, TheTimeOutReportsAndReleasesThePorts) {
    startConnected();
    // Timer4 runs from start-up: one second later the time-out has run out.
    EXPECT_FALSE(form->timedOut);
    clock.runFor(1000);
    EXPECT_TRUE(form->timedOut);

    form->initTimeout(3000);
    EXPECT_FALSE(form->timeoutCheck());
    EXPECT_TRUE(dialogs.shown().empty());
    clock.runFor(2999);
    EXPECT_FALSE(form->timeoutCheck());
    clock.runFor(1);
    EXPECT_TRUE(form->timeoutCheck());
    ASSERT_EQ(dialogs.shown().size(), 1u);
    EXPECT_EQ(dialogs.shown()[0].text, "Error. Device not responding. Power cycle amp and try again.");
    EXPECT_EQ(dialogs.shown()[0].caption, "Status");
    EXPECT_FALSE(form->midiOutReady);
    EXPECT_FALSE(form->midiInReady);
    EXPECT_FALSE(vm->isOpen(ampIn));
    EXPECT_FALSE(vm->isOpen(ampOut));
    EXPECT_FALSE(form->Timer4.Enabled()) << "the timer fires once per initTimeout";
}

TEST_F(ConnectionTest, TestConnectionHidesTheOldAnswerAndShowsTheNewOneWhileOpen) {
    startConnected();
    form4->Shape1MouseDown(Qt::LeftButton);
    pump();
    ASSERT_FALSE(form4->Label2->isHidden());
    amp->setVersion("02.10");
    bool hiddenAtShow = false;
    QTimer::singleShot(0, form4.get(), [&] {
        hiddenAtShow = form4->Label2->isHidden();
        form4->Shape1MouseDown(Qt::LeftButton);
        form4->Shape1MouseUp(Qt::LeftButton);
        vm->settle();
        QTimer::singleShot(0, form4.get(), [&] { form4->SpeedButton1->click(); });
    });
    form->TestMidiConnection1->trigger();  // modal: returns when closed
    EXPECT_TRUE(hiddenAtShow);
    EXPECT_FALSE(form4->isVisible());
    EXPECT_EQ(form4->Label2->text(), "Connected, current code version is 02.10");
    EXPECT_EQ(form->ampVersionString(), "02.10");
}

TEST_F(ConnectionTest, WithoutAnOpenOutputPressesSendNothingButCount) {
    start();
    form4->Shape1MouseDown(Qt::LeftButton);
    form4->Shape1MouseDown(Qt::LeftButton);
    pump();
    EXPECT_TRUE(vm->sent(ampIn).empty());
    EXPECT_EQ(form4->testWindowProgram, 2);
    EXPECT_TRUE(form4->Label2->isHidden());
}

}  // namespace
