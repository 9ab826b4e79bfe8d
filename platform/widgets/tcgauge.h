#pragma once
// A horizontal progress gauge that draws the percentage done as centred text.

#include <QColor>
#include <QWidget>

class TCGauge : public QWidget {
    Q_OBJECT
public:
    explicit TCGauge(QWidget* parent = nullptr);

    int MinValue() const { return min_; }
    int MaxValue() const { return max_; }
    int Progress() const { return progress_; }
    void setMinValue(int v);
    // A maximum of 0 is refused, as the gauge would have no range.
    void setMaxValue(int v);
    void setProgress(int v);
    void addProgress(int v) { setProgress(progress_ + v); }
    // (Progress - MinValue) * 100 / (MaxValue - MinValue), 0 for an empty range.
    int PercentDone() const;

    void setForeColor(const QColor& c) { fore_ = c; update(); }
    void setBackColor(const QColor& c) { back_ = c; update(); }
    QColor ForeColor() const { return fore_; }
    QColor BackColor() const { return back_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    int min_ = 0, max_ = 100, progress_ = 0;
    QColor fore_{0x00, 0xFF, 0x00};
    QColor back_{0x00, 0x00, 0x00};
};
