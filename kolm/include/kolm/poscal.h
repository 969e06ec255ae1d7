#pragma once
// Position and attitude of one camera of a drone's camera rig, from the drone's
// pose, the gimbal angles and the rig's lever arms. Angles are in degrees.

#include <QString>

#include <cstdint>
#include <memory>

class QSettings;

class PosCal {
public:
    enum Model : int { SINGLE_CAMERA = 0, FIVE_CAMERA = 1, TRIPLE_CAMERA = 2, FIVE_CAMERA2 = 3, MODEL_MAX = 4 };
    // Cameras of the five-camera rigs (and lever arms of the single-camera rig).
    enum CameraID : uint8_t { Front = 0, Right = 1, Down = 2, Back = 3, Left = 4 };
    // Cameras of the triple rig.
    enum CameraIDT2 : uint8_t { T2_RIGHT = 0, T2_DOWN = 1, T2_LEFT = 2 };

    struct Pose {
        double latitude = 0;
        double longitude = 0;
        float abs_height = 0;
        float rel_height = 0;
        float pitch = 0;
        float roll = 0;
        float yaw = 0;
    };

    struct Euler {
        float pitch = 0;
        float roll = 0;
        float yaw = 0;
    };

    PosCal(Model model, const float down2pos[3], const float front2down[3]);
    // Reads the model and both vectors from a settings file.
    explicit PosCal(const QString& path);
    ~PosCal();
    PosCal(const PosCal&) = delete;
    PosCal& operator=(const PosCal&) = delete;

    // A camera index outside the rig's table, or an unknown model, is fatal.
    Pose getPose(uint8_t id, Pose drone, Euler gimbal, float servo);

    // 1-based camera number to index.
    static uint8_t convertCamerId(uint8_t camera);
    // Lever arm of a camera in the body frame (x forward, y right, z down).
    void _getSensorPosInBody(float out[3], uint8_t id);

    // Rz(z) * Ry(y) * Rx(x)
    static void calc_dcm_by_xyz_euler(float out[3][3], float x, float y, float z);
    // Rz(z) * Rx(x) * Ry(y)
    static void calc_dcm_by_yxz_euler(float out[3][3], float x, float y, float z);
    // Rx(x) * Ry(y) * Rz(z)
    static void calc_dcm_by_zyx_euler(float out[3][3], float x, float y, float z);
    // Inputs (roll, pitch, yaw) in degrees, output (roll, pitch, yaw) in radians.
    static void calc_camera_rpy(float camera_rpy[3], const float gimbal_rpy[3], const float drone_rpy[3],
                                const float camera_in_gimbal[3]);

    // Camera attitudes in degrees (the names say "Altitude" for attitude).
    Euler calcFiveCamera1Altitude(uint8_t id, Euler gimbal, Euler drone);
    Euler calcFiveCamera2Altitude(uint8_t id, Euler gimbal, Euler drone);
    Euler calcSingleCameraAltitude(Euler gimbal, Euler drone);
    Euler calcTripleCameraAltitude(uint8_t id, Euler gimbal, Euler drone, float servo);

    Model model() const { return model_; }

private:
    Euler attitude(const float mount[3], Euler gimbal, Euler drone) const;

    Model model_;
    float down2Pos_[3];
    float front2Down_[3];
    std::unique_ptr<QSettings> config_;
};
