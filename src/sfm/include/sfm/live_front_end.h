#pragma once
// The front end's live driver: "frame_located" per frame in flight order,
// once the next one is tracked and the GPS seen so far tells the scale (the
// first frames of a flight are held until then, or until maxHeld of them
// wait, and all are handed on by finish). A window of recent frames is
// adjusted with the settled ones fixed; a robust fit of the settled frames'
// centres to their GPS gives the scale they are handed on at.

#include "sfm/front_end.h"

namespace sfm {

class LiveFrontEnd : public FrontEnd {
public:
    using FrontEnd::FrontEnd;

    bool trackFrame(const std::shared_ptr<fw::MapFrame>& frame) override;
    void finish() override;

private:
    cv::Vec3d handedOnCentre(const Frame& frame, double& scale) override;
    // Matches a new frame with the window's frames beside it on other strips.
    void matchAcrossStrips(Frame& frame);
    // A frame whose next one was tracked keeps its pose in the window.
    void settle(Frame& frame);
    // Adjusts the held frames together and starts handing frames on.
    void release();
    // "frame_located" for every settled frame not yet handed on, in order.
    void handOnSettled();

    // The scale and offset that take the window's frame (held by the
    // settled frames) to the GPS, fitted to every frame settled so far.
    GpsFit gpsFit_;
    bool released_ = false;
    // The last frame handed on: its centre in the window's frame and as handed on.
    bool haveLast_ = false;
    cv::Vec3d lastCentre_{0, 0, 0}, lastHandedOn_{0, 0, 0};
};

}  // namespace sfm
