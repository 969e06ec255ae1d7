#pragma once
// POS input of kolm: a CSV file with one row per image, or one key=value list.

#include "kolm/poscal.h"
#include "qtcsv/string_data.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <memory>
#include <vector>

struct inputStruct {
    struct item {
        int Id = -1;
        int Camera = -1;
        int Group = -1;
        PosCal::Pose pose;  // the drone's POS record
        PosCal::Euler gimbal;
        float servo = 0;
        bool has_image_pos = false;
        PosCal::Pose img_pose;  // a pose given ready-made
    };

    // File mode: the CSV file at path (which must be absolute).
    explicit inputStruct(const QString& path);
    // Key=value mode: the parts of the comma-split argument.
    inputStruct(const QStringList& parts, const QString& mode);

    void update_has_member(const QString& mode);
    // Writes the header and one line per image; file mode keeps the input
    // columns up to "Debug" in front of the computed ones.
    void append(QTextStream& out, const std::vector<PosCal::Pose>& poses) const;

    int image_count = 0;
    std::vector<item> items;
    QtCSV::StringData strData;
    QMap<QString, QString> kv;
    bool has_image_pos = false;
    bool has_gimbal = false;
    bool has_servo = false;  // the servo input exists
    // Why the input cannot be used; empty when it can.
    QString error;

    int idx_Id = -1;
    int idx_Camera = -1;
    int idx_Group = -1;
    int idx_pose_latitude = -1;
    int idx_pose_longitude = -1;
    int idx_pose_abs_height = -1;
    int idx_pose_rel_height = -1;
    int idx_drone_pitch = -1;
    int idx_drone_roll = -1;
    int idx_drone_yaw = -1;
    int idx_gimbal_pitch = -1;
    int idx_gimbal_roll = -1;
    int idx_gimbal_yaw = -1;
    int idx_servo = -1;
    int idx_P_lat = -1;
    int idx_P_lng = -1;
    int idx_P_alt_height = -1;
    int idx_P_abs_height = -1;
    int idx_P_Pitch = -1;
    int idx_P_Roll = -1;
    int idx_P_Yaw = -1;
    int idx_debug = -1;

private:
    bool isFileMode_ = true;
    QString mode_;
    QMap<QString, int> kvPart_;  // kv mode: the 1-based part that gave each key

    void findColumns();
    bool checkColumns();
    void readRows();
    void readKv();
    void checkCameras();
};

// Reads the input of the mode ("file" or key=value); unusable input is fatal.
std::unique_ptr<inputStruct> getInputStruct(const QString& mode, const QString& argument);
