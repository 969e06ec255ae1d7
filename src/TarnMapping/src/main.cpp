#include "zel_text/exit_with_error.h"
#include "tarn/main_loop.h"
#include "tarn/startup.h"
#include "tarn/tarn_mapper.h"

#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A host may start the program with a standard stream closed; the first
// file opened would then take its number and receive the stream's lines.
void openClosedStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    openClosedStandardStreams();
    // A host that stops reading standard error must not end the job: writes
    // to the closed pipe fail and are dropped, the job and log.txt go on.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv, argv + argc);
    nlohmann::json job;
    tarn::StartupError refusal;
    if (!tarn::buildJobConfig(arguments, std::cout, job, refusal)) zel::text::exitWithError(0, refusal.errorLine());

    tarn::CommandQueue commands;
    tarn::CommandReader reader(commands);
    std::shared_ptr<TarnMapper> mapper = createTarnMapper(zel::text::compactJson(job));
    mapper->start();
    tarn::runMainLoop(*mapper, commands, std::cerr);
    mapper.reset();  // waits for the run thread
    return 0;
}
