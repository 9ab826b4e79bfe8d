#include "platform/widgets/accessible.h"

#include <QAccessibleWidget>
#include <QStringList>
#include <mutex>

#include "platform/widgets/tcgauge.h"
#include "platform/widgets/tshape.h"
#include "platform/widgets/tstatusbar.h"

namespace {

// The gauge reads as a progress bar with its percentage.
class GaugeAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit GaugeAccessible(TCGauge* g) : QAccessibleWidget(g, QAccessible::ProgressBar) {}
    TCGauge* gauge() const { return static_cast<TCGauge*>(widget()); }
    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return QString::number(gauge()->PercentDone()) + "%";
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return gauge()->PercentDone(); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }
};

// A status bar reads as the texts of its panels, left to right.
class StatusBarAccessible final : public QAccessibleWidget {
public:
    explicit StatusBarAccessible(TStatusBar* b) : QAccessibleWidget(b, QAccessible::StatusBar) {}
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return accessibility::statusBarText(*static_cast<TStatusBar*>(widget()));
        return QAccessibleWidget::text(t);
    }
};

// A shape the keyboard can press is a button with a press action; any
// other is a picture. (Asked each time: the interface may be made before
// the shape is set up.)
class ShapeAccessible final : public QAccessibleWidget {
public:
    explicit ShapeAccessible(TShape* s) : QAccessibleWidget(s, QAccessible::Graphic) {}
    TShape* shape() const { return static_cast<TShape*>(widget()); }
    QAccessible::Role role() const override {
        return shape()->keyboardButton() ? QAccessible::Button : QAccessible::Graphic;
    }
    QStringList actionNames() const override {
        return shape()->keyboardButton() ? QStringList{pressAction()} : QAccessibleWidget::actionNames();
    }
    void doAction(const QString& name) override {
        if (shape()->keyboardButton() && name == pressAction()) shape()->press();
        else QAccessibleWidget::doAction(name);
    }
};

QAccessibleInterface* factory(const QString&, QObject* o) {
    if (auto* s = qobject_cast<TShape*>(o)) return new ShapeAccessible(s);
    if (auto* g = qobject_cast<TCGauge*>(o)) return new GaugeAccessible(g);
    if (auto* b = qobject_cast<TStatusBar*>(o)) return new StatusBarAccessible(b);
    return nullptr;
}

}  // namespace

namespace accessibility {

void install() {
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(factory); });
}

QString statusBarText(const TStatusBar& bar) {
    QStringList parts;
    for (int i = 0; i < bar.panelCount(); ++i)
        if (const QString t = bar.panelText(i).trimmed(); !t.isEmpty()) parts << t;
    return parts.join(", ");
}

void valueChanged(QObject* o, const std::function<QVariant()>& value) {
    if (!QAccessible::isActive()) return;
    QAccessibleValueChangeEvent e(o, value());
    QAccessible::updateAccessibility(&e);
}

}  // namespace accessibility
