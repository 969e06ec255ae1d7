#pragma once
// Runs a copy of the built kolm in a temporary folder that holds its
// config/offset.csv, the POS files and the log.txt of the runs.

#include "testsupport/program_paths.h"
#include "testsupport/run_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kolmtest {

namespace fs = std::filesystem;

inline const char* kOffsetHeader =
    "Name,Type,Drone,downToPos.x,downToPos.y,downToPos.z,frontToDown.x,frontToDown.y,frontToDown.z\n";

class KolmRun : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("kolm_") + info->test_suite_name() + "_" + info->name() + "_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "config");
        fs::copy_file(testsupport::kKolmPath, dir_ / "kolm");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string write(const std::string& relative, const std::string& content) {
        const fs::path path = dir_ / relative;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    void writeOffsets(const std::string& rows) { write("config/offset.csv", kOffsetHeader + rows); }

    testsupport::ProcessResult run(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {(dir_ / "kolm").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::runProcess(argv, "", 60, dir_.string());
    }

    std::string log() const {
        std::ifstream in(dir_ / "log.txt", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path dir_;
};

inline std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, ',');) {
        fields.push_back(field);
    }
    if (!line.empty() && line.back() == ',') {
        fields.emplace_back();
    }
    return fields;
}

}  // namespace kolmtest
