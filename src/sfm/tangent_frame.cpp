#include "sfm/tangent_frame.h"

#include "fw/geodetic.h"
#include "sfm/gimbal_pose.h"

namespace sfm {

TangentFrame::TangentFrame(double latitude, double longitude, double height)
    : axes_(enuToEcef(latitude, longitude)) {
    const pt::Point3d o = fw::geodeticToECEF(latitude, longitude, height);
    origin_ = cv::Vec3d(o.x, o.y, o.z);
}

}  // namespace sfm
