#pragma once
// A text list kept for diagnostics: lines can be added and the first removed.

#include <QStringList>
#include <QWidget>

class TMemo : public QWidget {
    Q_OBJECT
public:
    explicit TMemo(QWidget* parent = nullptr) : QWidget(parent) {}
    const QStringList& Lines() const { return lines_; }
    int lineCount() const { return static_cast<int>(lines_.size()); }
    void addLine(const QString& s) { lines_.append(s); update(); }
    void deleteLine(int i) {
        if (i >= 0 && i < lines_.size()) lines_.removeAt(i);
        update();
    }
    void clear() { lines_.clear(); update(); }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QStringList lines_;
};
