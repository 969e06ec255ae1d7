// Checks the printed camera poses against an independent formulation: the
// rotations composed with quaternions in double precision, and the positions
// from PROJ's azimuthal equidistant projection on the same sphere.
#include "kolm_run.h"

#include <array>
#include <cmath>
#include <cstdio>

using kolmtest::splitFields;
using testsupport::splitLines;

namespace {

constexpr double kDeg = 3.14159265358979323846 / 180.0;

using Vec = std::array<double, 3>;
using Mat = std::array<Vec, 3>;

struct Quat {
    double w, x, y, z;
};

Quat operator*(const Quat& a, const Quat& b) {
    return {a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
            a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x, a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w};
}

// Turn about a unit axis, angle in degrees.
Quat turn(double degrees, double x, double y, double z) {
    const double h = 0.5 * degrees * kDeg;
    return {std::cos(h), x * std::sin(h), y * std::sin(h), z * std::sin(h)};
}

Quat qx(double d) { return turn(d, 1, 0, 0); }
Quat qy(double d) { return turn(d, 0, 1, 0); }
Quat qz(double d) { return turn(d, 0, 0, 1); }

Mat matrixOf(const Quat& q) {
    const double w = q.w, x = q.x, y = q.y, z = q.z;
    return {{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
             {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
             {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}}};
}

Vec rotate(const Quat& q, const Vec& v) {
    const Mat m = matrixOf(q);
    Vec out{};
    for (int i = 0; i < 3; ++i) {
        out[i] = m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
    }
    return out;
}

enum class Rig { Five, Five2, Triple, Single };

struct RigCase {
    Rig rig;
    const char* type;
    int cameras;
    double lat, lon;  // the drone's position
};

const Vec kDown = {1.5, -0.7, 0.4};
const Vec kFront = {0.9, 0.3, -0.2};
const double kServo = 30;

Vec leverArm(Rig rig, int index) {
    const Vec& d = kDown;
    const Vec& f = kFront;
    if (rig == Rig::Triple) {
        const Vec arms[3] = {{d[0] + f[0], d[1] + f[1], d[2] + f[2]}, d, {d[0] - f[0], d[1] - f[1], d[2] + f[2]}};
        return arms[index];
    }
    const Vec arms[5] = {{d[0] + f[0], d[1] + f[1], d[2] + f[2]},
                         {d[0] - f[1], d[1] + f[0], d[2] + f[2]},
                         d,
                         {d[0] - f[0], d[1] - f[1], d[2] + f[2]},
                         {d[0] + f[1], d[1] - f[0], d[2] + f[2]}};
    return arms[index];
}

// The camera's turn inside the gimbal: x, then y, then z.
Quat mount(Rig rig, int index) {
    static const double five[5][3] = {{0, 45, 0}, {90, 0, 45}, {0, 0, 0}, {-180, -45, 0}, {-90, 0, -45}};
    static const double five2[5][3] = {{180, 45, 0}, {-90, 0, 45}, {0, 0, 0}, {0, -45, 0}, {90, 0, -45}};
    const double triple[3][3] = {{-90, kServo, 0}, {-90, 0, 0}, {-90, -kServo, 0}};
    const double* m = nullptr;
    switch (rig) {
        case Rig::Five: m = five[index]; break;
        case Rig::Five2: m = five2[index]; break;
        case Rig::Triple: m = triple[index]; break;
        case Rig::Single: m = five[2]; break;
    }
    return qz(m[2]) * qy(m[1]) * qx(m[0]);
}

struct Attitude {
    double dronePitch, droneRoll, droneYaw;
    double gimbalPitchInput, gimbalRoll, gimbalYaw;  // the input's gimbal pitch counts 0 as level
};

const Attitude kAttitudes[] = {
    {0, 0, 0, 0, 0, 0},          {3, -2, 37, 0, 0, 0},       {-5, 4, -150, 30, 0, 0}, {8, 1, 95, 10, 5, -20},
    {0, 0, 179, 45, -3, 12},     {2, -6, -60, 0, 0, 90},     {-10, 12, 250, 60, 8, -135},
};

std::string number(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

class PoseCheck : public kolmtest::KolmRun {};

}  // namespace

TEST_F(PoseCheck, PrintedPosesMatchQuaternionsAndProj) {
    const RigCase rigs[] = {
        {Rig::Five, "5", 5, 30.1, 120.2},
        {Rig::Five2, "5.2", 5, -33.9, 151.2},
        {Rig::Triple, "3", 3, 64.8, -147.7},
        {Rig::Single, "1", 5, 0.5, 10},
    };
    std::string vectors;
    for (double v : {kDown[0], kDown[1], kDown[2], kFront[0], kFront[1], kFront[2]}) {
        vectors += (vectors.empty() ? "" : ",") + number(v);
    }
    writeOffsets("R5,5,D," + vectors + "\nR52,5.2,D," + vectors + "\nR3,3,D," + vectors + "\nR1,1,D," + vectors + "\n");
    const char* products[] = {"R5", "R52", "R3", "R1"};

    for (size_t r = 0; r < 4; ++r) {
        const RigCase& rig = rigs[r];
        SCOPED_TRACE(std::string("type ") + rig.type);
        struct Row {
            int camera;
            Attitude a;
        };
        std::vector<Row> rows;
        std::string pos = "Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,X_Pitch,X_Roll,Yaw,Pitch,Roll,X_Yaw,Servo\n";
        for (int camera = 1; camera <= rig.cameras; ++camera) {
            for (const Attitude& a : kAttitudes) {
                rows.push_back({camera, a});
                pos += std::to_string(rows.size()) + "," + std::to_string(camera) + ",1," + number(rig.lat) + "," +
                       number(rig.lon) + ",100,50," + number(a.dronePitch) + "," + number(a.droneRoll) + "," +
                       number(a.droneYaw) + "," + number(a.gimbalPitchInput) + "," + number(a.gimbalRoll) + "," +
                       number(a.gimbalYaw) + "," + number(kServo) + "\n";
            }
        }
        const auto result = run({products[r], "D", write("pos_1.csv", pos)});
        ASSERT_EQ(result.exitCode, 0) << log();
        const auto lines = splitLines(result.out);
        ASSERT_EQ(lines.size(), rows.size() + 1);

        // expected offsets (north, east, down) and rotations
        std::string projInput;
        std::vector<Vec> offsetsNed;
        for (const Row& row : rows) {
            const Attitude& a = row.a;
            const Quat drone = qz(a.droneYaw) * qy(a.dronePitch) * qx(a.droneRoll);
            const Vec ned = rotate(drone * qz(a.gimbalYaw), leverArm(rig.rig, row.camera - 1));
            offsetsNed.push_back(ned);
            char line[128];
            std::snprintf(line, sizeof line, "%.12f %.12f\n", ned[1], ned[0]);
            projInput += line;
        }
        char definition[160];
        std::snprintf(definition, sizeof definition, "+lat_0=%.12f", rig.lat);
        std::vector<std::string> argv = {"/usr/bin/proj", "-I", "-f", "%.12f", "+proj=aeqd", "+R=6378137",
                                         definition};
        std::snprintf(definition, sizeof definition, "+lon_0=%.12f", rig.lon);
        argv.push_back(definition);
        const auto proj = testsupport::runProcess(argv, projInput, 30);
        ASSERT_EQ(proj.exitCode, 0) << "proj failed (is proj-bin installed?): " << proj.err;
        const auto projLines = splitLines(proj.out);
        ASSERT_EQ(projLines.size(), rows.size());

        for (size_t i = 0; i < rows.size(); ++i) {
            const Row& row = rows[i];
            SCOPED_TRACE("camera " + std::to_string(row.camera) + ", row " + std::to_string(i + 1));
            const auto f = splitFields(lines[i + 1]);
            ASSERT_EQ(f.size(), 9u) << lines[i + 1];
            double projLon = 0, projLat = 0;
            ASSERT_EQ(std::sscanf(projLines[i].c_str(), "%lf %lf", &projLon, &projLat), 2);
            EXPECT_NEAR(std::stod(f[1]), projLat, 1e-8);
            EXPECT_NEAR(std::remainder(std::stod(f[2]) - projLon, 360.0), 0, 1e-8);
            EXPECT_NEAR(std::stod(f[3]), 100 - offsetsNed[i][2], 1e-4);
            EXPECT_NEAR(std::stod(f[4]), 50 - offsetsNed[i][2], 1e-4);
            EXPECT_EQ(std::stod(f[5]), -std::stod(f[6]));

            const Attitude& a = row.a;
            const Quat expected = qz(a.droneYaw) * qz(a.gimbalYaw) * qx(a.gimbalRoll) *
                                  qy(a.gimbalPitchInput - 90) * mount(rig.rig, row.camera - 1);
            const double roll = std::stod(f[6]);
            const double pitch = std::stod(f[7]);
            const double yaw = std::stod(f[8]);
            const Mat printed = matrixOf(qz(yaw) * qy(pitch) * qx(roll));
            const Mat wanted = matrixOf(expected);
            for (int m = 0; m < 3; ++m) {
                for (int n = 0; n < 3; ++n) {
                    EXPECT_NEAR(printed[m][n], wanted[m][n], 1e-5) << "element " << m << "," << n;
                }
            }
        }
    }
}
