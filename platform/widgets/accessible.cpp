#include "platform/widgets/accessible.h"

#include <QAccessibleWidget>
#include <QDialog>
#include <QPointer>
#include <QStringList>
#include <QWidget>
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
        // The description too: it is what AT-SPI readers get of a non-numeric value.
        if (t == QAccessible::Value || t == QAccessible::Description)
            return accessibility::statusBarText(*static_cast<TStatusBar*>(widget()));
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

constexpr const char* kLeftOut = "kolvaAccessibleLeftOut";
constexpr const char* kContainer = "kolvaAccessibleContainer";
constexpr const char* kParts = "kolvaAccessibleParts";

// A part's object: no widget of its own, it lives as long as its container.
class PartAccessible final : public QAccessibleInterface {
public:
    PartAccessible(QWidget* container, accessibility::Part part) : container_(container), part_(std::move(part)) {}
    bool isValid() const override { return !container_.isNull(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return container_ ? container_->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(container_.data()); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) return part_.name;
        if ((t == QAccessible::Value || t == QAccessible::Description) && part_.value) return part_.value();
        return {};
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        if (!container_) return {};
        return {container_->mapToGlobal(part_.rect.topLeft()), part_.rect.size()};
    }
    QAccessible::Role role() const override { return QAccessible::StaticText; }
    QAccessible::State state() const override {
        QAccessible::State s;
        s.readOnly = true;
        s.invisible = !container_ || !container_->isVisible();
        return s;
    }

private:
    QPointer<QWidget> container_;
    accessibility::Part part_;
};

// Holds a container's parts (as Qt's accessibility ids), made when first
// asked for; a child object of the container, so they go with it.
class PartList final : public QObject {
public:
    PartList(QWidget* container, std::vector<accessibility::Part> parts)
        : QObject(container), container_(container), parts_(std::move(parts)) {
        setObjectName(kParts);
    }
    ~PartList() override {
        for (QAccessible::Id id : ids_) QAccessible::deleteAccessibleInterface(id);
    }
    const std::vector<QAccessible::Id>& ids() {
        if (ids_.empty())
            for (const accessibility::Part& p : parts_)
                ids_.push_back(QAccessible::registerAccessibleInterface(new PartAccessible(container_, p)));
        return ids_;
    }

private:
    QWidget* container_;
    std::vector<accessibility::Part> parts_;
    std::vector<QAccessible::Id> ids_;
};

// A container that lists only the children a reader should meet, and its parts.
class ContainerAccessible final : public QAccessibleWidget {
public:
    explicit ContainerAccessible(QWidget* w) : QAccessibleWidget(w, roleOf(w)) {}

    int childCount() const override { return static_cast<int>(children().size()); }
    QAccessibleInterface* child(int i) const override {
        const auto c = children();
        return i >= 0 && i < static_cast<int>(c.size()) ? c[static_cast<size_t>(i)] : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const auto c = children();
        for (size_t i = 0; i < c.size(); ++i)
            if (c[i] == child) return static_cast<int>(i);
        return -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const auto c = children();
        // Parts lie over the controls they stand for; later widgets over earlier ones.
        for (auto it = c.rbegin(); it != c.rend(); ++it)
            if (!(*it)->state().invisible && (*it)->rect().contains(x, y)) return *it;
        return nullptr;
    }

private:
    static QAccessible::Role roleOf(QWidget* w) {
        if (!w->isWindow()) return QAccessible::Client;
        return qobject_cast<QDialog*>(w) ? QAccessible::Dialog : QAccessible::Window;
    }
    std::vector<QAccessibleInterface*> children() const {
        std::vector<QAccessibleInterface*> out;
        QWidget* w = widget();
        for (QObject* o : w->children()) {
            auto* c = qobject_cast<QWidget*>(o);
            if (!c || c->isWindow() || c->property(kLeftOut).toBool()) continue;
            if (!c->geometry().intersects(w->rect())) continue;  // parked outside
            if (QAccessibleInterface* a = QAccessible::queryAccessibleInterface(c)) out.push_back(a);
        }
        if (auto* parts = w->findChild<PartList*>(kParts, Qt::FindDirectChildrenOnly))
            for (QAccessible::Id id : parts->ids())
                if (QAccessibleInterface* a = QAccessible::accessibleInterface(id)) out.push_back(a);
        return out;
    }
};

QAccessibleInterface* factory(const QString&, QObject* o) {
    if (auto* w = qobject_cast<QWidget*>(o); w && w->property(kContainer).toBool())
        return new ContainerAccessible(w);
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

void listChildren(QWidget* container, std::vector<Part> parts) {
    install();
    container->setProperty(kContainer, true);
    if (!parts.empty()) new PartList(container, std::move(parts));
}

void leaveOut(QWidget* w) { w->setProperty(kLeftOut, true); }

void valueChanged(QObject* o, const std::function<QVariant()>& value) {
    if (!QAccessible::isActive()) return;
    QAccessibleValueChangeEvent e(o, value());
    QAccessible::updateAccessibility(&e);
    QAccessibleEvent d(o, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&d);
}

}  // namespace accessibility
