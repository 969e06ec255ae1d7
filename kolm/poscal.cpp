#include "kolm/poscal.h"

#include "kmath/geo.h"
#include "kmath/matrix.h"
#include "kmath/rotation.h"
#include "kmath/vector.h"

#include <QSettings>
#include <QtGlobal>

#include <cmath>

namespace {

constexpr float kDegToRad = 0.017453292f;
constexpr float kRadToDeg = 57.29578f;

// Fixed turn of each camera inside the gimbal, (x, y, z) in degrees.
const float kFiveMount[5][3] = {{0, 45, 0}, {90, 0, 45}, {0, 0, 0}, {-180, -45, 0}, {-90, 0, -45}};
const float kFive2Mount[5][3] = {{180, 45, 0}, {-90, 0, 45}, {0, 0, 0}, {0, -45, 0}, {90, 0, -45}};

void elementary(matrix3f out, float degrees, float x, float y, float z) {
    const vector4f aa = {degrees * kDegToRad, x, y, z};
    axis_angle_to_dcm(out, aa);
}

void product3(matrix3f out, const matrix3f a, const matrix3f b, const matrix3f c) {
    matrix3f_multi_matrix3f(out, a, b);
    matrix3f_multi_matrix3f(out, out, c);
}

void refuseCamera(uint8_t id, int model) { qFatal("unsupport camera index %d for model %d", id, model); }

}  // namespace

PosCal::PosCal(Model model, const float down2pos[3], const float front2down[3]) : model_(model) {
    vector3f_copy(down2Pos_, down2pos);
    vector3f_copy(front2Down_, front2down);
}

PosCal::PosCal(const QString& path) : config_(new QSettings(path, QSettings::IniFormat)) {
    down2Pos_[0] = config_->value("Offset/downToPos.x").toFloat();
    down2Pos_[1] = config_->value("Offset/downToPos.y").toFloat();
    down2Pos_[2] = config_->value("Offset/downToPos.z").toFloat();
    front2Down_[0] = config_->value("Offset/frontToDown.x").toFloat();
    front2Down_[1] = config_->value("Offset/frontToDown.y").toFloat();
    front2Down_[2] = config_->value("Offset/frontToDown.z").toFloat();
    model_ = static_cast<Model>(config_->value("Info/Model").toInt());
}

PosCal::~PosCal() = default;

uint8_t PosCal::convertCamerId(uint8_t camera) { return static_cast<uint8_t>(camera - 1); }

void PosCal::_getSensorPosInBody(float out[3], uint8_t id) {
    const float* d = down2Pos_;
    const float* f = front2Down_;
    switch (model_) {
        case SINGLE_CAMERA:
        case FIVE_CAMERA:
        case FIVE_CAMERA2:
            switch (id) {
                case Front: vector3f_set_value(out, d[0] + f[0], d[1] + f[1], d[2] + f[2]); return;
                case Right: vector3f_set_value(out, d[0] - f[1], d[1] + f[0], d[2] + f[2]); return;
                case Down: vector3f_set_value(out, d[0], d[1], d[2]); return;
                case Back: vector3f_set_value(out, d[0] - f[0], d[1] - f[1], d[2] + f[2]); return;
                case Left: vector3f_set_value(out, d[0] + f[1], d[1] - f[0], d[2] + f[2]); return;
                default: refuseCamera(id, model_); return;
            }
        case TRIPLE_CAMERA:
            switch (id) {
                case T2_RIGHT: vector3f_set_value(out, d[0] + f[0], d[1] + f[1], d[2] + f[2]); return;
                case T2_DOWN: vector3f_set_value(out, d[0], d[1], d[2]); return;
                case T2_LEFT: vector3f_set_value(out, d[0] - f[0], d[1] - f[1], d[2] + f[2]); return;
                default: refuseCamera(id, model_); return;
            }
        default:
            qFatal("unsupport model %d", static_cast<int>(model_));
    }
}

namespace {
// The three elementary rotations about x, y and z.
struct AxisRotations {
    matrix3f rx, ry, rz;
    AxisRotations(float x, float y, float z) {
        elementary(rx, x, 1, 0, 0);
        elementary(ry, y, 0, 1, 0);
        elementary(rz, z, 0, 0, 1);
    }
};
}  // namespace

void PosCal::calc_dcm_by_xyz_euler(float out[3][3], float x, float y, float z) {
    const AxisRotations r(x, y, z);
    product3(out, r.rz, r.ry, r.rx);
}

void PosCal::calc_dcm_by_yxz_euler(float out[3][3], float x, float y, float z) {
    const AxisRotations r(x, y, z);
    product3(out, r.rz, r.rx, r.ry);
}

void PosCal::calc_dcm_by_zyx_euler(float out[3][3], float x, float y, float z) {
    const AxisRotations r(x, y, z);
    product3(out, r.rx, r.ry, r.rz);
}

void PosCal::calc_camera_rpy(float camera_rpy[3], const float gimbal_rpy[3], const float drone_rpy[3],
                             const float camera_in_gimbal[3]) {
    matrix3f mount, gimbal, drone, world;
    calc_dcm_by_xyz_euler(mount, camera_in_gimbal[0], camera_in_gimbal[1], camera_in_gimbal[2]);
    calc_dcm_by_yxz_euler(gimbal, gimbal_rpy[0], gimbal_rpy[1], gimbal_rpy[2]);
    // The gimbal holds the camera level: only the drone's yaw turns it.
    calc_dcm_by_xyz_euler(drone, 0, 0, drone_rpy[2]);
    product3(world, drone, gimbal, mount);
    dcm_to_euler_xyz(camera_rpy, world);
    // For a camera that looks straight up or down, roll and yaw come apart from
    // rounding noise; take the roll that the yaw and pitch leave, so the three
    // angles rebuild the rotation (the same roll elsewhere).
    const vector3f yawPitch = {camera_rpy[2], camera_rpy[1], 0.0f};
    matrix3f turned;
    euler_to_dcm(turned, yawPitch);
    take_matrix3f_transpose(turned);
    matrix3f rest;
    matrix3f_multi_matrix3f(rest, turned, world);
    camera_rpy[0] = std::atan2(rest[2][1], rest[2][2]);
}

PosCal::Euler PosCal::attitude(const float mount[3], Euler gimbal, Euler drone) const {
    const float g[3] = {gimbal.roll, gimbal.pitch, gimbal.yaw};
    const float d[3] = {drone.roll, drone.pitch, drone.yaw};
    float rpy[3];
    calc_camera_rpy(rpy, g, d, mount);
    Euler e;
    e.pitch = rpy[1] * kRadToDeg;
    e.roll = rpy[0] * kRadToDeg;
    e.yaw = rpy[2] * kRadToDeg;
    return e;
}

PosCal::Euler PosCal::calcFiveCamera1Altitude(uint8_t id, Euler gimbal, Euler drone) {
    if (id > Left) {
        refuseCamera(id, FIVE_CAMERA);
        return Euler();
    }
    return attitude(kFiveMount[id], gimbal, drone);
}

PosCal::Euler PosCal::calcFiveCamera2Altitude(uint8_t id, Euler gimbal, Euler drone) {
    if (id > Left) {
        refuseCamera(id, FIVE_CAMERA2);
        return Euler();
    }
    return attitude(kFive2Mount[id], gimbal, drone);
}

PosCal::Euler PosCal::calcSingleCameraAltitude(Euler gimbal, Euler drone) {
    return attitude(kFiveMount[Down], gimbal, drone);
}

PosCal::Euler PosCal::calcTripleCameraAltitude(uint8_t id, Euler gimbal, Euler drone, float servo) {
    float mount[3] = {-90, 0, 0};
    switch (id) {
        case T2_RIGHT: mount[1] = servo; break;
        case T2_DOWN: break;
        case T2_LEFT: mount[1] = -servo; break;
        default: refuseCamera(id, TRIPLE_CAMERA); return Euler();
    }
    return attitude(mount, gimbal, drone);
}

PosCal::Pose PosCal::getPose(uint8_t id, Pose drone, Euler gimbal, float servo) {
    vector3f arm;
    _getSensorPosInBody(arm, id);

    matrix3f gimbalYaw;
    calc_dcm_by_yxz_euler(gimbalYaw, 0, 0, gimbal.yaw);
    vector3f inBody;
    matrix3f_multi_vector3f(inBody, gimbalYaw, arm);

    const vector3f droneEuler = {drone.yaw * kDegToRad, drone.pitch * kDegToRad, drone.roll * kDegToRad};
    matrix3f bodyToNav;
    euler_to_dcm(bodyToNav, droneEuler);
    vector3f ned;
    matrix3f_multi_vector3f(ned, bodyToNav, inBody);

    Pose pose;
    const double ref[2] = {drone.latitude, drone.longitude};
    const vector2f northEast = {ned[0], ned[1]};
    double position[2];
    geo_reproject(position, ref, northEast);
    pose.latitude = position[0];
    pose.longitude = position[1];
    pose.abs_height = drone.abs_height - ned[2];
    pose.rel_height = drone.rel_height - ned[2];

    Euler droneAttitude;
    droneAttitude.pitch = drone.pitch;
    droneAttitude.roll = drone.roll;
    droneAttitude.yaw = drone.yaw;
    Euler camera;
    switch (model_) {
        case SINGLE_CAMERA: camera = calcSingleCameraAltitude(gimbal, droneAttitude); break;
        case FIVE_CAMERA: camera = calcFiveCamera1Altitude(id, gimbal, droneAttitude); break;
        case TRIPLE_CAMERA: camera = calcTripleCameraAltitude(id, gimbal, droneAttitude, servo); break;
        case FIVE_CAMERA2: camera = calcFiveCamera2Altitude(id, gimbal, droneAttitude); break;
        default: break;
    }
    pose.pitch = camera.pitch;
    pose.roll = camera.roll;
    pose.yaw = camera.yaw;
    return pose;
}
