#pragma once
// A drawn shape control (circle or rectangle) that can also take the mouse:
// the forms lay invisible or outlined circles over button pictures and react
// to presses on them.

#include <QColor>
#include <QWidget>
#include <functional>

class TShape : public QWidget {
    Q_OBJECT
public:
    enum class Kind { Rectangle, Circle };

    explicit TShape(QWidget* parent = nullptr);

    void setKind(Kind k);
    // Outline: no pen draws none.
    void setPen(const QColor& c, int width = 1);
    void setNoPen();
    // Inside: a clear brush lets what lies beneath show.
    void setBrush(const QColor& c);
    void setClearBrush();

    // Pointer pressed or released on the shape, any button.
    std::function<void(Qt::MouseButton)> OnMouseDown;
    std::function<void(Qt::MouseButton)> OnMouseUp;

    // Makes the shape a button for the keyboard too: it takes the focus by
    // Tab, shows it, and Space or Return press and release it as the left
    // mouse button does (also the press action screen readers offer).
    void setKeyboardButton(bool on);
    bool keyboardButton() const { return keyboardButton_; }
    void press();

protected:
    void paintEvent(QPaintEvent*) override;
    void keyPressEvent(QKeyEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    Kind kind_ = Kind::Rectangle;
    QColor pen_ = Qt::black;
    int penWidth_ = 1;
    bool hasPen_ = true;
    QColor brush_ = Qt::white;
    bool hasBrush_ = true;
    bool keyboardButton_ = false;
};
