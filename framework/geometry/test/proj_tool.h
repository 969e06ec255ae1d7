#pragma once
// Runs a PROJ command-line tool (cs2cs, proj), found on PATH, over lines of
// coordinates and gives back the numbers of each output line.

#include "testsupport/run_process.h"

#include <cstdlib>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace projtool {

inline std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return name;
}

struct Result {
    testsupport::ProcessResult process;
    std::vector<std::vector<double>> rows;
};

inline Result run(const std::string& tool, std::vector<std::string> args,
                  const std::vector<std::vector<double>>& input) {
    std::ostringstream in;
    in.precision(17);
    for (const auto& row : input) {
        for (size_t i = 0; i < row.size(); ++i) in << (i ? " " : "") << row[i];
        in << '\n';
    }
    args.insert(args.begin(), findProgram(tool));
    Result r;
    r.process = testsupport::runProcess(args, in.str());
    for (const auto& line : testsupport::splitLines(r.process.out)) {
        std::istringstream fields(line);
        std::vector<double> values;
        double v;
        while (fields >> v) values.push_back(v);
        r.rows.push_back(values);
    }
    return r;
}

}  // namespace projtool
