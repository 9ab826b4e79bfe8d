// TMidiOut and TMidiIn over the virtual MIDI driver, under the virtual clock.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "midi/midi_in.h"
#include "midi/midi_out.h"
#include "platform/clock.h"
#include "platform/midi/virtual_midi.h"

using platform::midi::VirtualMidi;

namespace {

// The virtual clock is the process clock before the driver comes up and
// until after it has gone.
struct InstalledClock {
    InstalledClock() { platform::setClock(&clock); }
    ~InstalledClock() { platform::setClock(nullptr); }
    platform::VirtualClock clock;
};

class PortTest : public ::testing::Test {
protected:
    InstalledClock installed;
    platform::VirtualClock& clock = installed.clock;
    VirtualMidi vm;
};

std::vector<uint8_t> sysex(size_t length, uint8_t seed = 0) {
    std::vector<uint8_t> m(length);
    for (size_t i = 0; i < length; ++i) m[i] = uint8_t((i * 7 + seed) & 0x7F);
    m.front() = 0xF0;
    m.back() = 0xF7;
    return m;
}

// What an input port reported, collected from the notification thread.
struct Received {
    std::mutex m;
    std::vector<std::vector<uint8_t>> sysex;
    std::vector<std::array<uint8_t, 3>> shorts;
    std::vector<std::thread::id> threads;

    void attach(TMidiIn& in) {
        in.OnSysEx = [this](TMidiIn*, uint8_t* data, int size) {
            std::lock_guard<std::mutex> l(m);
            sysex.emplace_back(data, data + size);
            threads.push_back(std::this_thread::get_id());
        };
        in.OnShort = [this](TMidiIn*, uint8_t s, uint8_t a, uint8_t b) {
            std::lock_guard<std::mutex> l(m);
            shorts.push_back({s, a, b});
            threads.push_back(std::this_thread::get_id());
        };
    }
    size_t sysexCount() {
        std::lock_guard<std::mutex> l(m);
        return sysex.size();
    }
};

TEST_F(PortTest, DeviceListsAreCappedAtTwelveAndNamedFromTheService) {
    for (int i = 0; i < 14; ++i) {
        vm.addOutput("Out " + std::to_string(i));
        vm.addInput("In " + std::to_string(i));
    }
    TMidiOut out;
    TMidiIn in;
    ASSERT_EQ(out.NumDevs(), 12);
    ASSERT_EQ(in.NumDevs(), 12);
    for (int i = 0; i < 12; ++i) {
        EXPECT_STREQ(out.DevCaps[i].szPname, ("Out " + std::to_string(i)).c_str());
        EXPECT_STREQ(in.DevCaps[i].szPname, ("In " + std::to_string(i)).c_str());
    }
    // Devices 12 and 13 cannot be chosen.
    out.SetPort(12);
    out.SetPort(13);
    EXPECT_EQ(out.Port(), 0);
    out.SetPort(11);
    EXPECT_EQ(out.Port(), 11);
    in.SetPort(12);
    EXPECT_EQ(in.Port(), 0);
}

TEST_F(PortTest, WithoutDevicesEveryPortIsIgnoredAndOpeningRecordsTheError) {
    TMidiOut out;
    TMidiIn in;
    EXPECT_EQ(out.NumDevs(), 0);
    out.SetPort(0);
    in.SetPort(0);
    out.SetUsing(true);
    in.SetUsing(true);
    EXPECT_NE(out.OpenResult, 0u);
    EXPECT_NE(in.OpenResult, 0u);
    EXPECT_TRUE(out.Using()) << "Using follows the request, whatever the open returned";
    // Sends on a port whose open failed reach the service, fail and return.
    const auto block = sysex(37);
    out.SysEx(block.data(), int(block.size()));
    out.Put3(0x90, 60, 100);
    out.SetUsing(false);
    in.SetUsing(false);
}

TEST_F(PortTest, OutputOpensOnceAndOnlyWhenAsked) {
    const auto a = vm.addOutput("A"), b = vm.addOutput("B");
    TMidiOut out;
    out.SetPort(1);
    EXPECT_EQ(vm.openCount(b), 0) << "setting Port while closed does not touch the device";
    out.Reset();  // closed: nothing
    out.SetUsing(true);
    out.SetUsing(true);
    EXPECT_EQ(vm.openCount(b), 1);
    EXPECT_EQ(out.OpenResult, 0u);
    // Another port while open: the first closes, the second opens.
    out.SetPort(0);
    EXPECT_TRUE(out.Using());
    EXPECT_FALSE(vm.isOpen(b));
    EXPECT_TRUE(vm.isOpen(a));
    out.SetUsing(false);
    EXPECT_FALSE(vm.isOpen(a));
    EXPECT_EQ(out.CloseResult, 0u);
}

TEST_F(PortTest, ShortMessagesArePackedByteForByte) {
    const auto dev = vm.addOutput("A");
    TMidiOut out;
    out.Put2(0xC0, 5);  // closed: dropped
    out.SetUsing(true);
    out.Put2(0xC0, 5);
    out.Put3(0x90, 0x3C, 0x7F);
    out.Put1(0xF8);
    out.Put2Direct(0x00407FB0);  // controller 0x7F = 0x40, already packed
    vm.settle();
    EXPECT_EQ(vm.sent(dev), (std::vector<uint8_t>{0xC0, 0x05, 0x90, 0x3C, 0x7F, 0xF8, 0xB0, 0x7F, 0x40}));
}

TEST_F(PortTest, SysExSendsBlocksUnchangedAndDropsTinyOnes) {
    const auto dev = vm.addOutput("A");
    TMidiOut out;
    const auto block = sysex(300);
    EXPECT_FALSE(out.SysEx(block.data(), int(block.size())));  // closed
    out.SetUsing(true);
    const uint8_t two[] = {0xF0, 0xF7};
    EXPECT_FALSE(out.SysEx(two, 2));
    vm.settle();
    EXPECT_TRUE(vm.sent(dev).empty());
    const uint8_t three[] = {0xF0, 0x01, 0xF7};
    EXPECT_TRUE(out.SysEx(three, 3));
    EXPECT_TRUE(out.SysEx(block.data(), int(block.size())));
    std::vector<uint8_t> expect(three, three + 3);
    expect.insert(expect.end(), block.begin(), block.end());
    EXPECT_EQ(vm.sent(dev), expect) << "SysEx returns only once the block has gone out";
}

TEST_F(PortTest, SysExOnASlowWireReturnsAfterTheWireTime) {
    const auto dev = vm.addOutput("DIN");
    vm.setWireRate(dev, 31250);
    TMidiOut out;
    out.SetUsing(true);
    const auto block = sysex(3125);  // one second on the wire
    const uint64_t before = clock.nowMs();
    out.SysEx(block.data(), int(block.size()));
    EXPECT_GE(clock.nowMs() - before, 999u);
    EXPECT_LE(clock.nowMs() - before, 1100u);
    EXPECT_EQ(vm.sent(dev), block);
}

// Closing (a time-out, another port chosen) does not wait seconds for the
// wire: the block is cut off and its sender told so.
TEST_F(PortTest, CloseAbortsABlockInFlightOnAnotherThread) {
    const auto dev = vm.addOutput("DIN");
    vm.setWireRate(dev, 31250);
    TMidiOut out;
    out.SetUsing(true);
    // Long enough that the sender, stepping virtual time on its own, cannot
    // finish it while this thread waits to be scheduled on a busy machine.
    const auto block = sysex(1000000);
    std::atomic<int> whole{-1};
    std::thread sender([&] { whole = out.SysEx(block.data(), int(block.size())); });
    // Let the block get going, then close from here as the window would.
    while (vm.sent(dev).empty()) std::this_thread::yield();
    const uint64_t before = clock.nowMs();
    out.SetUsing(false);
    EXPECT_LT(clock.nowMs() - before, 100u);
    sender.join();
    EXPECT_EQ(whole, 0);
    EXPECT_EQ(out.CloseResult, 0u);
    EXPECT_FALSE(vm.isOpen(dev));
    EXPECT_LT(vm.sent(dev).size(), block.size());
}

TEST_F(PortTest, AnOutputThatVanishesMidBlockDoesNotHangTheSender) {
    const auto dev = vm.addOutput("USB");
    vm.setWireRate(dev, 31250);
    TMidiOut out;
    out.SetUsing(true);
    // Long enough that the sender, stepping virtual time on its own, cannot
    // finish it while this thread waits to be scheduled on a busy machine.
    const auto block = sysex(1000000);
    std::atomic<int> whole{-1};
    std::thread sender([&] { whole = out.SysEx(block.data(), int(block.size())); });
    while (vm.sent(dev).empty()) std::this_thread::yield();
    vm.unplug(dev);
    sender.join();  // returns: the service marks the block done with an error
    EXPECT_EQ(whole, 0) << "a block cut short is not reported sent";
    EXPECT_LT(vm.sent(dev).size(), block.size());
    out.SetUsing(false);
}

TEST_F(PortTest, RepliesArriveWholeOnTheServiceThread) {
    const auto dev = vm.addInput("Amp");
    TMidiIn in;
    Received got;
    got.attach(in);
    in.SetUsing(true);
    ASSERT_EQ(in.OpenResult, 0u);
    ASSERT_TRUE(in.BuffersQueued);
    const auto reply = sysex(37);
    vm.feed(dev, reply);
    const auto big = sysex(20000, 3);
    vm.feed(dev, big);
    vm.settle();
    ASSERT_EQ(got.sysex.size(), 3u);
    EXPECT_EQ(got.sysex[0], reply);
    ASSERT_EQ(got.sysex[1].size(), 16000u);
    ASSERT_EQ(got.sysex[2].size(), 4000u);
    std::vector<uint8_t> joined = got.sysex[1];
    joined.insert(joined.end(), got.sysex[2].begin(), got.sysex[2].end());
    EXPECT_EQ(joined, big);
    for (auto id : got.threads) EXPECT_NE(id, std::this_thread::get_id());
    in.SetUsing(false);
    EXPECT_EQ(in.CloseResult, 0u);
}

TEST_F(PortTest, BuffersGoBackToTheDeviceWhetherOrNotTheyAreReported) {
    const auto dev = vm.addInput("Amp");
    TMidiIn in;
    Received got;
    in.SetUsing(true);
    // No handler, then events off, then cut short: more than the 16 buffers.
    for (int i = 0; i < 20; ++i) vm.feed(dev, sysex(37, uint8_t(i)));
    vm.settle();
    got.attach(in);
    in.SetUseSysEx(false);
    for (int i = 0; i < 20; ++i) vm.feed(dev, sysex(37, uint8_t(i)));
    vm.settle();
    EXPECT_EQ(got.sysexCount(), 0u);
    // Twenty messages cut short by a status byte: not reported, buffers kept.
    for (int i = 0; i < 20; ++i) vm.feed(dev, {0xF0, 0x00, 0x7D, 0x90, 0x3C, 0x40});
    vm.settle();
    in.SetUseSysEx(true);
    for (int i = 0; i < 100; ++i) vm.feed(dev, sysex(37, uint8_t(i)));
    vm.settle();
    ASSERT_EQ(got.sysexCount(), 100u) << "a flood of replies loses none";
    for (int i = 0; i < 100; ++i) EXPECT_EQ(got.sysex[size_t(i)], sysex(37, uint8_t(i)));
    in.SetUsing(false);
}

TEST_F(PortTest, ShortMessagesReachOnShortOnlyWhileWanted) {
    const auto dev = vm.addInput("Amp");
    TMidiIn in;
    in.SetUsing(true);
    vm.feed(dev, {0xC0, 0x05});  // no handler: dropped
    vm.settle();
    Received got;
    got.attach(in);
    vm.feed(dev, {0xC0, 0x07, 0x90, 0x3C, 0x40, 0x3E, 0x00});  // running status
    in.SetUseShort(true);
    vm.settle();
    in.SetUseShort(false);
    vm.feed(dev, {0xC0, 0x09});
    vm.settle();
    ASSERT_EQ(got.shorts.size(), 3u);
    EXPECT_EQ(got.shorts[0], (std::array<uint8_t, 3>{0xC0, 0x07, 0x00}));
    EXPECT_EQ(got.shorts[1], (std::array<uint8_t, 3>{0x90, 0x3C, 0x40}));
    EXPECT_EQ(got.shorts[2], (std::array<uint8_t, 3>{0x90, 0x3E, 0x00}));
    in.SetUsing(false);
}

TEST_F(PortTest, ClosingWhileDataArrivesReportsNothingMoreAndReleasesTheDevice) {
    const auto dev = vm.addInput("Amp");
    TMidiIn in;
    Received got;
    got.attach(in);
    in.SetUsing(true);
    vm.feed(dev, sysex(37));
    vm.settle();
    ASSERT_EQ(got.sysexCount(), 1u);
    // Half a message sits in a buffer when the port closes: the reset hands
    // it back, and nothing is reported for it.
    auto part = sysex(500);
    part.pop_back();
    vm.feed(dev, part);
    vm.settle();
    in.SetUsing(false);
    EXPECT_TRUE(in.Closing);
    EXPECT_FALSE(in.BuffersQueued);
    EXPECT_EQ(in.CloseResult, 0u);
    EXPECT_FALSE(vm.isOpen(dev));
    EXPECT_EQ(got.sysexCount(), 1u);
}

TEST_F(PortTest, ClosingRacingAFloodAlwaysReleasesTheDevice) {
    const auto dev = vm.addInput("Amp");
    TMidiIn in;
    Received got;
    got.attach(in);
    for (int round = 0; round < 20; ++round) {
        in.SetUsing(true);
        std::thread feeder([&] {
            for (int i = 0; i < 50; ++i) vm.feed(dev, sysex(37, uint8_t(i)));
        });
        in.SetUsing(false);
        feeder.join();
        ASSERT_EQ(in.CloseResult, 0u) << "round " << round;
        ASSERT_FALSE(vm.isOpen(dev)) << "round " << round;
        vm.settle();
    }
}

TEST_F(PortTest, SwitchingInputPortsRequeuesEveryBuffer) {
    const auto a = vm.addInput("A"), b = vm.addInput("B");
    TMidiIn in;
    Received got;
    got.attach(in);
    in.SetUsing(true);
    in.SetPort(1);
    EXPECT_FALSE(vm.isOpen(a));
    EXPECT_TRUE(vm.isOpen(b));
    EXPECT_TRUE(in.BuffersQueued);
    // All sixteen buffers are queued again on the new device: sixteen
    // messages that nobody hands back in between all arrive.
    for (int i = 0; i < 16; ++i) vm.feed(b, sysex(37, uint8_t(i)));
    vm.settle();
    EXPECT_EQ(got.sysexCount(), 16u);
    in.SetUsing(false);
}

TEST_F(PortTest, ABusyDeviceFailsToOpen) {
    const auto dev = vm.addOutput("Held");
    const auto idev = vm.addInput("Held");
    vm.setBusy(dev, true);
    vm.setBusy(idev, true);
    TMidiOut out;
    TMidiIn in;
    out.SetUsing(true);
    in.SetUsing(true);
    EXPECT_EQ(out.OpenResult, MMSYSERR_ALLOCATED);
    EXPECT_EQ(in.OpenResult, MMSYSERR_ALLOCATED);
    out.SetUsing(false);
    in.SetUsing(false);
    vm.setBusy(dev, false);
    out.SetUsing(true);
    EXPECT_EQ(out.OpenResult, 0u);
}

}  // namespace
