// Black-box runs of the built kolm.
#include "kolm_run.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>

using kolmtest::splitFields;
using testsupport::splitLines;

namespace {

std::string fixed16(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.16f", v);
    return text;
}

const char* kPosHeader = "Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw,Debug,Notes\n";
const char* kResultHeader = "FileName,P_Lat,P_Lon,P_AbsAlt,P_RltAlt,P_Roll_CC,P_Roll,P_Pitch,P_Yaw";

class Kolm : public kolmtest::KolmRun {};

}  // namespace

TEST_F(Kolm, FileModeWritesOneLinePerImage) {
    writeOffsets("P1,5,D1,0,0,0,0.2,0.1,0.05\n");
    const std::string pos = write("pos_F12.csv", std::string(kPosHeader) +
                                                     "1,3,17,30.1,120.2,100.5,50.25,0,0,90,\"a,b\",n1\n"
                                                     "2,1,17,30.1,120.2,100.5,50.25,0,0,90,d2,n2\n"
                                                     "3,5,18,30.1,120.2,100.5,50.25,0,0,90,d3,n3\n\n");
    const auto r = run({"P1", "D1", pos});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    const auto lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], std::string("Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw,Debug,") + kResultHeader);

    // the down camera without a lever arm sits exactly at the drone's position
    const auto down = splitFields(lines[1]);
    ASSERT_EQ(down.size(), 21u) << lines[1];
    EXPECT_EQ(down[10], "a");
    EXPECT_EQ(down[11], "b");
    EXPECT_EQ(down[12], "X_012_00017.JPG");
    EXPECT_EQ(down[13], fixed16(30.1));
    EXPECT_EQ(down[14], fixed16(120.2));
    EXPECT_EQ(down[15], "100.500000");
    EXPECT_EQ(down[16], "50.250000");
    EXPECT_EQ(std::stod(down[17]), -std::stod(down[18]));

    const auto front = splitFields(lines[2]);
    ASSERT_EQ(front.size(), 20u) << lines[2];
    EXPECT_EQ(front[10], "d2");
    EXPECT_EQ(front[11], "Q_012_00017.JPG");
    EXPECT_NE(front[12], fixed16(30.1));
    EXPECT_NEAR(std::stod(front[14]), 100.45, 1e-5);
    EXPECT_NEAR(std::stod(front[18]), -45, 1e-4);  // pitch of the front camera
    EXPECT_EQ(splitFields(lines[3])[11], "Z_012_00018.JPG");
    // every number in fixed notation: 16 decimals for the position, 6 for the rest
    const std::regex numbers(R"(^-?\d+\.\d{16},-?\d+\.\d{16}(,-?\d+\.\d{6}){6}$)");
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string tail = lines[i].substr(lines[i].find(".JPG,") + 5);
        EXPECT_TRUE(std::regex_match(tail, numbers)) << lines[i];
    }
}

TEST_F(Kolm, KeyValueModeWritesOneLine) {
    writeOffsets("P1,5,D1,0,0,0,1,1,1\n");
    const auto r = run({"P1", "D1", "Camera=3,Group=5,Lat=30.1,Lon=120.2,AbsAlt=100,RltAlt=50,Pitch=0,Roll=0,Yaw=90",
                        "-m", "kv"});
    EXPECT_EQ(r.exitCode, 0);
    const auto lines = splitLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0], "P_Lat,P_Lon,P_AbsAlt,P_RltAlt,P_Roll_CC,P_Roll,P_Pitch,P_Yaw");
    const auto f = splitFields(lines[1]);
    ASSERT_EQ(f.size(), 8u);
    EXPECT_EQ(f[0], fixed16(30.1));
    EXPECT_EQ(f[1], fixed16(120.2));
    EXPECT_EQ(f[2], "100.000000");
    EXPECT_EQ(f[3], "50.000000");

    // a gimbal given with the X_ keys: pitch -30 looks 120 degrees down from level
    const auto g = run({"P1", "D1", "Camera=3,Group=5,Lat=30.1,Lon=120.2,Pitch=-30,X_Yaw=10,Yaw=0", "--mode=kv"});
    const auto gl = splitLines(g.out);
    ASSERT_EQ(gl.size(), 2u) << g.out;
    const auto gf = splitFields(gl[1]);
    // camera axis rebuilt from (roll, pitch, yaw) is the gimbal's: pitch -120 about y, then yaw 10
    EXPECT_NEAR(std::stod(gf[6]), -60, 1e-4);
    EXPECT_NEAR(std::abs(std::stod(gf[5])), 180, 1e-4);
    EXPECT_NEAR(std::stod(gf[7]), 10 - 180, 1e-4);
}

TEST_F(Kolm, ReadyMadePosesNeedNoOffsetTable) {
    const std::string pos =
        write("pos_007.csv", "Id,Camera,Group,P_Lat,P_Lon,P_AbsAlt,P_RltAlt,P_Pitch,P_Roll,P_Yaw,Debug,More\n"
                             "1,4,9,30,120,100,50,-90,2.5,10,d,m\n");
    const auto r = run({"P-unknown", "D-unknown", pos});
    EXPECT_EQ(r.exitCode, 0) << log();
    EXPECT_EQ(r.out, "Id,Camera,Group,P_Lat,P_Lon,P_AbsAlt,P_RltAlt,P_Pitch,P_Roll,P_Yaw,Debug,FileName,P_Roll_CC\n"
                     "1,4,9,30,120,100,50,-90,2.5,10,d,H_007_00009.JPG,-2.500000\n");

    const auto kv = run({"P", "D", "Camera=1,P_Lat=1.5,P_Lon=2.5,P_RltAlt=3,P_AbsAlt=4,P_Pitch=5,P_Roll=6,P_Yaw=7",
                         "-m", "kv"});
    EXPECT_EQ(kv.exitCode, 0);
    EXPECT_EQ(kv.out, "P_Lat,P_Lon,P_AbsAlt,P_RltAlt,P_Roll_CC,P_Roll,P_Pitch,P_Yaw\n"
                      "1.5000000000000000,2.5000000000000000,4.000000,3.000000,-6.000000,6.000000,5.000000,7.000000\n");
}

TEST_F(Kolm, TypeTextsSelectTheRigModel) {
    writeOffsets("A,5,D,0,0,0,0.3,0.1,0.05\n"
                 "B,5.0,D,0,0,0,0.3,0.1,0.05\n"
                 "C,5.1,D,0,0,0,0.3,0.1,0.05\n"
                 "E,5.2,D,0,0,0,0.3,0.1,0.05\n"
                 "F,1,D,0,0,0,0.3,0.1,0.05\n"
                 "G,1.0,D,0,0,0,0.3,0.1,0.05\n"
                 "H,3,D,0,0,0,0.3,0.1,0.05\n"
                 "I,3.0,D,0,0,0,0.3,0.1,0.05\n");
    const std::string kv = "Camera=1,Group=1,Lat=30,Lon=120,AbsAlt=100,RltAlt=50,Yaw=20";
    std::map<std::string, std::string> out;
    for (const char* product : {"A", "B", "C", "E", "F", "G", "H", "I"}) {
        const auto r = run({product, "D", kv, "-m", "kv"});
        EXPECT_EQ(r.exitCode, 0) << product;
        out[product] = r.out;
    }
    EXPECT_EQ(out["A"], out["B"]);
    EXPECT_EQ(out["A"], out["C"]);
    EXPECT_EQ(out["F"], out["G"]);
    EXPECT_EQ(out["H"], out["I"]);
    EXPECT_NE(out["A"], out["E"]);
    EXPECT_NE(out["A"], out["F"]);
    EXPECT_NE(out["A"], out["H"]);
}

TEST_F(Kolm, ServoColumnTurnsTheTripleRigsSideCameras) {
    writeOffsets("T,3,D,0,0,0,0.3,0.1,0.05\n");
    const std::string rows = "1,1,1,30,120,100,50,0,0,20\n2,3,1,30,120,100,50,0,0,20\n3,2,1,30,120,100,50,0,0,20\n";
    const auto without = run({"T", "D", write("a_1.csv", std::string("Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw\n") + rows)});
    std::string with45 = "Id,Camera,Group,Lat,Lon,AbsAlt,RltAlt,Pitch,Roll,Yaw,Servo\n";
    std::string with30 = with45;
    for (const auto& line : splitLines(rows)) {
        with45 += line + ",45\n";
        with30 += line + ",30\n";
    }
    const auto r45 = run({"T", "D", write("b_1.csv", with45)});
    const auto r30 = run({"T", "D", write("c_1.csv", with30)});
    ASSERT_EQ(without.exitCode, 0);
    EXPECT_EQ(without.out, r45.out);  // no servo column means 45 degrees
    const auto a = splitLines(r45.out);
    const auto b = splitLines(r30.out);
    ASSERT_EQ(a.size(), 4u);
    ASSERT_EQ(b.size(), 4u);
    EXPECT_NE(a[1], b[1]);
    EXPECT_NE(a[2], b[2]);
    EXPECT_EQ(a[3], b[3]);  // the down camera ignores the servo
}

TEST_F(Kolm, FatalInputEndsWithoutOutput) {
    struct Case {
        std::string name;
        std::string offsets;
        std::vector<std::string> args;  // after product and drone; "@pos" is the POS file
        std::string pos;
        std::string fatal;
    };
    const std::string good = "1,1,1,30,120,100,50,0,0,0,d,n\n";
    const std::vector<Case> cases = {
        {"unknown product", "P1,5,D1,0,0,0,0,0,0\n", {"P9", "D1", "@pos"}, good, "Cannot find (P9, D1) in offset config!"},
        {"drone is case-sensitive", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "d1", "@pos"}, good,
         "Cannot find (P1, d1) in offset config!"},
        {"no offset table", "", {"P1", "D1", "@pos"}, good, "Cannot find (P1, D1) in offset config!"},
        {"type 5.00", "P1,5.00,D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"}, good,
         "offset config TYPE error! read_type:5.00"},
        {"type with a blank", "P1,\" 5\",D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"}, good,
         "offset config TYPE error! read_type: 5"},
        {"triple rig camera 4", "P1,3,D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"}, "1,4,1,30,120,100,50,0,0,0,d,n\n",
         "unsupport camera index 3 for model 2"},
        {"camera 6", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"}, good + "2,6,1,30,120,100,50,0,0,0,d,n\n",
         "Camera 6 of image 2 is outside 1-5!"},
        {"kv without camera", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "Group=1,Lat=30", "-m", "kv"}, "",
         "Camera -1 of image 1 is outside 1-5!"},
        {"relative pos path", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "pos_1.csv"}, good,
         "Cannot read pos file (pos_1.csv)!"},
        {"short row", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"}, good + "2,1,1,30,120\n",
         "pos file row 2 has 5 columns, 11 needed!"},
        // Fields that must be numbers, named by file line and column.
        {"latitude with a decimal comma", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"},
         "1,1,1,\"30,1\",120,100,50,0,0,0,d,n\n", "pos file line 2 column 4 (Lat): \"30,1\" is not a number!"},
        {"longitude abc on the second row", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"},
         good + "2,1,1,30,abc,100,50,0,0,0,d,n\n", "pos file line 3 column 5 (Lon): \"abc\" is not a number!"},
        {"yaw nan", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"}, "1,1,1,30,120,100,50,0,0,nan,d,n\n",
         "pos file line 2 column 10 (Yaw): \"nan\" is not a number!"},
        {"altitude inf", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"}, "1,1,1,30,120,-inf,50,0,0,0,d,n\n",
         "pos file line 2 column 6 (AbsAlt): \"-inf\" is not a number!"},
        {"empty pitch", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"}, "1,1,1,30,120,100,50,,0,0,d,n\n",
         "pos file line 2 column 8 (Pitch): \"\" is not a number!"},
        {"height beyond a float", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"}, "1,1,1,30,120,100,1e39,0,0,0,d,n\n",
         "pos file line 2 column 7 (RltAlt): \"1e39\" is out of range!"},
        {"camera 1.0", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"}, "1,1.0,1,30,120,100,50,0,0,0,d,n\n",
         "pos file line 2 column 2 (Camera): \"1.0\" is not an integer!"},
        {"line after a quoted line break", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "@pos"},
         "1,1,1,30,120,100,50,0,0,0,\"two\nlines\",n\n2,1,1,x30,120,100,50,0,0,0,d,n\n",
         "pos file line 4 column 4 (Lat): \"x30\" is not a number!"},
        {"kv latitude abc", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "Camera=3,Lat=abc,Lon=120", "-m", "kv"}, "",
         "kv part 2 (Lat): \"abc\" is not a number!"},
        {"kv yaw nan", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "Camera=3,Lat=30,Lon=120,Yaw=nan", "-m", "kv"}, "",
         "kv part 4 (Yaw): \"nan\" is not a number!"},
        {"kv gimbal pitch inf", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "Camera=3,X_Yaw=1,Pitch=inf", "-m", "kv"}, "",
         "kv part 3 (Pitch): \"inf\" is not a number!"},
        {"kv camera two", "P1,5,D1,0,0,0,0,0,0\n", {"P1", "D1", "Camera=two,Lat=30", "-m", "kv"}, "",
         "kv part 1 (Camera): \"two\" is not an integer!"},
        {"kv ready-made latitude", "", {"P1", "D1",
         "Camera=1,P_Lat=1.5.2,P_Lon=2.5,P_RltAlt=3,P_AbsAlt=4,P_Pitch=5,P_Roll=6,P_Yaw=7", "-m", "kv"}, "",
         "kv part 2 (P_Lat): \"1.5.2\" is not a number!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir_ / "log.txt");
        std::filesystem::remove(dir_ / "config/offset.csv");
        if (!c.offsets.empty()) {
            writeOffsets(c.offsets);
        }
        const std::string pos = write("pos_1.csv", kPosHeader + c.pos);
        std::vector<std::string> args = c.args;
        for (auto& a : args) {
            if (a == "@pos") {
                a = pos;
            }
        }
        const auto r = run(args);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        const auto lines = splitLines(log());
        ASSERT_FALSE(lines.empty());
        const std::string& last = lines.back();
        EXPECT_EQ(last.substr(last.find(")[") + 1), "[Fatal] " + c.fatal + "\r");
    }

    // a POS file without a column that the calculation needs
    writeOffsets("P1,5,D1,0,0,0,0,0,0\n");
    const auto r = run({"P1", "D1", write("pos_2.csv", "Id,Camera,Group,Lat,Lon,AbsAlt,Pitch,Roll,Yaw\n1,1,1,0,0,0,0,0,0\n")});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(log().find("[Fatal] pos file has no RltAlt column!\r\n"), std::string::npos);
}

TEST_F(Kolm, ReadyMadePoseThatIsNoNumberIsFatal) {
    const std::string pos =
        write("pos_007.csv", "Id,Camera,Group,P_Lat,P_Lon,P_AbsAlt,P_RltAlt,P_Pitch,P_Roll,P_Yaw,Debug\n"
                             "1,4,9,30,120,100,50,-90,2.5,10,d\n"
                             "2,4,9,30,120,100,50,-90,2.5x,10,d\n");
    const auto r = run({"P", "D", pos});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_NE(log().find("[Fatal] pos file line 3 column 9 (P_Roll): \"2.5x\" is not a number!\r\n"), std::string::npos)
        << log();
}

// Output that cannot be written ends the program with a failure status and a
// fatal line in log.txt; the console stays silent.
TEST_F(Kolm, UnwritableOutputIsFatal) {
    writeOffsets("P1,5,D1,0,0,0,0,0,0\n");
    const std::string pos = write("pos_1.csv", std::string(kPosHeader) + "1,1,1,30,120,100,50,0,0,0,d,n\n");
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::string redirect;
        std::string fatal;
    };
    const std::string full = "Cannot write the output to standard output (No space left on device)!";
    const std::vector<Case> cases = {
        {"file mode, full disk", {"P1", "D1", pos}, ">/dev/full", full},
        {"kv mode, full disk", {"P1", "D1", "Camera=3,Lat=30,Lon=120", "-m", "kv"}, ">/dev/full", full},
        {"help, full disk", {"--help"}, ">/dev/full", full},
        {"kv mode, closed output", {"P1", "D1", "Camera=3,Lat=30,Lon=120", "-m", "kv"}, ">&-",
         "Cannot write the output to standard output ("},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir_ / "log.txt");
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + c.redirect, (dir_ / "kolm").string()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = testsupport::runProcess(argv, "", 60, dir_.string());
        EXPECT_NE(r.exitCode, 0);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        const auto lines = splitLines(log());
        ASSERT_FALSE(lines.empty());
        const std::string& last = lines.back();
        EXPECT_EQ(last.substr(last.find(")[") + 1, 8 + c.fatal.size()), "[Fatal] " + c.fatal) << last;
    }
}

TEST_F(Kolm, LogLinesGoToLogTxtOnly) {
    writeOffsets("P1,5,D1,0,0,0,0,0,0\n");
    const std::string pos = write("pos_3.csv", std::string(kPosHeader) + "1,3,1,30,120,100,50,0,0,0,d,n\n");
    ASSERT_EQ(run({"P1", "D1", pos}).err, "");
    ASSERT_EQ(run({"P1", "D1", "/no/such/file.csv"}).err, "");
    const std::string text = log();
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");

    const std::regex line(R"(^\(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \)\[(Debug|Info|Warning|Critical|Fatal)\] .*\r$)");
    std::vector<std::string> messages;
    for (const auto& l : splitLines(text)) {
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        messages.push_back(l.substr(l.find(")[") + 1));
    }
    const auto count = [&messages](const std::string& m) { return std::count(messages.begin(), messages.end(), m + "\r"); };
    // appended across the two runs
    EXPECT_EQ(count("[Info] ========Start KOLM==========="), 2);
    EXPECT_EQ(count("[Debug] input mode is: file"), 2);
    EXPECT_EQ(count("[Debug] idx_Id:0"), 1);
    EXPECT_EQ(count("[Debug] idx_debug:10"), 1);
    EXPECT_EQ(count("[Debug] idx_gimbal_pitch:-1"), 1);
    EXPECT_EQ(count("[Debug] strData.rowCount: 2"), 1);
    EXPECT_EQ(count("[Debug] image_count:1"), 1);
    EXPECT_EQ(count("[Info] Start output"), 1);
    EXPECT_EQ(count("[Debug] CheckFile: Error - wrong file path: /no/such/file.csv"), 1);
    EXPECT_EQ(count("[Fatal] Cannot read pos file (/no/such/file.csv)!"), 1);

    const auto kv = run({"P1", "D1", "Camera=3,Lat=1", "-m", "kv"});
    EXPECT_EQ(kv.err, "");
    EXPECT_NE(log().find("[Debug] Lat->1\r\n"), std::string::npos);
}

TEST_F(Kolm, HelpWithFewerThanThreeArguments) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"P1", "D1"}, {"--help"}}) {
        const auto r = run(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_NE(r.out.find("Usage: "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Norra Image Position Calculator"), std::string::npos);
        EXPECT_NE(r.out.find("pos_file/kv"), std::string::npos);
        EXPECT_NE(r.out.find("mode = file/kv; default is file"), std::string::npos);
    }
    const auto v = run({"--version"});
    EXPECT_EQ(v.exitCode, 0);
    EXPECT_EQ(v.out, "kolm 1.4.1\n");
    const auto bad = run({"--no-such-option", "a", "b", "c"});
    EXPECT_NE(bad.exitCode, 0);
    EXPECT_EQ(bad.out, "");
}
