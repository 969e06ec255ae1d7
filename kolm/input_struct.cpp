#include "kolm/input_struct.h"

#include "kolm/main.h"
#include "qtcsv/reader.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The fields that kolm writes behind the input columns.
const QStringList kPoseFields = {"P_Lat", "P_Lon", "P_AbsAlt", "P_RltAlt", "P_Roll_CC", "P_Roll", "P_Pitch", "P_Yaw"};

QString degrees(double value) { return QString::number(value, 'f', 16); }
QString other(float value) { return QString::number(static_cast<double>(value), 'f', 6); }

QStringList poseFields(const PosCal::Pose& p) {
    return {degrees(p.latitude), degrees(p.longitude), other(p.abs_height), other(p.rel_height),
            other(-p.roll),      other(p.roll),        other(p.pitch),      other(p.yaw)};
}

bool isBlankRow(const QStringList& row) { return row.size() == 1 && row.first().isEmpty(); }

// Why text is not a usable number of a field of the given kind; empty when it is.
// Integers must fit an int, the other fields must be finite and fit their type.
enum class Kind { Integer, Double, Float };

QString numberProblem(const QString& text, Kind kind, double& value) {
    bool ok = false;
    if (kind == Kind::Integer) {
        const int v = text.toInt(&ok);
        value = v;
        return ok ? QString() : QString("\"%1\" is not an integer").arg(text);
    }
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v)) {
        return QString("\"%1\" is not a number").arg(text);
    }
    if (kind == Kind::Float && std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) {
        return QString("\"%1\" is out of range").arg(text);
    }
    value = v;
    return QString();
}

// The file line on which each row starts (the header on line 1); a quoted
// element with line breaks spans several lines.
std::vector<int> firstLines(const QtCSV::StringData& data) {
    std::vector<int> lines;
    int line = 1;
    for (int r = 0; r < data.rowCount(); ++r) {
        lines.push_back(line);
        line += 1;
        for (const QString& element : data.rowValues(r)) {
            line += element.count(QLatin1Char('\n'));
        }
    }
    return lines;
}

}  // namespace

inputStruct::inputStruct(const QString& path) : isFileMode_(true), mode_("file") {
    if (!QtCSV::Reader::readToData(path, strData, ",", "\"", QTextCodec::codecForName("UTF-8"))) {
        error = QString("Cannot read pos file (%1)!").arg(path);
        return;
    }
    while (strData.rowCount() > 1 && isBlankRow(strData.rowValues(strData.rowCount() - 1))) {
        strData.removeRow(strData.rowCount() - 1);
    }
    if (strData.isEmpty()) {
        error = QString("pos file (%1) is empty!").arg(path);
        return;
    }
    findColumns();
    update_has_member(mode_);
    if (!checkColumns()) {
        return;
    }
    image_count = strData.rowCount() - 1;
    readRows();
    if (!error.isEmpty()) {
        items.clear();
        image_count = 0;
        return;
    }
    checkCameras();
}

inputStruct::inputStruct(const QStringList& parts, const QString& mode) : isFileMode_(false), mode_(mode) {
    for (int i = 0; i < parts.size(); ++i) {
        const QStringList pieces = parts.at(i).split("=", Qt::SkipEmptyParts);
        if (pieces.size() != 2) {
            continue;
        }
        kv.insert(pieces.at(0), pieces.at(1));
        kvPart_.insert(pieces.at(0), i + 1);
        qDebug().noquote() << pieces.at(0) + "->" + pieces.at(1);
    }
    update_has_member(mode_);
    image_count = 1;
    readKv();
    if (!error.isEmpty()) {
        items.clear();
        image_count = 0;
        return;
    }
    checkCameras();
}

void inputStruct::findColumns() {
    const QStringList header = strData.rowValues(0);
    const bool xAngles = header.contains("X_Pitch") || header.contains("X_Roll") || header.contains("X_Yaw");
    idx_Id = header.indexOf("Id");
    idx_Camera = header.indexOf("Camera");
    idx_Group = header.indexOf("Group");
    idx_pose_latitude = header.indexOf("Lat");
    idx_pose_longitude = header.indexOf("Lon");
    idx_pose_abs_height = header.indexOf("AbsAlt");
    idx_pose_rel_height = header.indexOf("RltAlt");
    if (xAngles) {
        idx_drone_pitch = header.indexOf("X_Pitch");
        idx_drone_roll = header.indexOf("X_Roll");
        idx_drone_yaw = header.indexOf("Yaw");
        idx_gimbal_pitch = header.indexOf("Pitch");
        idx_gimbal_roll = header.indexOf("Roll");
        idx_gimbal_yaw = header.indexOf("X_Yaw");
    } else {
        idx_drone_pitch = header.indexOf("Pitch");
        idx_drone_roll = header.indexOf("Roll");
        idx_drone_yaw = header.indexOf("Yaw");
    }
    idx_servo = header.indexOf("Servo");
    idx_P_lat = header.indexOf("P_Lat");
    idx_P_lng = header.indexOf("P_Lon");
    idx_P_abs_height = header.indexOf("P_AbsAlt");
    idx_P_alt_height = header.indexOf("P_RltAlt");
    idx_P_Pitch = header.indexOf("P_Pitch");
    idx_P_Roll = header.indexOf("P_Roll");
    idx_P_Yaw = header.indexOf("P_Yaw");
    idx_debug = header.indexOf("Debug");

    const std::pair<const char*, int> logged[] = {
        {"idx_Id", idx_Id},
        {"idx_Camera", idx_Camera},
        {"idx_Group", idx_Group},
        {"idx_pose_latitude", idx_pose_latitude},
        {"idx_pose_longitude", idx_pose_longitude},
        {"idx_pose_abs_height", idx_pose_abs_height},
        {"idx_pose_rel_height", idx_pose_rel_height},
        {"idx_drone_pitch", idx_drone_pitch},
        {"idx_drone_roll", idx_drone_roll},
        {"idx_drone_yaw", idx_drone_yaw},
        {"idx_gimbal_pitch", idx_gimbal_pitch},
        {"idx_gimbal_roll", idx_gimbal_roll},
        {"idx_gimbal_yaw", idx_gimbal_yaw},
        {"idx_servo", idx_servo},
        {"idx_P_lat", idx_P_lat},
        {"idx_P_lng", idx_P_lng},
        {"idx_P_alt_height", idx_P_alt_height},
        {"idx_P_abs_height", idx_P_abs_height},
        {"idx_P_Pitch", idx_P_Pitch},
        {"idx_P_Roll", idx_P_Roll},
        {"idx_P_Yaw", idx_P_Yaw},
        {"idx_debug", idx_debug},
    };
    for (const auto& entry : logged) {
        qDebug("%s:%d", entry.first, entry.second);
    }
    qDebug("strData.rowCount: %d", strData.rowCount());
}

void inputStruct::update_has_member(const QString& mode) {
    if (mode == "file") {
        has_image_pos = idx_P_lat >= 0 && idx_P_lng >= 0 && idx_P_alt_height >= 0 && idx_P_abs_height >= 0 &&
                        idx_P_Pitch >= 0 && idx_P_Roll >= 0 && idx_P_Yaw >= 0;
        has_gimbal = idx_gimbal_pitch >= 0 || idx_gimbal_roll >= 0 || idx_gimbal_yaw >= 0;
        has_servo = idx_servo >= 0;
    } else if (mode == "kv") {
        has_image_pos = kv.contains("P_Lat") && kv.contains("P_Lon") && kv.contains("P_RltAlt") &&
                        kv.contains("P_AbsAlt") && kv.contains("P_Pitch") && kv.contains("P_Roll") &&
                        kv.contains("P_Yaw");
        has_gimbal = kv.contains("X_Pitch") || kv.contains("X_Roll") || kv.contains("X_Yaw");
        has_servo = kv.contains("Servo");
    } else {
        has_image_pos = false;
        has_gimbal = false;
        has_servo = kv.contains("Servo");
    }
}

bool inputStruct::checkColumns() {
    const QStringList header = strData.rowValues(0);
    // Columns that the output needs in any case, then those of the calculation.
    std::vector<std::pair<int, QString>> required = {{idx_Id, "Id"}, {idx_Camera, "Camera"}, {idx_Group, "Group"}};
    if (!has_image_pos) {
        const bool xAngles = header.contains("X_Pitch") || header.contains("X_Roll") || header.contains("X_Yaw");
        required.insert(required.end(), {{idx_pose_latitude, "Lat"},
                                         {idx_pose_longitude, "Lon"},
                                         {idx_pose_abs_height, "AbsAlt"},
                                         {idx_pose_rel_height, "RltAlt"},
                                         {idx_drone_pitch, xAngles ? "X_Pitch" : "Pitch"},
                                         {idx_drone_roll, xAngles ? "X_Roll" : "Roll"},
                                         {idx_drone_yaw, "Yaw"}});
        if (xAngles) {
            required.insert(required.end(),
                            {{idx_gimbal_pitch, "Pitch"}, {idx_gimbal_roll, "Roll"}, {idx_gimbal_yaw, "X_Yaw"}});
        }
    }
    for (const auto& column : required) {
        if (column.first < 0) {
            error = QString("pos file has no %1 column!").arg(column.second);
            return false;
        }
    }

    const int indices[] = {idx_Id,          idx_Camera,      idx_Group,      idx_pose_latitude, idx_pose_longitude,
                           idx_pose_abs_height, idx_pose_rel_height, idx_drone_pitch, idx_drone_roll,
                           idx_drone_yaw,   idx_gimbal_pitch, idx_gimbal_roll, idx_gimbal_yaw,   idx_servo,
                           idx_P_lat,       idx_P_lng,       idx_P_alt_height, idx_P_abs_height, idx_P_Pitch,
                           idx_P_Roll,      idx_P_Yaw,       idx_debug};
    const int needed = *std::max_element(std::begin(indices), std::end(indices)) + 1;
    for (int r = 1; r < strData.rowCount(); ++r) {
        const int size = strData.rowValues(r).size();
        if (size < needed) {
            error = QString("pos file row %1 has %2 columns, %3 needed!").arg(r).arg(size).arg(needed);
            return false;
        }
    }
    return true;
}

void inputStruct::readRows() {
    const QStringList header = strData.rowValues(0);
    const std::vector<int> lines = firstLines(strData);
    items.resize(static_cast<size_t>(image_count));
    for (int r = 1; r < strData.rowCount() && error.isEmpty(); ++r) {
        const QStringList row = strData.rowValues(r);
        // A field in use that is not a number is refused, naming its place.
        const auto read = [&](int index, Kind kind, double absent = 0) {
            double value = absent;
            if (index < 0 || !error.isEmpty()) {
                return value;
            }
            const QString problem = numberProblem(row.at(index), kind, value);
            if (!problem.isEmpty()) {
                error = QString("pos file line %1 column %2 (%3): %4!")
                            .arg(lines[static_cast<size_t>(r)])
                            .arg(index + 1)
                            .arg(header.at(index), problem);
            }
            return value;
        };
        const auto integer = [&](int index) { return static_cast<int>(read(index, Kind::Integer)); };
        const auto real = [&](int index) { return read(index, Kind::Double); };
        const auto single = [&](int index) { return static_cast<float>(read(index, Kind::Float)); };

        item& it = items[static_cast<size_t>(r - 1)];
        it.Id = integer(idx_Id);
        it.Camera = integer(idx_Camera);
        it.Group = integer(idx_Group);
        it.has_image_pos = has_image_pos;
        if (has_image_pos) {
            // the drone's record is not used; only the ready-made pose is read
            it.img_pose.latitude = real(idx_P_lat);
            it.img_pose.longitude = real(idx_P_lng);
            it.img_pose.abs_height = single(idx_P_abs_height);
            it.img_pose.rel_height = single(idx_P_alt_height);
            it.img_pose.pitch = single(idx_P_Pitch);
            it.img_pose.roll = single(idx_P_Roll);
            it.img_pose.yaw = single(idx_P_Yaw);
            continue;
        }
        it.pose.latitude = real(idx_pose_latitude);
        it.pose.longitude = real(idx_pose_longitude);
        it.pose.abs_height = single(idx_pose_abs_height);
        it.pose.rel_height = single(idx_pose_rel_height);
        it.pose.pitch = single(idx_drone_pitch);
        it.pose.roll = single(idx_drone_roll);
        it.pose.yaw = single(idx_drone_yaw);
        if (has_gimbal) {
            it.gimbal.pitch = single(idx_gimbal_pitch) - 90.0f;
            it.gimbal.roll = single(idx_gimbal_roll);
            it.gimbal.yaw = single(idx_gimbal_yaw);
        } else {
            it.gimbal.pitch = -90.0f;
        }
        it.servo = single(idx_servo);
    }
}

void inputStruct::readKv() {
    // A present key in use whose value is not a number is refused, naming its place.
    const auto read = [this](const char* key, Kind kind, double absent) {
        double value = absent;
        if (!kv.contains(key) || !error.isEmpty()) {
            return value;
        }
        const QString problem = numberProblem(kv.value(key), kind, value);
        if (!problem.isEmpty()) {
            error = QString("kv part %1 (%2): %3!").arg(kvPart_.value(key)).arg(key, problem);
        }
        return value;
    };
    const auto integer = [&read](const char* key) { return static_cast<int>(read(key, Kind::Integer, -1)); };
    const auto number = [&read](const char* key, double absent) { return read(key, Kind::Double, absent); };
    const auto single = [&read](const char* key, float absent) {
        return static_cast<float>(read(key, Kind::Float, static_cast<double>(absent)));
    };

    item it;
    it.Id = integer("Id");
    it.Camera = integer("Camera");
    it.Group = integer("Group");
    it.has_image_pos = has_image_pos;
    if (has_image_pos) {
        // the drone's record is not used; only the ready-made pose is read
        it.img_pose.latitude = number("P_Lat", 0);
        it.img_pose.longitude = number("P_Lon", 0);
        it.img_pose.abs_height = single("P_AbsAlt", 0);
        it.img_pose.rel_height = single("P_RltAlt", 0);
        it.img_pose.pitch = single("P_Pitch", 0);
        it.img_pose.roll = single("P_Roll", 0);
        it.img_pose.yaw = single("P_Yaw", 0);
        items.push_back(it);
        return;
    }
    it.pose.latitude = number("Lat", 0);
    it.pose.longitude = number("Lon", 0);
    it.pose.abs_height = single("AbsAlt", 0);
    it.pose.rel_height = single("RltAlt", 0);
    it.pose.pitch = single(has_gimbal ? "X_Pitch" : "Pitch", 0);
    it.pose.roll = single(has_gimbal ? "X_Roll" : "Roll", 0);
    it.pose.yaw = single("Yaw", 0);
    if (has_gimbal) {
        // an absent gimbal pitch looks straight down
        it.gimbal.pitch = single("Pitch", 0) - 90.0f;
        it.gimbal.roll = single("Roll", 0);
        it.gimbal.yaw = single("X_Yaw", 0);
    } else {
        it.gimbal.pitch = -90.0f;
    }
    it.servo = single("Servo", 0);
    items.push_back(it);
}

void inputStruct::checkCameras() {
    for (size_t i = 0; i < items.size(); ++i) {
        const int camera = items[i].Camera;
        if (camera < 1 || camera > Main::_prefix.size()) {
            error = QString("Camera %1 of image %2 is outside 1-%3!").arg(camera).arg(i + 1).arg(Main::_prefix.size());
            items.clear();
            image_count = 0;
            return;
        }
    }
}

void inputStruct::append(QTextStream& out, const std::vector<PosCal::Pose>& poses) const {
    const auto line = [&out](const QStringList& fields) { out << fields.join(",") << "\n"; };
    if (!isFileMode_) {
        line(kPoseFields);
        if (!poses.empty()) {
            line(poseFields(poses.front()));
        }
        out.flush();
        return;
    }
    const auto kept = [this](const QStringList& row) { return idx_debug >= 0 ? row.mid(0, idx_debug + 1) : QStringList(); };
    QStringList header = kept(strData.rowValues(0));
    if (has_image_pos) {
        header << "FileName" << "P_Roll_CC";
    } else {
        header << "FileName" << kPoseFields;
    }
    line(header);
    for (int r = 1; r < strData.rowCount() && static_cast<size_t>(r - 1) < poses.size(); ++r) {
        const item& it = items[static_cast<size_t>(r - 1)];
        const PosCal::Pose& pose = poses[static_cast<size_t>(r - 1)];
        QStringList fields = kept(strData.rowValues(r));
        fields << Main::get_file_name(it.Camera, it.Group);
        if (has_image_pos) {
            fields << other(-pose.roll);
        } else {
            fields << poseFields(pose);
        }
        line(fields);
    }
    out.flush();
}

std::unique_ptr<inputStruct> getInputStruct(const QString& mode, const QString& argument) {
    std::unique_ptr<inputStruct> input;
    if (mode == "file") {
        input.reset(new inputStruct(argument));
    } else {
        input.reset(new inputStruct(argument.trimmed().split(","), mode));
    }
    if (!input->error.isEmpty()) {
        qFatal("%s", qPrintable(input->error));
    }
    return input;
}
