// Device selection of the main window: the Midi menu's Out and In entries.
#include "app/unit1.h"

void TForm1::createMidiPorts() {}
void TForm1::closeMidiPorts() {}
void TForm1::destroyMidiPorts() {}

void TForm1::populateMidiSelect() {
    None->setCheckable(true);
    None->setChecked(true);
    NoneIn->setCheckable(true);
    NoneIn->setChecked(true);
    selectedOutPort = selectedInPort = -1;
    midiOutReady = midiInReady = false;
}

void TForm1::Dev1Click(QAction*) {}
void TForm1::NoneInClick(QAction*) {}
bool TForm1::checkMidiOut() { return midiOutReady; }
void TForm1::deSelectCurrentMidi() {}
void TForm1::reSelectCurrentMidi() { populateMidiSelect(); }
