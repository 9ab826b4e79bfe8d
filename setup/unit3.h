#pragma once
// The startup help wizard. Created hidden at start, after the main window;
// closing it only hides it.

#include <QDialog>

class QLabel;
class QToolButton;
class TImage;

class TForm3 : public QDialog {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);
    ~TForm3() override;

    TImage* Image1 = nullptr;  // background
    QLabel* Label1 = nullptr;  // the current instruction
    QToolButton* SpeedButton1 = nullptr;  // close

protected:
    void showEvent(QShowEvent* e) override;
};

extern TForm3* Form3;
