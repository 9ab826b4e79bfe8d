// kolva-slow-gadget: a USB MIDI device that drains slower than the wire, for
// the kernel tests. Through gadgetfs on the kernel's dummy host controller it
// is a USB MIDI class device ("Slow MIDI") to the host's snd-usb-audio, and it
// reads its bulk OUT endpoint at a set pace, so the host meets NAKs as from
// an interface feeding a DIN cable; 0 bytes a second is a device that stalls.
// Every MIDI byte it takes is appended to the capture file, in order.
//
//   kolva-slow-gadget GADGETFS_FILE BYTES_PER_SECOND CAPTURE
// It prints "configured" once the host has set it up.
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint8_t kOut = 0x02, kIn = 0x81;  // dummy_udc's ep2out-bulk and ep1in-bulk

std::vector<uint8_t> config(uint16_t packet) {
    const uint8_t lo = packet & 0xFF, hi = packet >> 8;
    std::vector<uint8_t> d = {
        9, USB_DT_CONFIG, 101, 0, 2, 1, 0, 0x80, 50,
        // Audio control, with its class header naming the streaming interface.
        9, USB_DT_INTERFACE, 0, 0, 0, 1, 1, 0, 0,
        9, 0x24, 1, 0x00, 0x01, 9, 0, 1, 1,
        // MIDI streaming: one embedded and one external jack each way.
        9, USB_DT_INTERFACE, 1, 0, 2, 1, 3, 0, 0,
        7, 0x24, 1, 0x00, 0x01, 65, 0,
        6, 0x24, 2, 1, 1, 0,
        6, 0x24, 2, 2, 2, 0,
        9, 0x24, 3, 1, 3, 1, 2, 1, 0,
        9, 0x24, 3, 2, 4, 1, 1, 1, 0,
        9, USB_DT_ENDPOINT, kOut, USB_ENDPOINT_XFER_BULK, lo, hi, 0, 0, 0,
        5, 0x25, 1, 1, 1,
        9, USB_DT_ENDPOINT, kIn, USB_ENDPOINT_XFER_BULK, lo, hi, 0, 0, 0,
        5, 0x25, 1, 1, 3,
    };
    return d;
}

const std::vector<uint8_t> kDevice = {18, USB_DT_DEVICE, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x02, 0x00,
                                      0x00, 0x01, 1, 2, 0, 1};

// String descriptor n: 0 the language, 1 the maker, 2 the product.
std::vector<uint8_t> stringDescriptor(int n) {
    if (n == 0) return {4, USB_DT_STRING, 0x09, 0x04};
    const char* s = n == 1 ? "Kolva Tests" : "Slow MIDI";
    std::vector<uint8_t> d = {uint8_t(2 + 2 * std::strlen(s)), USB_DT_STRING};
    for (const char* c = s; *c; ++c) d.insert(d.end(), {uint8_t(*c), 0});
    return d;
}

// MIDI bytes in one USB MIDI event packet, by its code index.
int payload(uint8_t header) {
    static const int n[16] = {0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1};
    return n[header & 0x0F];
}

std::atomic<bool> configured{false};

void drain(const std::string& dir, double rate, FILE* capture) {
    int ep = -1;
    while ((ep = open((dir + "/ep2out-bulk").c_str(), O_RDWR)) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // A tag, then the full- and high-speed descriptors in their plain 7-byte form.
    std::vector<uint8_t> d = {1, 0, 0, 0};
    for (uint16_t packet : {64, 512})
        d.insert(d.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, kOut, USB_ENDPOINT_XFER_BULK,
                           uint8_t(packet & 0xFF), uint8_t(packet >> 8), 0});
    // The endpoint can be set up once the host has chosen the configuration.
    while (!configured) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (write(ep, d.data(), d.size()) < 0) std::perror("ep2out-bulk config");
    if (rate <= 0) {
        for (;;) pause();  // stalled: the endpoint is never read
    }
    uint8_t buf[512];
    // The device's own clock: each byte takes 1/rate from the one before.
    // The host's next transfer comes a little after the device is ready for
    // it (it retries after a NAK); up to 20 ms of that is made up, so the
    // device keeps its rate, and no more, so it never bursts after an idle
    // spell.
    auto ready = std::chrono::steady_clock::now();
    for (;;) {
        const ssize_t n = read(ep, buf, sizeof buf);
        if (n < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        const auto got = std::chrono::steady_clock::now();
        int taken = 0;
        for (ssize_t i = 0; i + 4 <= n; i += 4) {
            const int k = payload(buf[i]);
            fwrite(buf + i + 1, 1, size_t(k), capture);
            taken += k;
        }
        fflush(capture);
        // The next read waits until these bytes would have gone out at the
        // device's pace: the host meets NAKs meanwhile.
        ready = std::max(ready, got - std::chrono::milliseconds(20));
        ready += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(taken / rate));
        std::this_thread::sleep_until(ready);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: kolva-slow-gadget GADGETFS_FILE BYTES_PER_SECOND CAPTURE\n");
        return 2;
    }
    const std::string file = argv[1];
    const std::string dir = file.substr(0, file.rfind('/'));
    FILE* capture = std::fopen(argv[3], "ab");
    const int fd = open(argv[1], O_RDWR);
    if (fd < 0 || !capture) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<uint8_t> d = {0, 0, 0, 0};
    for (uint16_t packet : {64, 512}) {
        const auto c = config(packet);
        d.insert(d.end(), c.begin(), c.end());
    }
    d.insert(d.end(), kDevice.begin(), kDevice.end());
    if (write(fd, d.data(), d.size()) < 0) {
        std::perror("descriptors");
        return 1;
    }
    std::thread(drain, dir, std::atof(argv[2]), capture).detach();
    usb_gadgetfs_event events[5];
    for (;;) {
        const ssize_t n = read(fd, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            std::perror("ep0");
            return 1;
        }
        for (size_t i = 0; i < size_t(n) / sizeof events[0]; ++i) {
            if (events[i].type != GADGETFS_SETUP) continue;
            const usb_ctrlrequest& s = events[i].u.setup;
            int ack = 0;
            if (s.bRequest == USB_REQ_GET_DESCRIPTOR && (s.wValue >> 8) == USB_DT_STRING) {
                auto str = stringDescriptor(s.wValue & 0xFF);
                if (write(fd, str.data(), std::min<size_t>(str.size(), s.wLength)) < 0) std::perror("string");
                continue;
            }
            if (s.bRequest == USB_REQ_SET_CONFIGURATION && s.wValue == 1 && !configured.exchange(true)) {
                std::printf("configured\n");
                std::fflush(stdout);
            }
            if (s.bRequestType & USB_DIR_IN) {
                // Nothing else to tell: stall.
                if (write(fd, &ack, 0) < 0) {}
            } else if (read(fd, &ack, 0) < 0) {
            }
        }
    }
}
