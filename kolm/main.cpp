// kolm: positions and attitudes of the cameras of a drone's camera rig.
#include "kolm/configmgr.h"
#include "kolm/input_struct.h"
#include "kolm/main.h"
#include "kolm/output_message.h"
#include "kolm/poscal.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTextCodec>
#include <QTextStream>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Rig model of an offset table Type text; the text must match exactly.
PosCal::Model modelOfType(const QString& type) {
    if (type == "1" || type == "1.0") {
        return PosCal::SINGLE_CAMERA;
    }
    if (type == "5" || type == "5.0" || type == "5.1") {
        return PosCal::FIVE_CAMERA;
    }
    if (type == "3" || type == "3.0") {
        return PosCal::TRIPLE_CAMERA;
    }
    if (type == "5.2") {
        return PosCal::FIVE_CAMERA2;
    }
    qFatal("offset config TYPE error! read_type:%s", qPrintable(type));
}

std::vector<PosCal::Pose> computePoses(const inputStruct& input) {
    std::vector<PosCal::Pose> poses;
    if (input.has_image_pos) {
        for (const auto& it : input.items) {
            poses.push_back(it.img_pose);
        }
        return poses;
    }
    const ConfigMgr config(QCoreApplication::applicationDirPath() + "/config/offset.csv");
    ConfigMgr::offset offset;
    if (config.GetOffset(Main::productName, Main::droneName, offset) != 0) {
        qFatal("Cannot find (%s, %s) in offset config!", qPrintable(Main::productName), qPrintable(Main::droneName));
    }
    PosCal calculator(modelOfType(offset.model), offset.down2pos, offset.front2down);
    for (const auto& it : input.items) {
        const uint8_t id = PosCal::convertCamerId(static_cast<uint8_t>(it.Camera));
        const float servo = input.has_servo ? it.servo : 45.0f;
        poses.push_back(calculator.getPose(id, it.pose, it.gimbal, servo));
    }
    return poses;
}

// Ends the program with a fatal message when what was written to standard
// output did not arrive (a full disk, a closed pipe); error is the errno seen
// while writing, the reason given when the last flush tells none.
void finishOutput(bool written, int error) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
    if (written && flushed) {
        return;
    }
    if (errno != 0) {
        error = errno;
    }
    qFatal("Cannot write the output to standard output (%s)!", error != 0 ? std::strerror(error) : "write error");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kolm");
    QCoreApplication::setApplicationVersion("1.4.1");
    qInstallMessageHandler(outputMessage);
    qInfo("========Start KOLM===========");

    int exitCode = 0;
    errno = 0;
    if (!Main::process_cml(QCoreApplication::arguments(), exitCode)) {
        finishOutput(true, errno);
        return exitCode;
    }
    const auto input = getInputStruct(Main::mode, Main::posFileName);
    qDebug("image_count:%d", input->image_count);
    const std::vector<PosCal::Pose> poses = computePoses(*input);

    qInfo("Start output");
    QTextStream out(stdout);
    out.setCodec(QTextCodec::codecForName("UTF-8"));
    errno = 0;
    input->append(out, poses);
    finishOutput(out.status() == QTextStream::Ok, errno);
    return 0;
}
