#include "testsupport/mapper_run.h"

#include "testsupport/files.h"

#include <algorithm>

namespace testsupport {

int MapperRun::lastState() const { return lines.status.empty() ? 0 : lines.status.back()["state"].get<int>(); }

bool MapperRun::loggedStart(const std::string& prefix) const {
    return std::any_of(lines.text.begin(), lines.text.end(),
                       [&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
}

MapperRun runMapper(const std::string& program, const std::string& taskText, const std::string& input,
                    double timeoutSeconds, const std::vector<std::string>& environment) {
    std::vector<std::string> argv;
    if (!environment.empty()) {
        argv.push_back(findOnPath("env"));
        argv.insert(argv.end(), environment.begin(), environment.end());
    }
    argv.insert(argv.end(), {program, "--task", base64Encode(taskText)});
    MapperRun run;
    run.process = runProcess(argv, input, timeoutSeconds);
    run.lines = parseMapperLines(run.process.err);
    return run;
}

}  // namespace testsupport
