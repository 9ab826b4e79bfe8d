#pragma once
// Unit Ledimage: an image control that shows one LED of the amplifier's front
// panel. It draws whatever picture it holds, like any image control, and only
// chooses that picture among seven faces shared by every LED of the process.

#include <cstdint>

#include "leds/led_state.h"
#include "leds/tcolor.h"
#include "platform/widgets/timage.h"

class TLEDImage : public TImage {
    Q_OBJECT
    Q_PROPERTY(TColor Color READ Color WRITE SetColor)
    Q_PROPERTY(bool LEDOn READ LEDOn WRITE TurnOn)
    Q_PROPERTY(TColor OnColor READ OnColor WRITE SetOnColor)
    Q_PROPERTY(TColor OffColor READ OffColor WRITE SetOffColor)
    Q_PROPERTY(bool Brightness READ Brightness WRITE MakeBright)
    Q_PROPERTY(int32_t ExtinguishTimeout READ ExtinguishTimeout WRITE setExtinguishTimeout)
public:
    explicit TLEDImage(QWidget* owner = nullptr);
    ~TLEDImage() override;

    TColor Color() const { return state_.color; }
    bool LEDOn() const { return state_.on; }
    TColor OnColor() const { return state_.onColor; }
    TColor OffColor() const { return state_.offColor; }
    bool Brightness() const { return state_.bright; }
    int32_t ExtinguishTimeout() const { return state_.extinguishTimeout; }
    void setExtinguishTimeout(int32_t ms) { state_.extinguishTimeout = ms; }
    int32_t TurnOnTick() const { return state_.turnOnTick; }
    LedFace face() const { return state_.face; }

    // Shows the normal face of c; an unknown colour is ignored.
    void SetColor(TColor c);
    // Take effect at the next TurnOn; an unknown colour is ignored.
    void SetOnColor(TColor c);
    void SetOffColor(TColor c);
    void TurnOn(bool on);
    void MakeBright(bool bright);
    // Turns the LED off when it has been on for longer than ExtinguishTimeout;
    // true when it did.
    bool ShouldExtinguish();

    // Live LED controls; the shared faces exist while it is above zero.
    static int InstanceCount();
    // The shared face image, null while no control lives or if it failed to load.
    static QImage sharedFace(LedFace f);
    // The face drawn for a screen of that pixel ratio (the bitmap at 1).
    static QImage sharedFace(LedFace f, double ratio, bool transparent);

protected:
    QImage sharpFor(double ratio) override;

private:
    void showFace();
    LedState state_;
};
