// The revision read off the rings, without a window.
#include <gtest/gtest.h>

#include "setup/revision.h"

using setup::Ring;

namespace {

TEST(RevisionTest, TheTextFillsInAsTheRingsAreChosen) {
    setup::RevisionReading r;
    EXPECT_EQ(r.text(), "x.xx");
    EXPECT_FALSE(r.choose(Ring::Stompbox, -1)) << "nothing selected changes nothing";
    EXPECT_EQ(r.ringsChosen(), 0);
    r.choose(Ring::Stompbox, 2);
    EXPECT_EQ(r.text(), "2.xx");
    r.choose(Ring::Effects, 5);
    EXPECT_EQ(r.text(), "2.x5");
    EXPECT_FALSE(r.complete());
    r.choose(Ring::Amp, 0);
    EXPECT_EQ(r.text(), "2.05");
    EXPECT_TRUE(r.complete());
    // A later choice replaces its digit; the reading stays complete.
    r.choose(Ring::Stompbox, 1);
    r.choose(Ring::Effects, 2);
    EXPECT_EQ(r.text(), "1.02");
    EXPECT_EQ(r.ringsChosen(), 7);
    r.choose(Ring::Effects, 11);
    EXPECT_EQ(r.text(), "1.0;");
    r.choose(Ring::Amp, 12);
    EXPECT_EQ(r.text(), "1.<;");
}

TEST(RevisionTest, MarkersSitOnTheTableSpotsOfEachRing) {
    EXPECT_EQ(setup::markerSpot(Ring::Stompbox, 0)->left, 134);
    EXPECT_EQ(setup::markerSpot(Ring::Stompbox, 0)->top, 42);
    EXPECT_EQ(setup::markerSpot(Ring::Amp, 3)->left, 246);
    EXPECT_EQ(setup::markerSpot(Ring::Effects, 7)->left, 312);
    EXPECT_EQ(setup::markerSpot(Ring::Effects, 7)->top, 82);
    EXPECT_EQ(setup::markerSpot(Ring::Effects, 11)->left, 302);
    // The lists' empty 13th entry has no spot.
    EXPECT_FALSE(setup::markerSpot(Ring::Amp, 12));
    EXPECT_FALSE(setup::markerSpot(Ring::Stompbox, -1));
    EXPECT_EQ(setup::ringEntries(Ring::Stompbox).size(), 12u);
    EXPECT_EQ(setup::ringEntries(Ring::Amp).size(), 13u);
    EXPECT_EQ(setup::ringEntries(Ring::Effects).back(), "");
}

}  // namespace
