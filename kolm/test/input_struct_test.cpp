#include "kolm/input_struct.h"
#include "kolm/main.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

class PosInput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        previous_ = qInstallMessageHandler(quiet);
        Main::mode = "file";
        Main::posFileName = "pos_F12.csv";
    }
    void TearDown() override { qInstallMessageHandler(previous_); }

    QString write(const QByteArray& content, const QString& name = "pos_F12.csv") {
        const QString path = dir_.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        return path;
    }

    static inputStruct fromKv(const QString& text, const QString& mode = "kv") {
        return inputStruct(text.trimmed().split(","), mode);
    }

    static QString output(const inputStruct& input, const std::vector<PosCal::Pose>& poses) {
        QString text;
        QTextStream out(&text);
        input.append(out, poses);
        return text;
    }

    QTemporaryDir dir_;
    QtMessageHandler previous_ = nullptr;
};

PosCal::Pose samplePose() {
    PosCal::Pose p;
    p.latitude = 30.1;
    p.longitude = -120.25;
    p.abs_height = 99.5f;
    p.rel_height = 49.5f;
    p.pitch = -45;
    p.roll = 1.25f;
    p.yaw = 90;
    return p;
}

}  // namespace

TEST_F(PosInput, KeyValuePartsAndDefaults) {
    const inputStruct in = fromKv(" Camera=2,Group=5,Lat=30.1,Lon=120.2,AbsAlt=100,RltAlt=50,Pitch=0,Roll=0,Yaw=90, ");
    ASSERT_TRUE(in.error.isEmpty()) << in.error.toStdString();
    EXPECT_EQ(in.image_count, 1);
    ASSERT_EQ(in.items.size(), 1u);
    const auto& it = in.items[0];
    EXPECT_EQ(it.Id, -1);
    EXPECT_EQ(it.Camera, 2);
    EXPECT_EQ(it.Group, 5);
    EXPECT_EQ(it.pose.latitude, 30.1);
    EXPECT_EQ(it.pose.yaw, 90);
    EXPECT_EQ(it.pose.pitch, 0);
    EXPECT_FALSE(in.has_gimbal);
    EXPECT_FALSE(in.has_image_pos);
    EXPECT_FALSE(in.has_servo);
    EXPECT_EQ(it.gimbal.pitch, -90);
    EXPECT_EQ(it.gimbal.roll, 0);
    EXPECT_EQ(it.gimbal.yaw, 0);

    // two "=" and a bare "Lon=" are ignored; a later key replaces an earlier one
    const inputStruct odd = fromKv("Camera=1,Lat=1=2,Lon=,Group=3,Group=4,=7,Servo=30");
    EXPECT_FALSE(odd.kv.contains("Lat"));
    EXPECT_FALSE(odd.kv.contains("Lon"));
    EXPECT_EQ(odd.kv.value("Group"), "4");
    EXPECT_EQ(odd.items[0].pose.latitude, 0);
    EXPECT_TRUE(odd.has_servo);
    EXPECT_EQ(odd.items[0].servo, 30);
}

TEST_F(PosInput, KeyValueGimbalAndAngleKeys) {
    const inputStruct in = fromKv("Camera=3,Pitch=-30,X_Yaw=10,X_Pitch=2,Roll=4,Yaw=70");
    EXPECT_TRUE(in.has_gimbal);
    const auto& it = in.items[0];
    EXPECT_EQ(it.gimbal.pitch, -120);
    EXPECT_EQ(it.gimbal.roll, 4);
    EXPECT_EQ(it.gimbal.yaw, 10);
    EXPECT_EQ(it.pose.pitch, 2);
    EXPECT_EQ(it.pose.roll, 0);
    EXPECT_EQ(it.pose.yaw, 70);

    // with an X_ key but no gimbal pitch the camera looks straight down
    const inputStruct noPitch = fromKv("Camera=3,X_Roll=1");
    EXPECT_EQ(noPitch.items[0].gimbal.pitch, -90);
    EXPECT_EQ(noPitch.items[0].pose.roll, 1);

    // only the exact mode "kv" sets the presence flags
    const inputStruct other = fromKv("Camera=3,X_Yaw=10,Pitch=5,P_Lat=1,P_Lon=2,P_RltAlt=3,P_AbsAlt=4,P_Pitch=5,"
                                     "P_Roll=6,P_Yaw=7",
                                     "KV");
    EXPECT_FALSE(other.has_gimbal);
    EXPECT_FALSE(other.has_image_pos);
    EXPECT_EQ(other.items[0].pose.pitch, 5);
    EXPECT_EQ(other.items[0].gimbal.pitch, -90);
    const inputStruct ready = fromKv("Camera=3,P_Lat=1,P_Lon=2,P_RltAlt=3,P_AbsAlt=4,P_Pitch=5,P_Roll=6,P_Yaw=7");
    EXPECT_TRUE(ready.has_image_pos);
    EXPECT_EQ(ready.items[0].img_pose.rel_height, 3);
    EXPECT_EQ(ready.items[0].img_pose.abs_height, 4);
    EXPECT_EQ(ready.items[0].img_pose.roll, 6);
}

TEST_F(PosInput, CameraNumbersOutsideTheRigAreRefused) {
    for (const char* text : {"Group=1", "Camera=0", "Camera=6", "Camera=-2", "Camera=two"}) {
        const inputStruct in = fromKv(text);
        EXPECT_FALSE(in.error.isEmpty()) << text;
        EXPECT_TRUE(in.items.empty()) << text;
    }
    const inputStruct bad(write("Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw\n1,5,1,0,0,0,0,0,0,0\n"
                                "2,7,1,0,0,0,0,0,0,0\n"));
    EXPECT_EQ(bad.error.toStdString(), "Camera 7 of image 2 is outside 1-5!");
}

TEST_F(PosInput, FileColumnsWithAndWithoutXAngles) {
    const inputStruct plain(write("Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw,Servo\n"
                                  "7,1,3,30.5,120.5,100,50,1.5,-2.5,45,30\n"
                                  "8,2,3,30.5,120.5,100,50,0,0,0,60\n\n"));
    ASSERT_TRUE(plain.error.isEmpty()) << plain.error.toStdString();
    EXPECT_EQ(plain.image_count, 2);  // the trailing blank line is skipped
    EXPECT_FALSE(plain.has_gimbal);
    EXPECT_TRUE(plain.has_servo);
    EXPECT_EQ(plain.idx_debug, -1);
    EXPECT_EQ(plain.items[0].Id, 7);
    EXPECT_EQ(plain.items[0].pose.pitch, 1.5f);
    EXPECT_EQ(plain.items[0].pose.roll, -2.5f);
    EXPECT_EQ(plain.items[0].gimbal.pitch, -90);
    EXPECT_EQ(plain.items[1].servo, 60);

    const inputStruct x(write("Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,X_Pitch,X_Roll,Yaw,Pitch,Roll,X_Yaw\n"
                              "1,3,1,30,120,100,50,1,2,3,10,20,30\n"));
    ASSERT_TRUE(x.error.isEmpty()) << x.error.toStdString();
    EXPECT_TRUE(x.has_gimbal);
    EXPECT_FALSE(x.has_servo);
    const auto& it = x.items[0];
    EXPECT_EQ(it.pose.pitch, 1);
    EXPECT_EQ(it.pose.roll, 2);
    EXPECT_EQ(it.pose.yaw, 3);
    EXPECT_EQ(it.gimbal.pitch, -80);
    EXPECT_EQ(it.gimbal.roll, 20);
    EXPECT_EQ(it.gimbal.yaw, 30);
}

TEST_F(PosInput, UnusableFilesAreRefused) {
    struct Case {
        QByteArray content;
        std::string error;
    };
    const Case cases[] = {
        {"Id,Camera,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw\n1,1,0,0,0,0,0,0,0\n", "pos file has no Group column!"},
        {"Id,Camera,Group,Lat,Lon,AbsAlt,Pitch,Roll,Yaw\n1,1,1,0,0,0,0,0,0\n", "pos file has no RltAlt column!"},
        {"Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,X_Pitch,X_Roll,Yaw,Pitch,Roll\n1,1,1,0,0,0,0,0,0,0,0,0\n",
         "pos file has no X_Yaw column!"},
        {"Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw,Debug\n1,1,1,0,0,0,0,0,0,0\n",
         "pos file row 1 has 10 columns, 11 needed!"},
        {"Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw\n1,1,1,0,0,0,0,0,0,0\n\n2,1,1,0,0,0,0,0,0,0\n",
         "pos file row 2 has 1 columns, 10 needed!"},
    };
    for (const auto& c : cases) {
        const inputStruct in(write(c.content));
        EXPECT_EQ(in.error.toStdString(), c.error) << c.content.toStdString();
    }
    EXPECT_FALSE(inputStruct(dir_.filePath("missing.csv")).error.isEmpty());
    EXPECT_FALSE(inputStruct(QString("pos_F12.csv")).error.isEmpty());
    EXPECT_FALSE(inputStruct(write("")).error.isEmpty());

    // ready-made poses need no pose or angle columns
    const inputStruct ready(write("Id,Camera,Group,P_Lat,P_Lon,P_AbsAlt,P_RltAlt,P_Pitch,P_Roll,P_Yaw\n"
                                  "1,2,3,30,120,100,50,-90,2.5,10\n"));
    EXPECT_TRUE(ready.error.isEmpty()) << ready.error.toStdString();
    EXPECT_TRUE(ready.has_image_pos);
}

TEST_F(PosInput, NumberFieldsAreReadOrRefused) {
    // Accepted forms of numbers.
    const inputStruct in = fromKv("Camera=+2,Group=007,Lat=-1.5e1,Lon=.5,AbsAlt=3.4e38,Yaw=-0");
    ASSERT_TRUE(in.error.isEmpty()) << in.error.toStdString();
    const auto& it = in.items.at(0);
    EXPECT_EQ(it.Camera, 2);
    EXPECT_EQ(it.Group, 7);
    EXPECT_EQ(it.pose.latitude, -15);
    EXPECT_EQ(it.pose.longitude, 0.5);
    EXPECT_EQ(it.pose.abs_height, 3.4e38f);

    // The first field in use that is not one ends the reading; nothing is kept.
    struct Case {
        QString text;
        std::string error;
    };
    const Case cases[] = {
        {"Camera=1,Lat=abc,Lon=x", "kv part 2 (Lat): \"abc\" is not a number!"},
        {"Camera=1,Group=99999999999", "kv part 2 (Group): \"99999999999\" is not an integer!"},
        {"Camera=1,Servo=NaN", "kv part 2 (Servo): \"NaN\" is not a number!"},
        {"Camera=1,Roll=-1e40", "kv part 2 (Roll): \"-1e40\" is out of range!"},
        {"Lat=1,Lat=2x,Camera=1", "kv part 2 (Lat): \"2x\" is not a number!"},
    };
    for (const auto& c : cases) {
        const inputStruct bad = fromKv(c.text);
        EXPECT_EQ(bad.error.toStdString(), c.error) << c.text.toStdString();
        EXPECT_TRUE(bad.items.empty());
        EXPECT_EQ(bad.image_count, 0);
    }
    // A key that the calculation does not use is not read: with a ready-made
    // pose the drone's record is ignored.
    EXPECT_TRUE(fromKv("Camera=1,Lat=abc,P_Lat=1,P_Lon=2,P_RltAlt=3,P_AbsAlt=4,P_Pitch=5,P_Roll=6,P_Yaw=7")
                    .error.isEmpty());

    const inputStruct file(write("Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw,Servo\n"
                                 "1,2,3,30,120,100,50,0,0,0,45\n"
                                 "2,2,3,30,120,100,50,0,0,0,inf\n"));
    EXPECT_EQ(file.error.toStdString(), "pos file line 3 column 11 (Servo): \"inf\" is not a number!");
    EXPECT_TRUE(file.items.empty());
}

TEST_F(PosInput, FileOutputKeepsColumnsUpToDebug) {
    const inputStruct in(write("Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw,Debug,Notes\n"
                               "1,2,17,30.1,120.2,100,50,0,0,90,\"a,b\",n1\n"));
    ASSERT_TRUE(in.error.isEmpty()) << in.error.toStdString();
    EXPECT_EQ(output(in, {samplePose()}).toStdString(),
              "Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw,Debug,FileName,P_Lat,P_Lon,P_AbsAlt,P_RltAlt,"
              "P_Roll_CC,P_Roll,P_Pitch,P_Yaw\n"
              "1,2,17,30.1,120.2,100,50,0,0,90,a,b,Y_012_00017.JPG,30.1000000000000014,-120.2500000000000000,"
              "99.500000,49.500000,-1.250000,1.250000,-45.000000,90.000000\n");

    const inputStruct noDebug(write("Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw\n"
                                    "1,5,3,30.1,120.2,100,50,0,0,90\n"));
    EXPECT_EQ(output(noDebug, {samplePose()}).toStdString(),
              "FileName,P_Lat,P_Lon,P_AbsAlt,P_RltAlt,P_Roll_CC,P_Roll,P_Pitch,P_Yaw\n"
              "Z_012_00003.JPG,30.1000000000000014,-120.2500000000000000,99.500000,49.500000,-1.250000,1.250000,"
              "-45.000000,90.000000\n");

    const inputStruct ready(write("Id,Camera,Group,P_Lat,P_Lon,P_AbsAlt,P_RltAlt,P_Pitch,P_Roll,P_Yaw,Debug\n"
                                  "1,1,3,30,120,100,50,-90,2.5,10,d\n"));
    EXPECT_EQ(output(ready, {ready.items[0].img_pose}).toStdString(),
              "Id,Camera,Group,P_Lat,P_Lon,P_AbsAlt,P_RltAlt,P_Pitch,P_Roll,P_Yaw,Debug,FileName,P_Roll_CC\n"
              "1,1,3,30,120,100,50,-90,2.5,10,d,Q_012_00003.JPG,-2.500000\n");
}

TEST_F(PosInput, KeyValueOutputIsHeaderAndOneLine) {
    Main::mode = "kv";
    const inputStruct in = fromKv("Camera=2");
    EXPECT_EQ(output(in, {samplePose()}).toStdString(),
              "P_Lat,P_Lon,P_AbsAlt,P_RltAlt,P_Roll_CC,P_Roll,P_Pitch,P_Yaw\n"
              "30.1000000000000014,-120.2500000000000000,99.500000,49.500000,-1.250000,1.250000,-45.000000,"
              "90.000000\n");
}

TEST(ImageFileName, NumberFromThePosFileName) {
    struct Case {
        const char* posFile;
        int camera, group;
        const char* expected;
    };
    const Case cases[] = {
        {"/data/pos_F12.csv", 2, 17, "Y_012_00017.JPG"},
        {"/data/flight_007.csv", 1, 0, "Q_007_00000.JPG"},
        {"/data/flight_A7.txt", 3, 12345, "X_007_12345.JPG"},
        {"/data/flight_AB7.csv", 4, 1, "H_000_00001.JPG"},
        {"/data/a_b_3.tar.gz", 5, 2, "Z_003_00002.JPG"},
        {"/data/plain.csv", 1, 2, "Q_000_00002.JPG"},
        {"/data/x_1234.csv", 1, 123456, "Q_1234_123456.JPG"},
    };
    for (const auto& c : cases) {
        Main::posFileName = c.posFile;
        EXPECT_EQ(Main::get_file_name(c.camera, c.group).toStdString(), c.expected) << c.posFile;
    }
    EXPECT_TRUE(Main::get_file_name(0, 1).isEmpty());
    EXPECT_TRUE(Main::get_file_name(6, 1).isEmpty());
}
