#include "setup/unit3.h"

#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QPalette>
#include <QToolButton>

#include "platform/widgets/fit_text.h"
#include "platform/widgets/timage.h"

TForm3* Form3 = nullptr;

TForm3::~TForm3() {
    if (Form3 == this) Form3 = nullptr;
}

TForm3::TForm3(QWidget* parent) : QDialog(parent) {
    Form3 = this;
    setObjectName("Form3");
    setWindowTitle("Welcome!");
    // No title bar: a one-pixel border around a 467 x 350 client area.
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setFixedSize(467, 350);
    setModal(false);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0x16, 0x16, 0x18));
    pal.setColor(QPalette::WindowText, Qt::white);
    setPalette(pal);
    setStyleSheet("TForm3 { border: 1px solid #606060; }");

    Image1 = new TImage(this);
    Image1->setObjectName("Image1");
    Image1->setGeometry(0, 0, 467, 350);
    Image1->setPicture(QImage(":/images/wizard_background.png"));

    Label1 = new QLabel("Welcome to the Kolva Updater. Are you ready to get started?", this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(49, 133, 377, 123);
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setWordWrap(true);
    QFont f("Futura Bk");
    f.setPixelSize(13);
    f.setBold(true);
    Label1->setFont(f);
    Label1->setStyleSheet("color: white; background: transparent;");
    fitLabelText(Label1);

    // Closing only hides the window.
    SpeedButton1 = new QToolButton(this);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setGeometry(450, 4, 13, 16);
    SpeedButton1->setAutoRaise(true);
    SpeedButton1->setIcon(QIcon(":/images/close.png"));
    SpeedButton1->setIconSize(QSize(16, 16));
    SpeedButton1->setStyleSheet("QToolButton { border: none; background: transparent; }");
    connect(SpeedButton1, &QToolButton::clicked, this, &QDialog::hide);
}

void TForm3::showEvent(QShowEvent* e) {
    // Centred on the main window.
    if (QWidget* owner = parentWidget()) {
        const QRect r = owner->frameGeometry();
        move(r.center() - QPoint(width() / 2, height() / 2));
    }
    QDialog::showEvent(e);
}
