#include "codec/exit_with_error.h"
#include "tarn/main_loop.h"
#include "tarn/startup.h"
#include "tarn/tarn_mapper.h"

#include <iostream>

int main(int argc, char** argv) {
    const nlohmann::json job = tarn::buildJobConfig(argc, argv);

    tarn::CommandQueue commands;
    tarn::CommandReader reader(commands);
    std::shared_ptr<TarnMapper> mapper = createTarnMapper(compactJson(job));
    mapper->start();
    tarn::runMainLoop(*mapper, commands, std::cerr);
    mapper.reset();  // waits for the run thread
    return 0;
}
