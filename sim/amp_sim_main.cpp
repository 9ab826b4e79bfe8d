// kolva-amp-sim: the simulated amplifier on a raw MIDI device or on
// sequencer ports of its own. `kolva-amp-sim --help` lists the options.
#include "sim/amp_program.h"

int main(int argc, char** argv) { return sim::runAmpProgram(argc, argv); }
