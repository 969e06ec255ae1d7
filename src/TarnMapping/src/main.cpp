#include "zel_text/exit_with_error.h"
#include "tarn/main_loop.h"
#include "tarn/startup.h"
#include "tarn/tarn_mapper.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const tarn::JobConfig config = tarn::buildJobConfig(arguments, std::cout);
    if (!config.ok()) zel::text::exitWithError(0, config.errorLine());

    tarn::CommandQueue commands;
    tarn::CommandReader reader(commands);
    std::shared_ptr<TarnMapper> mapper = createTarnMapper(zel::text::compactJson(config.job));
    mapper->start();
    tarn::runMainLoop(*mapper, commands, std::cerr);
    mapper.reset();  // waits for the run thread
    return 0;
}
