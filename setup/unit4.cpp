#include "setup/unit4.h"

TForm4* Form4 = nullptr;

TForm4::TForm4(QWidget* parent) : QDialog(parent) {
    Form4 = this;
    setObjectName("Form4");
    setWindowTitle("MIDI Test");
}
