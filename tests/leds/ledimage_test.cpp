// The LED control on a shown widget offscreen: faces, repaints, sharing and
// the life of the shared faces.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QWidget>
#include <memory>

#include "leds/ledimage.h"
#include "leds/ringledunit.h"
#include "platform/bitmaps/bitmaps.h"
#include "platform/clock.h"

// Derived from the LED: a ring must not collect it.
class DerivedLed : public TLEDImage {
    Q_OBJECT
};

namespace {

class LedTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setClock(&clock);
        parent = std::make_unique<QWidget>();
        parent->resize(100, 100);
        parent->show();
        QCoreApplication::processEvents();  // exposed: repaints happen at once from here on
    }
    void TearDown() override {
        parent.reset();
        platform::setClock(nullptr);
    }
    TLEDImage* make() {
        auto* led = new TLEDImage(parent.get());
        led->show();
        QCoreApplication::processEvents();
        return led;
    }
    platform::VirtualClock clock;
    std::unique_ptr<QWidget> parent;
};

}  // namespace

TEST_F(LedTest, MadeInCodeShowsNothingUntilAColourIsApplied) {
    TLEDImage* led = make();
    EXPECT_TRUE(led->picture().isNull());
    EXPECT_EQ(led->Color(), clGray);
    EXPECT_EQ(led->OnColor(), clRed);
    EXPECT_EQ(led->OffColor(), clGray);
    EXPECT_FALSE(led->LEDOn());
    EXPECT_FALSE(led->Brightness());
    EXPECT_TRUE(led->AutoSize());

    const int before = led->paintCount();
    led->TurnOn(false);  // already gray, but the empty picture must get the face
    EXPECT_EQ(led->picture().cacheKey(), TLEDImage::sharedFace(LedFace::Gray).cacheKey());
    EXPECT_EQ(led->paintCount(), before + 1);
    EXPECT_EQ(led->size(), QSize(13, 13));
}

TEST_F(LedTest, RepaintsOnlyRealChangesAndAtOnce) {
    TLEDImage* led = make();
    led->TurnOn(false);
    int paints = led->paintCount();
    led->SetColor(clGray);
    led->TurnOn(false);
    led->SetColor(0x00800000);
    EXPECT_EQ(led->paintCount(), paints) << "nothing changed, nothing painted";

    led->SetColor(clRed);  // painted before the event loop runs
    EXPECT_EQ(led->paintCount(), ++paints);
    EXPECT_EQ(led->face(), LedFace::Red);
    led->MakeBright(true);
    EXPECT_EQ(led->paintCount(), ++paints);
    EXPECT_EQ(led->face(), LedFace::BrightRed);

    led->SetColor(clGray);
    paints = led->paintCount();
    led->MakeBright(true);  // gray: same picture, still repainted
    EXPECT_EQ(led->paintCount(), ++paints);
    EXPECT_EQ(led->face(), LedFace::Gray);

    platform::processMessages();
    EXPECT_EQ(led->paintCount(), paints) << "no second paint from the event loop";
}

TEST_F(LedTest, OnColourAndBrightnessApplyAtTheNextTurnOn) {
    TLEDImage* led = make();
    led->SetOnColor(0x00800000);
    led->TurnOn(true);
    EXPECT_EQ(led->face(), LedFace::Red);
    led->SetOnColor(clYellow);
    EXPECT_EQ(led->face(), LedFace::Red);
    led->MakeBright(true);
    led->TurnOn(false);
    led->TurnOn(true);
    EXPECT_EQ(led->face(), LedFace::Yellow);
    EXPECT_TRUE(led->Brightness());
    led->setProperty("Color", QVariant::fromValue<TColor>(clGreen));
    EXPECT_EQ(led->face(), LedFace::Green);
}

TEST_F(LedTest, FacesAreSharedAndKeepTheirSize) {
    TLEDImage* a = make();
    TLEDImage* b = make();
    a->setTransparent(true);
    b->setTransparent(true);
    a->SetColor(clRed);
    b->SetColor(clRed);
    EXPECT_EQ(a->picture().constBits(), b->picture().constBits());
    EXPECT_EQ(a->picture().constBits(), TLEDImage::sharedFace(LedFace::Red).constBits());

    b->move(60, 60);
    a->resize(50, 50);
    a->setGeometry(10, 10, 50, 50);
    EXPECT_EQ(a->size(), QSize(13, 13));

    // The silver corners show what lies beneath; the rim and body are drawn.
    QPalette pal = parent->palette();
    pal.setColor(QPalette::Window, Qt::blue);
    parent->setPalette(pal);
    parent->setAutoFillBackground(true);
    const QImage seen = parent->grab().toImage();
    EXPECT_EQ(seen.pixel(10, 10) & 0xFFFFFF, 0x0000FFu);
    EXPECT_EQ(seen.pixel(14, 10) & 0xFFFFFF, 0x000000u);
    EXPECT_EQ(seen.pixel(16, 16) & 0xFFFFFF, 0xFF0000u);

    // On a 2x screen a face is drawn at 26 pixels, once for every LED, with
    // its body one even colour (the bitmap's dither pixel-doubled was a
    // checkerboard) and its corners clear.
    const QImage sharp = TLEDImage::sharedFace(LedFace::Red, 2.0, true);
    ASSERT_EQ(sharp.size(), QSize(26, 26));
    EXPECT_EQ(sharp.devicePixelRatio(), 2.0);
    EXPECT_EQ(sharp.constBits(), TLEDImage::sharedFace(LedFace::Red, 2.0, true).constBits());
    EXPECT_EQ(qAlpha(sharp.pixel(0, 0)), 0);
    EXPECT_EQ(sharp.pixel(16, 18), sharp.pixel(17, 18));
    EXPECT_EQ(sharp.pixel(16, 18), sharp.pixel(16, 19));
    EXPECT_GT(qRed(sharp.pixel(16, 18)), 150);
}

TEST_F(LedTest, SharedFacesLiveWithTheControls) {
    ASSERT_EQ(TLEDImage::InstanceCount(), 0);
    EXPECT_TRUE(TLEDImage::sharedFace(LedFace::Gray).isNull());
    const int loads = platform::bitmapLoadCount();
    TLEDImage* a = make();
    TLEDImage* b = make();
    EXPECT_EQ(TLEDImage::InstanceCount(), 2);
    EXPECT_EQ(platform::bitmapLoadCount(), loads + 7) << "loaded once for both";
    delete a;
    EXPECT_FALSE(TLEDImage::sharedFace(LedFace::Gray).isNull());
    delete b;
    EXPECT_EQ(TLEDImage::InstanceCount(), 0);
    EXPECT_TRUE(TLEDImage::sharedFace(LedFace::Gray).isNull());

    TLEDImage* c = make();
    EXPECT_EQ(platform::bitmapLoadCount(), loads + 14);
    c->SetColor(clYellow);
    EXPECT_EQ(c->picture().pixel(6, 6), platform::LoadBitmapA("LED_YEL").pixel(6, 6));
}

TEST_F(LedTest, ShouldExtinguishAfterTheTimeOut) {
    TLEDImage* led = make();
    led->setExtinguishTimeout(50);
    led->TurnOn(true);
    clock.advance(10);
    EXPECT_FALSE(led->ShouldExtinguish());
    EXPECT_TRUE(led->LEDOn());
    clock.advance(50);
    EXPECT_TRUE(led->ShouldExtinguish());
    EXPECT_FALSE(led->LEDOn());
    EXPECT_EQ(led->face(), LedFace::Gray);
}

TEST_F(LedTest, ShouldExtinguishAcrossTheTickWrap) {
    platform::VirtualClock nearWrap(0xFFFFFFF0u);
    platform::setClock(&nearWrap);
    TLEDImage* led = make();
    led->setExtinguishTimeout(50);
    led->TurnOn(true);
    nearWrap.advance(40);
    EXPECT_FALSE(led->ShouldExtinguish());
    nearWrap.advance(20);
    EXPECT_TRUE(led->ShouldExtinguish());
    platform::setClock(&clock);
}

TEST_F(LedTest, RingCollectsExactlyTheDirectLedChildrenOfItsTag) {
    parent->resize(300, 300);
    const int places[][3] = {{127, 171, 0}, {153, 172, 0}, {105, 159, 0}, {175, 160, 0}, {130, 100, 1}};
    std::vector<TLEDImage*> leds;
    for (auto& p : places) {
        TLEDImage* l = make();
        l->move(p[0], p[1]);
        l->setTag(p[2]);
        leds.push_back(l);
    }
    auto* derived = new DerivedLed;
    derived->setParent(parent.get());
    auto* box = new QWidget(parent.get());
    auto* nested = new TLEDImage(box);
    nested->move(140, 120);

    RingLed ring;
    ring.collectLeds(parent.get(), 0);
    ASSERT_EQ(ring.ledCount(), 4);
    EXPECT_EQ(ring.led(0), leds[0]);
    EXPECT_EQ(ring.led(1), leds[2]);
    EXPECT_EQ(ring.led(2), leds[3]);
    EXPECT_EQ(ring.led(3), leds[1]);
    EXPECT_EQ(leds[1]->Tag(), 0x70000000);
    EXPECT_EQ(leds[0]->Tag(), 0);

    // Moving the lit LED repaints two; darkening a dark ring repaints none.
    ring.allOff();
    ring.lightPosition(1);
    int before = 0;
    for (int i = 0; i < 4; ++i) before += ring.led(i)->paintCount();
    ring.lightPosition(2);
    int after = 0;
    for (int i = 0; i < 4; ++i) after += ring.led(i)->paintCount();
    EXPECT_EQ(after - before, 2);
    ring.allOff();
    before = after;
    after = 0;
    for (int i = 0; i < 4; ++i) after += ring.led(i)->paintCount();
    EXPECT_EQ(after - before, 1);
    ring.allOff();
    int again = 0;
    for (int i = 0; i < 4; ++i) again += ring.led(i)->paintCount();
    EXPECT_EQ(again, after);
}

#include "ledimage_test.moc"
