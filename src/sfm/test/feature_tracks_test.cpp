// Tracks joined from pairwise matches: merging, the one-keypoint-per-frame
// rule, and forgetting frames.
#include "sfm/feature_tracks.h"

#include <gtest/gtest.h>

using sfm::FeatureTracks;

TEST(FeatureTracks, MatchesChainIntoOneTrack) {
    FeatureTracks tracks;
    tracks.join(0, 5, 1, 7);
    tracks.join(1, 7, 2, 3);
    tracks.join(3, 1, 2, 3);
    ASSERT_EQ(tracks.size(), 1u);
    const int64_t id = tracks.trackOf(0, 5);
    for (auto [frame, keyPoint] : {std::pair{1, 7}, std::pair{2, 3}, std::pair{3, 1}}) EXPECT_EQ(tracks.trackOf(frame, keyPoint), id);
    EXPECT_EQ(tracks.find(id)->observations.size(), 4u);
    EXPECT_EQ(tracks.trackOf(0, 6), -1);
}

TEST(FeatureTracks, TwoTracksMergeUnlessAFrameWouldSeeOneTwice) {
    FeatureTracks tracks;
    tracks.join(0, 1, 1, 1);
    tracks.join(2, 1, 3, 1);
    tracks.join(1, 1, 2, 1);  // merges
    EXPECT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks.trackOf(0, 1), tracks.trackOf(3, 1));

    tracks.join(4, 1, 0, 9);  // a new track with frame 0's keypoint 9
    tracks.join(4, 1, 3, 1);  // would give frame 0 keypoints 1 and 9: refused
    EXPECT_EQ(tracks.size(), 2u);
    EXPECT_NE(tracks.trackOf(4, 1), tracks.trackOf(3, 1));
    tracks.join(0, 2, 1, 1);  // frame 1 is in the track already: not added
    EXPECT_EQ(tracks.trackOf(0, 2), -1);
    tracks.join(5, 5, 5, 6);  // one frame: nothing
    EXPECT_EQ(tracks.trackOf(5, 5), -1);
}

TEST(FeatureTracks, DroppedFramesAndObservationsLeave) {
    FeatureTracks tracks;
    tracks.join(0, 1, 1, 1);
    tracks.join(1, 1, 2, 1);
    tracks.join(0, 2, 1, 2);
    tracks.dropFrame(0);
    EXPECT_EQ(tracks.trackOf(0, 1), -1);
    EXPECT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks.tracksOfFrame(1).size(), 2u);
    EXPECT_TRUE(tracks.tracksOfFrame(0).empty());
    tracks.removeObservation(1, 2);
    EXPECT_EQ(tracks.size(), 1u) << "the track of (1, 2) had no other observation left";
    tracks.dropFrame(1);
    tracks.dropFrame(2);
    EXPECT_EQ(tracks.size(), 0u);
}
