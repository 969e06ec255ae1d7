// The front end's configuration, and the driver createSfmInstance picks.
#include "front_end_fixture.h"
#include "sfm/batch_front_end.h"
#include "sfm/live_front_end.h"

using namespace front_end_test;

TEST(FrontEnd, ConfigurationMustBeAnObject) {
    RecordingChain chain;
    EXPECT_FALSE(createSfmInstance("not json", &chain, nullptr, nullptr));
    EXPECT_FALSE(createSfmInstance("[1]", &chain, nullptr, nullptr));
    EXPECT_TRUE(createSfmInstance("{}", &chain, nullptr, nullptr));
}

TEST(FrontEnd, LiveChoosesTheDriver) {
    RecordingChain chain;
    for (const char* config : {"{}", R"({"live":false})", R"({"live":"yes"})"}) {
        SCOPED_TRACE(config);
        auto frontEnd = createSfmInstance(config, &chain, nullptr, nullptr);
        EXPECT_TRUE(std::dynamic_pointer_cast<sfm::BatchFrontEnd>(frontEnd));
    }
    EXPECT_TRUE(std::dynamic_pointer_cast<sfm::LiveFrontEnd>(createSfmInstance(R"({"live":true})", &chain, nullptr, nullptr)));
}
