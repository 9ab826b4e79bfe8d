#pragma once
// A picture control: draws the image it holds at its top-left corner. With
// AutoSize the control takes the picture's size; with Transparent the colour
// of the picture's bottom-left pixel is left undrawn, so what lies beneath
// shows through. Tag, Left and Top follow the form framework's controls.

#include <QImage>
#include <QWidget>

class TImage : public QWidget {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent = nullptr);

    void setPicture(const QImage& img);
    // The same with the picture's transparent form made beforehand, so that
    // controls sharing one picture also share its transparent form.
    void setPicture(const QImage& img, const QImage& transparentForm);
    const QImage& picture() const { return picture_; }
    // The picture of a resource and, where there is one, its twice-as-sharp
    // form ("name@2x.png"), drawn instead on a scaled screen.
    void loadPicture(const QString& resource);
    // The sharper form loadPicture found (device pixel ratio set); null for none.
    const QImage& sharpPicture() const { return sharp_; }

    bool AutoSize() const { return autoSize_; }
    void setAutoSize(bool on);
    bool Transparent() const { return transparent_; }
    void setTransparent(bool on);

    int Tag() const { return tag_; }
    void setTag(int t) { tag_ = t; }
    int Left() const { return x(); }
    int Top() const { return y(); }
    void setLeft(int v) { move(v, y()); }
    void setTop(int v) { move(x(), v); }

    // Paints the control now rather than at the next pass of the event loop,
    // unless a loop that handles its messages on every pass has asked for
    // the changes to be drawn together there (DeferRepaints).
    void repaintNow();
    class DeferRepaints {
    public:
        DeferRepaints() { ++deferred_; }
        ~DeferRepaints() { --deferred_; }
        DeferRepaints(const DeferRepaints&) = delete;
        DeferRepaints& operator=(const DeferRepaints&) = delete;
    };
    // How many times the control has painted itself (for tests and benchmarks).
    int paintCount() const { return paints_; }

    static QImage withTransparentKey(const QImage& img);
    // A picture control at geometry showing a resource (loadPicture).
    static TImage* make(QWidget* parent, const char* name, const char* resource, QRect geometry, bool transparent);

protected:
    void paintEvent(QPaintEvent*) override;
    // What is drawn on a screen of this pixel ratio (above 1); null draws the
    // picture scaled.
    virtual QImage sharpFor(double ratio);

private:
    static inline int deferred_ = 0;  // UI thread only
    void rebuild();
    QImage picture_;
    QImage keyed_;
    QImage shown_;
    QImage sharp_;
    QImage sharpShown_;
    bool autoSize_ = false;
    bool transparent_ = false;
    int tag_ = 0;
    int paints_ = 0;
};
