#pragma once
// The MIDI test window: each press of its Test Midi control sends the
// amplifier an identity request and a program change. The main window's
// reply handler writes the amplifier's version into Label2. Created hidden
// at start, after the wizard; shown modally.

#include <QDialog>
#include <cstdint>

class QLabel;
class QToolButton;
class TImage;
class TMidiOut;
class TShape;

class TForm4 : public QDialog {
    Q_OBJECT
public:
    // out: the port the window sends through (the main window's MidiOut1).
    explicit TForm4(QWidget* parent = nullptr, TMidiOut* out = nullptr);
    ~TForm4() override;

    TImage* Image1 = nullptr;  // background
    QLabel* Label1 = nullptr;  // the instruction
    TImage* Image3 = nullptr;  // Test Midi, pressed
    TImage* Image2 = nullptr;  // Test Midi, idle
    QToolButton* SpeedButton1 = nullptr;
    TShape* Shape1 = nullptr;  // takes the mouse over the button pictures
    QLabel* Label2 = nullptr;  // the amplifier's answer

    // The program number last sent; carries over from one showing to the next.
    uint8_t testWindowProgram = 0;

    void Shape1MouseDown(Qt::MouseButton button);
    void Shape1MouseUp(Qt::MouseButton button);
    void SpeedButton1Click();

    // From the main window's reply handler: "Connected, current code version is dd.dd".
    void showVersion(const QString& versionText);

protected:
    void showEvent(QShowEvent* e) override;

private:
    TMidiOut* out_;
};

extern TForm4* Form4;
