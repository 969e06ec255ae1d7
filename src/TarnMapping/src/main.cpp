#include "tarn/startup.h"

int main(int argc, char** argv) {
    const nlohmann::json job = tarn::buildJobConfig(argc, argv);
    (void)job;
    return 0;
}
