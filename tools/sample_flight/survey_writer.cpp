#include "survey/survey_writer.h"

#include "reported.h"
#include "survey/local_frame.h"
#include "survey/relief_scene.h"
#include "survey/survey_truth.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

using nlohmann::json;
namespace fs = std::filesystem;

namespace survey {
namespace {

// The record that image_meta prints for the frame's embedded metadata.
json frameRecord(const std::string& uri, const SurveyShot& s, const SurveyPlan& plan) {
    const SurveyCamera& c = plan.camera;
    const double* gpsStd = plan.positionStd;
    const double* gimbalStd = plan.attitudeStd;
    return {{"uri", uri},
            {"timestamp", s.timestamp},
            {"gps", {{"longitude", s.longitude}, {"latitude", s.latitude}, {"altitude", s.altitude}}},
            {"rtk_std", {{"longitude", gpsStd[0]}, {"latitude", gpsStd[1]}, {"altitude", gpsStd[2]}}},
            {"relative_altitude", s.relativeAltitude},
            {"attitude", {{"pitch", s.pitch}, {"yaw", s.yaw}, {"roll", s.roll}}},
            {"attitude_std", {{"pitch", gimbalStd[0]}, {"yaw", gimbalStd[1]}, {"roll", gimbalStd[2]}}},
            {"calibration",
             {{"width", static_cast<double>(c.width)}, {"height", static_cast<double>(c.height)}, {"fx", c.fx},
              {"fy", c.fy}, {"cx", c.cx}, {"cy", c.cy}, {"k1", 0.0}, {"k2", 0.0}, {"p1", 0.0}, {"p2", 0.0},
              {"k3", 0.0}}}};
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// The XMP packet of a DJI camera; cx and cy of the dewarp text are offsets from the image centre.
std::string djiXmp(const SurveyShot& s, const SurveyPlan& plan) {
    const SurveyCamera& c = plan.camera;
    const double* rtkStd = plan.positionStd;
    const std::string dewarp = "2024-12-01;" + format("%.2f", c.fx) + "," + format("%.2f", c.fy) + "," +
                               format("%.2f", c.cx - c.width / 2) + "," + format("%.2f", c.cy - c.height / 2) +
                               ",0.0,0.0,0.0,0.0,0.0";
    return "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
           " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
           "  <rdf:Description rdf:about=\"DJI Meta Data\"\n"
           "    xmlns:drone-dji=\"http://www.dji.com/drone-dji/1.0/\"\n"
           "    drone-dji:AbsoluteAltitude=\"" + format("%+.3f", s.altitude) + "\"\n"
           "    drone-dji:RelativeAltitude=\"" + format("%+.3f", s.relativeAltitude) + "\"\n"
           "    drone-dji:GimbalRollDegree=\"" + format("%+.2f", s.roll) + "\"\n"
           "    drone-dji:GimbalYawDegree=\"" + format("%+.2f", s.yaw) + "\"\n"
           "    drone-dji:GimbalPitchDegree=\"" + format("%+.2f", s.pitch) + "\"\n"
           "    drone-dji:Latitude=\"" + format("%.9f", s.latitude) + "\"\n"
           "    drone-dji:Longitude=\"" + format("%.9f", s.longitude) + "\"\n"
           "    drone-dji:RtkFlag=\"50\"\n"
           "    drone-dji:RtkStdLon=\"" + format("%.3f", rtkStd[0]) + "\"\n"
           "    drone-dji:RtkStdLat=\"" + format("%.3f", rtkStd[1]) + "\"\n"
           "    drone-dji:RtkStdHgt=\"" + format("%.3f", rtkStd[2]) + "\"\n"
           "    drone-dji:DewarpData=\"" + dewarp + "\"/>\n"
           " </rdf:RDF>\n"
           "</x:xmpmeta>\n"
           "<?xpacket end=\"w\"?>";
}

std::string exifDate(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &tm);
    return text;
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

int runProgram(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One exiftool run for all frames: EXIF of a DJI camera and the XMP packet.
void embedMetadata(const fs::path& folder, const std::vector<SurveyShot>& shots, const std::vector<fs::path>& images,
                   const SurveyPlan& plan, const std::string& exiftool) {
    const SurveyCamera& camera = plan.camera;
    const fs::path work = folder / "metadata.tmp";
    fs::create_directories(work);
    std::string args;
    for (size_t i = 0; i < shots.size(); ++i) {
        const SurveyShot& s = shots[i];
        const fs::path xmp = work / (images[i].stem().string() + ".xmp");
        writeFile(xmp, djiXmp(s, plan));
        const std::string date = exifDate(s.timestamp);
        args += "-ExifByteOrder=Little-endian\n-Make=DJI\n-Model=FC6310S\n";
        args += "-ExifIFD:FocalLength=" + format("%.4f", camera.focalLength()) + "\n";
        args += "-ExifIFD:ExifImageWidth=" + std::to_string(camera.width) + "\n";
        args += "-ExifIFD:ExifImageHeight=" + std::to_string(camera.height) + "\n";
        args += "-ModifyDate=" + date + "\n-DateTimeOriginal=" + date + "\n";
        args += "-GPSLatitude=" + format("%.9f", std::abs(s.latitude)) + "\n-GPSLatitudeRef=" +
                (s.latitude < 0 ? "S" : "N") + "\n";
        args += "-GPSLongitude=" + format("%.9f", std::abs(s.longitude)) + "\n-GPSLongitudeRef=" +
                (s.longitude < 0 ? "W" : "E") + "\n";
        args += "-GPSAltitude=" + format("%.3f", std::abs(s.altitude)) + "\n-GPSAltitudeRef=" +
                (s.altitude < 0 ? "1" : "0") + "\n";
        args += "-xmp<=" + xmp.string() + "\n" + images[i].string() + "\n-execute\n";
    }
    const fs::path argFile = work / "arguments.txt";
    writeFile(argFile, args);
    const int status = runProgram({exiftool, "-@", argFile.string(), "-common_args", "-q", "-overwrite_original"});
    std::error_code ec;
    fs::remove_all(work, ec);
    if (status != 0) throw std::runtime_error("exiftool failed (" + std::to_string(status) + ") on " + folder.string());
}

// The steps of writeSurvey; they throw with a message on failure.
std::string writeSurveyFiles(const SurveyPlan& plan, const std::string& folderText, const SurveyOptions& options) {
    const fs::path folder(folderText);
    fs::create_directories(folder);
    if (!fs::is_directory(folder)) throw std::runtime_error("not a folder: " + folder.string());

    const cv::Vec2d half = plan.halfExtent();
    const ReliefScene scene(-half[0], -half[1], half[0], half[1], 0.1, plan.seed, plan.flatGround);
    const LocalFrame frame(plan.latitude, plan.longitude);
    // Frames are rendered from the true shots; the records hold what the plan's noise makes of them.
    const std::vector<SurveyShot> shots = plan.shots(ReliefScene::takeoffHeight());
    const std::vector<SurveyShot> recorded = plan.recorded(shots, ReliefScene::takeoffHeight());

    json records = json::array(), shotList = json::array();
    std::vector<fs::path> images;
    for (const SurveyShot& s : shots) {
        char name[32];
        std::snprintf(name, sizeof name, "frame_%03d.jpg", s.index);
        const fs::path image = folder / name;
        const cv::Vec3d C = frame.fromGeodetic(s.latitude, s.longitude, s.altitude);
        const cv::Matx33d R = frame.cameraToLocal(s.latitude, s.longitude, s.pitch, s.yaw, s.roll);
        int64_t missed = 0;
        const cv::Mat view =
            scene.render(plan.camera.K(), R, C, cv::Size(plan.camera.width, plan.camera.height), &missed, plan.camera.k1);
        if (missed > 0) throw std::runtime_error("frame " + std::to_string(s.index) + " sees beyond the scene");
        if (!cv::imwrite(image.string(), view, {cv::IMWRITE_JPEG_QUALITY, 92}))
            throw std::runtime_error("cannot write " + image.string());
        images.push_back(image);
        records.push_back(frameRecord(image.string(), recorded[s.index], plan));
        shotList.push_back({{"image", name}, {"strip", s.strip}, {"east", C[0]}, {"north", C[1]}, {"up", C[2]},
                            {"pitch", s.pitch}, {"yaw", s.yaw}, {"roll", s.roll}});
    }
    if (options.embedMetadata) embedMetadata(folder, recorded, images, plan, options.exiftool);

    const fs::path dataset = folder / "frames.json";
    writeFile(dataset, records.dump(2) + "\n");
    std::string error;
    if (!SurveyTruth::write((folder / "truth").string(), scene, plan, shotList, error)) throw std::runtime_error(error);
    return dataset.string();
}

}  // namespace

bool writeSurvey(const SurveyPlan& plan, const std::string& folder, const SurveyOptions& options, std::string& dataset,
                 std::string& error) {
    return reported([&] { dataset = writeSurveyFiles(plan, folder, options); }, error);
}

}  // namespace survey
