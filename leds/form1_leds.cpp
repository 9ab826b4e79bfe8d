// The main window's LED controls, encoder rings and light shows.
#include "app/unit1.h"

void TForm1::createLeds() {}
void TForm1::destroyRings() {}
void TForm1::init_leds() {}
void TForm1::flashVfyShow(int) {}
void TForm1::flashPrgShow(int) {}
