#pragma once
// kolva-amp-sim: the simulated amplifier as a program of its own, on the
// real clock, over a raw MIDI device or ALSA sequencer ports of its own.

#include <optional>
#include <string>
#include <vector>

#include "sim/amp_core.h"

namespace sim {

struct AmpOptions {
    std::string raw;  // --raw PATH
    bool seq = false;
    std::string version = "02.06";
    AmpFaults faults;
    AmpTiming timing;
    std::string restartCmd;
    std::string capture;
};

// The arguments after the program's name; none, with error set, when they
// are wrong.
std::optional<AmpOptions> parseAmpOptions(const std::vector<std::string>& args, std::string& error);
std::string ampUsage();

int runAmpProgram(int argc, char** argv);

}  // namespace sim
