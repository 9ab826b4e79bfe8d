#pragma once
// What carries kolva-amp-sim's bytes: a raw MIDI device or sequencer ports.
// Everything runs on the program's one thread.

#include <poll.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/amp_core.h"

namespace sim {

// One line to stdout, flushed, so a test can follow along.
void say(const std::string& line);
// SIGINT or SIGTERM has come: long waits give up.
bool stopRequested();
// Tries again every 50 ms for up to 10 s, the time a device takes to come
// back; false when it never worked or a stop came.
bool retryForAWhile(const std::function<bool()>& attempt);

class ProgramLink : public AmpLink {
public:
    // The device or ports; false, with error set, when they cannot be had.
    virtual bool open(std::string& error) = 0;
    virtual std::string where() const = 0;
    // What to wait on for input; empty while the ports are gone.
    virtual std::vector<pollfd> pollFds() = 0;
    // Hands what has come in to core; false, with error set, when the
    // device is lost.
    virtual bool drain(AmpCore& core, std::string& error) = 0;
    // Set when the ports could not be brought back after a restart.
    const std::string& failure() const { return failure_; }

    void setCapture(std::FILE* f) { capture_ = f; }
    void note(const std::string& line) override { say(line); }
    void received(const std::vector<uint8_t>& message) override;

protected:
    std::string failure_;

private:
    std::FILE* capture_ = nullptr;
};

std::unique_ptr<ProgramLink> makeRawLink(const std::string& path, const std::string& restartCmd);
std::unique_ptr<ProgramLink> makeSeqLink();

}  // namespace sim
