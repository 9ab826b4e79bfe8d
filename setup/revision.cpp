#include "setup/revision.h"

namespace setup {

namespace {

// Marker spots of the stompbox ring, clockwise from just left of the top; the
// other rings are the same 87 and 177 pixels to the right.
constexpr MarkerSpot kRingMarkerPositions[12] = {
    {134, 42}, {145, 42}, {154, 49}, {159, 58}, {159, 68}, {154, 76},
    {145, 82}, {135, 82}, {125, 76}, {120, 68}, {120, 57}, {125, 48},
};
constexpr int32_t kLeftOffset[3] = {0, 87, 177};
constexpr int kBit[3] = {1, 2, 4};
constexpr size_t kCharacter[3] = {0, 2, 3};

}  // namespace

const std::vector<std::string>& ringEntries(Ring ring) {
    static const std::vector<std::string> stompboxes = {
        "Compressor", "Auto Wah", "Booster", "Overdrive", "Distortion", "Fuzz",
        "Chorus", "Phaser", "Flanger", "Tremolo", "Octaver", "Noise Gate"};
    static const std::vector<std::string> amps = {
        "Clean", "Bright Clean", "Glass", "Chime", "Blues", "Crunch",
        "Vintage Lead", "Classic Drive", "Hot Lead", "Modern High Gain", "Metal", "Bass", ""};
    static const std::vector<std::string> effects = {
        "Room", "Hall", "Plate", "Spring", "Slap Echo", "Tape Echo",
        "Digital Delay", "Ping Pong", "Mod Delay", "Shimmer", "Rotary", "Pitch Shift", ""};
    switch (ring) {
        case Ring::Stompbox: return stompboxes;
        case Ring::Amp: return amps;
        case Ring::Effects: break;
    }
    return effects;
}

std::optional<MarkerSpot> markerSpot(Ring ring, int index) {
    if (index < 0 || index >= 12) return std::nullopt;
    const MarkerSpot s = kRingMarkerPositions[index];
    return MarkerSpot{s.left + kLeftOffset[int(ring)], s.top};
}

bool RevisionReading::choose(Ring ring, int index) {
    if (index < 0) return false;
    const int r = int(ring);
    last_[size_t(r)] = index;
    chosen_ |= kBit[r];
    // Digits 0 to 9; the later entries give the characters after '9'.
    text_[kCharacter[r]] = char(48 + index);
    if (complete()) text_[1] = '.';
    return true;
}

}  // namespace setup
