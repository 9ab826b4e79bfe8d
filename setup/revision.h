#pragma once
// Reading the amplifier's firmware revision off its LED rings: the user
// picks, for each of the three rings, the entry whose position is lit. Plain
// logic; the wizard window shows it.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace setup {

enum class Ring { Stompbox = 0, Amp = 1, Effects = 2 };

// The entries of each ring's list, entry k standing for LED position k (the
// amp and effects lists end with an empty entry).
const std::vector<std::string>& ringEntries(Ring ring);

struct MarkerSpot {
    int32_t left;
    int32_t top;
};

// Where the marker of LED position 0..11 goes on a ring, in the wizard's
// client coordinates; nothing for an index outside the table (the lists'
// empty last entry).
std::optional<MarkerSpot> markerSpot(Ring ring, int index);

class RevisionReading {
public:
    // One list's choice; index -1 (nothing selected) changes nothing and
    // returns false. Returns true when the choice was taken.
    bool choose(Ring ring, int index);
    // "d.dd" once all three rings have a choice, "x.xx"-style before.
    const std::string& text() const { return text_; }
    bool complete() const { return chosen_ == 7; }
    int32_t ringsChosen() const { return chosen_; }

private:
    std::string text_ = "x.xx";
    int32_t chosen_ = 0;
    std::array<int, 3> last_{-1, -1, -1};
};

}  // namespace setup
