// The main window as built: layout, menus, status bars, gauge, timers, the
// wizard timer and the device-change log.
#include <QAccessible>
#include <QImage>
#include <QMenuBar>
#include <QPalette>
#include <algorithm>
#include <functional>

#include "leds/ringledunit.h"
#include "tests/support/form_fixture.h"

namespace {

class MainWindowTest : public FormFixture {};

TEST_F(MainWindowTest, WindowAndControlsAreLaidOutAsDesigned) {
    start();
    EXPECT_EQ(form->windowTitle(), "Kolva Updater v2.61");
    EXPECT_EQ(form->client->size(), QSize(701, 376));
    EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "the window must not be resizable";
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);

    struct Expect {
        QWidget* w;
        QRect geometry;
        bool hidden;
    };
    const Expect controls[] = {
        {form->Image1, {0, -1, 700, 284}, false},   {form->Image2, {320, 98, 66, 66}, true},
        {form->Label1, {334, 108, 40, 39}, true},   {form->Label2, {137, 266, 445, 15}, false},
        {form->Label3, {146, 3, 408, 22}, true},    {form->StatusBar1, {0, 285, 700, 32}, false},
        {form->CGauge1, {0, 317, 703, 27}, true},   {form->StatusBar2, {0, 344, 701, 32}, false},
        {form->Button3, {340, 382, 66, 22}, false}, {form->Button1, {553, 518, 75, 25}, false},
    };
    for (const auto& c : controls) {
        EXPECT_EQ(c.w->geometry(), c.geometry) << c.w->objectName().toStdString();
        EXPECT_EQ(c.w->isHidden(), c.hidden) << c.w->objectName().toStdString();
    }
    EXPECT_EQ(form->Label1->text(), "Push to Cancel");
    EXPECT_TRUE(form->Label1->wordWrap());
    EXPECT_EQ(form->Label2->text(),
              "*Note: Indicator lights are approximate and may not exactly duplicate the action on the amp.");
    EXPECT_EQ(form->Label3->text(), "Programming in Progress. Do not turn off amp.");
    EXPECT_EQ(form->Button1->text(), "Cancel");
    EXPECT_EQ(form->Button3->text(), "Button3");
    EXPECT_FALSE(form->Image1->picture().isNull());
    EXPECT_EQ(form->Image1->picture().size(), QSize(700, 284));
    EXPECT_EQ(form->Image2->picture().size(), QSize(66, 66));
    EXPECT_EQ(form->Image1->sharpPicture().size(), QSize(1400, 568)) << "the panel's form for scaled screens";
    EXPECT_TRUE(form->Image1->Transparent());

    // The note line must fit its label in the face that stands in for the original.
    const QFontMetrics fm(form->Label2->font());
    EXPECT_LE(fm.horizontalAdvance(form->Label2->text()), 445);
    EXPECT_LE(QFontMetrics(form->Label3->font()).horizontalAdvance(form->Label3->text()), 408);
}

TEST_F(MainWindowTest, StatusBarPanels) {
    start();
    ASSERT_EQ(form->StatusBar1->panelCount(), 5);
    ASSERT_EQ(form->StatusBar2->panelCount(), 4);
    const int w1[] = {100, 100, 200, 180, 100}, w2[] = {100, 100, 150, 50};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(form->StatusBar1->panelWidth(i), w1[i]);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(form->StatusBar2->panelWidth(i), w2[i]);
    EXPECT_EQ(form->StatusBar1->panelText(0), "New Firmware");
    EXPECT_EQ(form->StatusBar2->panelText(0), "Current Firmware");
    // The last panel reaches the bar's right edge.
    EXPECT_EQ(form->StatusBar1->panelRect(4).right(), 699);
    EXPECT_EQ(form->StatusBar2->panelRect(3).left(), 350);
    EXPECT_EQ(form->StatusBar2->panelRect(3).right(), 700);

    // A screen reader reads the panels' texts; a dark desktop palette leaves
    // the text on the fixed grey dark (before: the palette's white, 1.77:1).
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(form->StatusBar1);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->role(), QAccessible::StatusBar);
    EXPECT_EQ(bar->text(QAccessible::Name), "New firmware");
    EXPECT_TRUE(bar->text(QAccessible::Value).startsWith("New Firmware")) << bar->text(QAccessible::Value).toStdString();
    QPalette dark = form->StatusBar1->palette();
    dark.setColor(QPalette::WindowText, Qt::white);
    form->StatusBar1->setPalette(dark);
    const QImage shot = form->StatusBar1->grab().toImage();
    int darkest = 255;
    const QRect text = form->StatusBar1->panelRect(0).adjusted(4, 4, -4, -4);
    for (int y = text.top(); y <= text.bottom(); ++y)
        for (int x = text.left(); x <= text.right(); ++x) darkest = std::min(darkest, qGray(shot.pixel(x, y)));
    EXPECT_LT(darkest, 60) << "no dark text on the grey panel";
}

TEST_F(MainWindowTest, MenusAndTheirEntries) {
    start();
    QStringList top;
    for (QAction* a : form->menuBar()->actions()) top << a->text();
    EXPECT_EQ(top, QStringList({"&File", "&Midi", "&Run"}));
    QStringList file;
    for (QAction* a : form->File1->actions()) file << a->text();
    EXPECT_EQ(file, QStringList({"Open &Firmware", "E&xit", "Startup Help"}));
    QStringList midi;
    for (QAction* a : form->Midi1->actions()) midi << a->text();
    EXPECT_EQ(midi, QStringList({"Out", "In", "Test Connection"}));
    EXPECT_EQ(form->Out1->actions().value(0)->text(), "None");
    EXPECT_EQ(form->In1->actions().value(0)->text(), "None");
    EXPECT_EQ(form->Run1->actions().value(0)->text(), "Upload Code");
    EXPECT_TRUE(form->StartupHelp1->isCheckable());
}

TEST_F(MainWindowTest, TimersAsBuilt) {
    start();
    EXPECT_EQ(form->Timer1.Interval(), 1000u);
    EXPECT_FALSE(form->Timer1.Enabled());
    EXPECT_EQ(form->Timer3.Interval(), 500u);
    EXPECT_FALSE(form->Timer3.Enabled());
    EXPECT_EQ(form->Timer4.Interval(), 1000u);
    EXPECT_TRUE(form->Timer4.Enabled());
    EXPECT_EQ(form->Timer2.Interval(), 400u);
}

TEST_F(MainWindowTest, GaugePercentage) {
    start();
    TCGauge* g = form->CGauge1;
    EXPECT_EQ(g->MinValue(), 0);
    EXPECT_EQ(g->MaxValue(), 100);
    g->setMaxValue(48);
    g->setProgress(12);
    EXPECT_EQ(g->PercentDone(), 25);
    g->setMaxValue(0);  // refused
    EXPECT_EQ(g->MaxValue(), 48);
    g->setMinValue(48);
    EXPECT_EQ(g->PercentDone(), 0);  // empty range
    g->setMinValue(0);
    g->setMaxValue(3);
    g->setProgress(2);
    EXPECT_EQ(g->PercentDone(), 66);  // whole percent, cut

    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(g);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->role(), QAccessible::ProgressBar);
    EXPECT_EQ(a->text(QAccessible::Name), "Upload progress");
    EXPECT_EQ(a->text(QAccessible::Value), "66%");
    ASSERT_NE(a->valueInterface(), nullptr);
    EXPECT_EQ(a->valueInterface()->currentValue().toInt(), 66);
}

TEST_F(MainWindowTest, WizardIsShownOnceAbout400msAfterStart) {
    start();
    ASSERT_TRUE(form->StartupHelp1->isChecked());
    EXPECT_FALSE(form3->isVisible());
    clock.runFor(399);
    EXPECT_FALSE(form3->isVisible());
    clock.runFor(2);
    EXPECT_TRUE(form3->isVisible());
    EXPECT_FALSE(form->Timer2.Enabled());
    form3->hide();
    clock.runFor(2000);
    EXPECT_FALSE(form3->isVisible()) << "the wizard timer fires once";
}

TEST_F(MainWindowTest, WizardWaitsForItsWindowWhenTheRememberedFileFailsToLoad) {
    // The loader's box during construction keeps the event loop running; the
    // wizard must not be due before its window exists.
    writeIni("[INI_VERSION]\r\nVERSION=1\r\n[FIRMWARE]\r\nFILE=" + tempFile("gone.syx") + "\r\n");
    dialogs.onBox = [this](const platform::ShownBox&) {
        clock.runFor(1000);
        return -1;
    };
    Form1Options opt;
    opt.iniPath = iniPath;
    form = std::make_unique<TForm1>(opt);
    dialogs.onBox = nullptr;
    EXPECT_FALSE(form->Timer2.Enabled());
    form3 = std::make_unique<TForm3>(form.get());
    form4 = std::make_unique<TForm4>(form.get());
    form->startWizardTimer();
    clock.runFor(401);
    EXPECT_TRUE(form3->isVisible());
}

TEST_F(MainWindowTest, ExitClosesTheWindowAndSavesLikeTheCloseBox) {
    start();
    form->Exit1Click();
    EXPECT_FALSE(form->isVisible());
    EXPECT_NE(iniText().find("VERSION=1"), std::string::npos);
}

TEST_F(MainWindowTest, DeviceChangesAreLoggedToTheThreeListsOnly) {
    start();
    ASSERT_EQ(form->Memo1->Lines(), QStringList({"Memo1"}));
    ASSERT_EQ(form->Memo2->Lines(), QStringList({"Memo2"}));
    ASSERT_EQ(form->Memo3->Lines(), QStringList({"Memo3"}));
    form->deviceChange(0x8000, 0x12);
    form->deviceChange(0x8004, 0x1234ABCD);
    EXPECT_EQ(form->Memo1->Lines(), QStringList({"Memo1", "8000", "8004"}));
    EXPECT_EQ(form->Memo2->Lines(), QStringList({"Memo2", "0012", "1234ABCD"}));
    EXPECT_EQ(form->Memo3->Lines(), QStringList({"Memo3", "0000", "0000"}));
    EXPECT_TRUE(form->Memo1->isHidden());
    EXPECT_TRUE(dialogs.shown().empty());
}

// What a screen reader meets in the three windows: every object it lists
// has a name, nothing parked outside a window is listed, and each LED ring is
// one object saying what it shows (before: 73 of 137 objects unnamed, the 36
// LEDs among them, and the off-screen buttons listed as visible).
TEST_F(MainWindowTest, ScreenReadersMeetNamedControlsAndOneObjectPerRing) {
    start();
    QWidget* const windows[] = {form.get(), form3.get(), form4.get()};
    for (QWidget* w : windows) w->show();
    form->rings[1].lightPosition(3);
    QStringList names, unnamed;
    std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* a) {
        if (!a->state().invisible) {
            const QString n = a->text(QAccessible::Name);
            names << n;
            if (n.isEmpty()) unnamed << QString::number(a->role()) + (a->object() ? " " + a->object()->objectName() : "");
        }
        for (int i = 0; i < a->childCount(); ++i) walk(a->child(i));
    };
    for (QWidget* w : windows) walk(QAccessible::queryAccessibleInterface(w));
    EXPECT_TRUE(unnamed.isEmpty()) << unnamed.join(", ").toStdString();
    EXPECT_FALSE(names.contains("Button3"));
    EXPECT_FALSE(names.contains("Cancel the update")) << "the Cancel button parked outside is listed";
    EXPECT_FALSE(names.contains("Next step"));
    EXPECT_EQ(names.count("StompBoxes ring") + names.count("Amps ring") + names.count("Effects ring"), 3);

    QAccessibleInterface* panel = QAccessible::queryAccessibleInterface(form->client);
    QStringList rings;
    for (int i = 0; i < panel->childCount(); ++i)
        if (panel->child(i)->text(QAccessible::Name).endsWith(" ring")) rings << panel->child(i)->text(QAccessible::Value);
    EXPECT_EQ(rings, QStringList({"off", "LED 4 of 12 lit, red", "off"}));
    for (int p : {0, 5, 11}) form->rings[2].led(p)->TurnOn(true);
    EXPECT_EQ(form->rings[2].text(), "LEDs 1, 6 and 12 of 12 lit, green");
    // A point over a ring's LED finds the ring.
    const QPoint led = form->rings[1].led(3)->mapToGlobal(QPoint(6, 6));
    ASSERT_NE(panel->childAt(led.x(), led.y()), nullptr);
    EXPECT_EQ(panel->childAt(led.x(), led.y())->text(QAccessible::Name), "Amps ring");
}

}  // namespace
