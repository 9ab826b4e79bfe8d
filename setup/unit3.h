#pragma once
// The startup help wizard: leads a first-time user through connecting the
// amplifier, testing the connection, reading its firmware revision off the
// LED rings, choosing the file and running the update in one or two stages.
// It drives the main window (its MIDI Out menu, loader and Upload Code
// command) and does no MIDI or file work of its own beyond a test program
// change and the first-time setting. Created hidden at start, after the main
// window; closing it only hides it, and it resumes where it was.

#include <QDialog>
#include <cstdint>
#include <optional>
#include <string>

#include "setup/revision.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QToolButton;
class TForm1;
class TImage;
class TShape;

class TForm3 : public QDialog {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);
    ~TForm3() override;

    TImage* Image1 = nullptr;  // background
    TImage* Image3 = nullptr;  // Next, idle
    TImage* Image9 = nullptr;  // Test, pressed
    QLabel* Label1 = nullptr;  // the current instruction
    TImage* Image2 = nullptr;  // Next, pressed
    TShape* Shape1 = nullptr;  // Next control: takes the mouse
    TImage* Image4 = nullptr;  // Test, idle
    TShape* Shape2 = nullptr;  // Test control
    TImage* Image5 = nullptr;  // the amplifier's front panel
    QToolButton* SpeedButton1 = nullptr;  // close
    QLabel* Label2 = nullptr;  // the revision text
    TShape* Shape3 = nullptr;  // ring markers
    TShape* Shape4 = nullptr;
    TShape* Shape5 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QPushButton* Button1 = nullptr;  // the step button (never seen)
    QPushButton* Button2 = nullptr;  // the test button (hidden)
    QComboBox* ComboBox1 = nullptr;  // output devices
    QComboBox* ComboBox2 = nullptr;  // stompbox ring
    QComboBox* ComboBox3 = nullptr;  // amp ring
    QComboBox* ComboBox4 = nullptr;  // effects ring

    // Wizard state, kept for the life of the program.
    int32_t needIntermediate = 0;
    int32_t wizardTestProgram = 0;
    std::optional<std::string> chosenFirmwarePath;
    setup::RevisionReading revision;
    const std::string& revisionText() const { return revision.text(); }

    // The step actions; the step button runs the current one.
    void Button1Click();
    void Button1Next1Click();
    void Button1Next2Click();
    void Button1Next3Click();
    void Button1Next4Click();
    void Button1Next5Click();
    void Button1Next6Click();
    void Button1Next7Click();
    void Button1Next8Click();
    void Button1Next9Click();
    void Button1Next10Click();
    using StepAction = void (TForm3::*)();
    StepAction stepAction() const { return step_; }
    bool stepRunning() const { return stepRunning_; }  // a stage's upload among them

    void Shape1MouseDown(Qt::MouseButton button);
    void Shape1MouseUp(Qt::MouseButton button);
    void Shape2MouseDown(Qt::MouseButton button);
    void Shape2MouseUp(Qt::MouseButton button);
    void Button2Click();
    void ComboBox1Change();
    void CheckBox1Click();
    void ComboBox2Change();
    void ComboBox3Change();
    void ComboBox4Change();
    void FirmwareCalc();

    void reject() override;  // Escape runs the step, it does not close
    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    TForm1* main() const;
    void runStep();
    // Loads and runs a stage's upload; when it did not succeed, says what
    // happened and offers the stage again. True when it succeeded.
    bool runStage(bool intermediate);
    void setInstruction(const char* text);  // the current step's own text
    void enableNext(bool on);
    void fitInstruction();
    void ringChange(setup::Ring ring, QComboBox* list, TShape* marker);
    void moveNext(int dx);

    StepAction step_ = &TForm3::Button1Click;
    const char* stepText_ = nullptr;
    bool stepRunning_ = false;
};

extern TForm3* Form3;
