#include "setup/unit3.h"

#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QToolButton>

TForm3* Form3 = nullptr;

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

    // Closing only hides the window.
    SpeedButton1 = new QToolButton(this);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setGeometry(450, 4, 13, 16);
    SpeedButton1->setText("x");
    SpeedButton1->setAutoRaise(true);
    SpeedButton1->setStyleSheet(
        "QToolButton { color: white; background: #C00000; border: none; font: bold 11px; }"
        "QToolButton:pressed { background: #800000; }");
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
