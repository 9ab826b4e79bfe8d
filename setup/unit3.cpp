#include "setup/unit3.h"

TForm3* Form3 = nullptr;

TForm3::TForm3(QWidget* parent) : QDialog(parent) {
    Form3 = this;
    setObjectName("Form3");
    setWindowTitle("Startup Help");
}
