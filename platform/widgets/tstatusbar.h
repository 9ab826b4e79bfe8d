#pragma once
// A status bar with fixed-width panels; every panel centres its text and the
// last one reaches to the bar's right edge.

#include <QColor>
#include <QString>
#include <QWidget>
#include <optional>
#include <vector>

class TStatusBar : public QWidget {
    Q_OBJECT
public:
    explicit TStatusBar(QWidget* parent = nullptr);

    struct Panel {
        int width;
        QString text;
    };

    void addPanel(int width, const QString& text = QString());
    int panelCount() const { return static_cast<int>(panels_.size()); }
    QString panelText(int i) const;
    void setPanelText(int i, const QString& text);
    int panelWidth(int i) const;
    // Left edge and drawn width of panel i in this bar.
    QRect panelRect(int i) const;
    // The text as drawn, in a narrower face when it is wider than its panel,
    // in the last panel on two lines in a smaller face when even that is too
    // wide and its words fit there, and else cut in the middle; the tooltip
    // over a cut panel shows it whole.
    QFont shownFont(int i) const;
    QString shownText(int i) const;

    void setColor(const QColor& c);
    QColor color() const { return color_; }

protected:
    void paintEvent(QPaintEvent*) override;
    bool event(QEvent* e) override;

private:
    QRect textRect(int i) const;
    QFont oneLineFont(int i) const;
    std::optional<QFont> twoLineFont(int i) const;
    std::vector<Panel> panels_;
    QColor color_;
};
