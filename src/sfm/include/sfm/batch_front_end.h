#pragma once
// The front end's file-dataset driver: every frame is matched with its
// recent neighbours as it comes; at finish the recorded headings and
// positions that the images contradict give way, the strips' overlaps are
// matched, the block is adjusted as a whole and one "map_located" carries
// every frame.

#include "sfm/front_end.h"

namespace sfm {

class BatchFrontEnd : public FrontEnd {
public:
    using FrontEnd::FrontEnd;

    bool trackFrame(const std::shared_ptr<fw::MapFrame>& frame) override;
    void finish() override;

private:
    // The relief that a camera's frames see: the median relative departure
    // of their points from a plane, in depth.
    double reliefOf(int camera) const;
    void initialRotations();
    // Recorded attitudes that the images contradict give way to them.
    void checkRecordedHeadings();
    // Positions that the images contradict are dropped.
    void checkRecordedPositions();
    void matchAcrossStrips();
    // Intrinsics refined this far from the record's moved the rays that
    // the pairs were verified on: their matches are found again on the
    // refined cameras' rays. False when none moved as far.
    bool matchAgain();
};

}  // namespace sfm
