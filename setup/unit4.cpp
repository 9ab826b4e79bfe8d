#include "setup/unit4.h"

#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QToolButton>

#include "app/unit1.h"
#include "midi/midi_out.h"
#include "platform/widgets/accessible.h"
#include "platform/widgets/fit_text.h"
#include "platform/widgets/timage.h"
#include "platform/widgets/tshape.h"
#include "upload/device_messages.h"

TForm4* Form4 = nullptr;

TForm4::~TForm4() {
    if (Form4 == this) Form4 = nullptr;
    if (auto* f = qobject_cast<TForm1*>(parentWidget())) {
        f->showTestWindow = nullptr;
        f->showTestVersion = nullptr;
    }
}

namespace {

QFont bookFace(int pixels) {
    QFont f("Futura Bk");
    f.setPixelSize(pixels);
    f.setBold(true);
    return f;
}

}  // namespace

TForm4::TForm4(QWidget* parent, TMidiOut* out) : QDialog(parent), out_(out) {
    Form4 = this;
    // The main window's connection test and its reply handler reach this
    // window through these.
    if (auto* f = qobject_cast<TForm1*>(parent)) {
        f->showTestWindow = [this] {
            Label2->hide();
            exec();
        };
        f->showTestVersion = [this](const QString& v) { showVersion(v); };
    }
    setObjectName("Form4");
    setWindowTitle("Midi Test");
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setFixedSize(280, 210);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0x80, 0x80, 0x80));
    setPalette(pal);

    Image1 = TImage::make(this, "Image1", ":/images/test_background.png", {0, 0, 280, 210}, false);

    Label1 = new QLabel("Press the \"Test Midi\" button to send an ID request and preset changes.", this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(67, 18, 147, 72);
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setWordWrap(true);
    Label1->setFont(bookFace(13));
    Label1->setStyleSheet("color: white; background: transparent;");
    fitLabelText(Label1);

    Image3 = TImage::make(this, "Image3", ":/images/testmidi_pressed.png", {107, 137, 66, 66}, true);
    Image2 = TImage::make(this, "Image2", ":/images/testmidi_idle.png", {107, 137, 66, 66}, true);

    SpeedButton1 = new QToolButton(this);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setGeometry(261, 5, 16, 16);
    SpeedButton1->setAutoRaise(true);
    SpeedButton1->setIcon(QIcon(":/images/close.png"));
    SpeedButton1->setIconSize(QSize(16, 16));
    SpeedButton1->setStyleSheet("QToolButton { border: none; background: transparent; }");
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });

    Shape1 = new TShape(this);
    Shape1->setObjectName("Shape1");
    Shape1->setGeometry(112, 139, 57, 66);
    Shape1->setKind(TShape::Kind::Circle);
    Shape1->setPen(Qt::white, 1);
    Shape1->setClearBrush();
    Shape1->OnMouseDown = [this](Qt::MouseButton b) { Shape1MouseDown(b); };
    Shape1->OnMouseUp = [this](Qt::MouseButton b) { Shape1MouseUp(b); };
    Shape1->setKeyboardButton(true);
    Shape1->setAccessibleName("Test MIDI");
    Shape1->setAccessibleDescription("Asks the amp for its version and changes its preset");
    Shape1->setFocus();

    Label2 = new QLabel(this);
    Label2->setObjectName("Label2");
    Label2->setGeometry(31, 95, 220, 32);
    Label2->setAlignment(Qt::AlignCenter);
    Label2->setWordWrap(true);
    Label2->setFont(bookFace(13));
    Label2->setStyleSheet("color: rgb(255, 128, 128); background: transparent;");
    Label2->hide();

    // What a screen reader lists: the text, the button, the result and Close.
    for (TImage* w : {Image1, Image2, Image3}) accessibility::leaveOut(w);
    SpeedButton1->setAccessibleName("Close");
    Label2->setAccessibleName("Result");
    accessibility::listChildren(this);
}

void TForm4::Shape1MouseDown(Qt::MouseButton) {
    Image2->hide();
    Image3->show();
    // Without an open device the port drops both; the count goes on.
    if (out_) out_->SysEx(upload::identityRequest, int(sizeof upload::identityRequest));
    testWindowProgram = uint8_t((testWindowProgram + 1) % 4);
    if (out_) out_->Put2(0xC0, testWindowProgram);
}

void TForm4::Shape1MouseUp(Qt::MouseButton) {
    Image2->show();
    Image3->hide();
}

void TForm4::SpeedButton1Click() { done(QDialog::Accepted); }

void TForm4::showVersion(const QString& versionText) {
    Label2->setText("Connected, current code version is " + versionText);
    fitLabelText(Label2, bookFace(13));
    Label2->show();
}

void TForm4::showEvent(QShowEvent* e) {
    if (QWidget* owner = parentWidget()) {
        const QRect r = owner->frameGeometry();
        move(r.center() - QPoint(width() / 2, height() / 2));
    }
    QDialog::showEvent(e);
}
