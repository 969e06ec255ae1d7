// The home folder's checks of tiling locations: the home itself and paths
// among the runs set aside are refused in every spelling, paths beside them
// are not.
#include "tarn/home_folder.h"

#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Home {
    testsupport::TempDir dir{"zel-home"};
    testsupport::TempDir elsewhere{"zel-home-elsewhere"};
    std::string home = dir.path();

    Home() {
        fs::create_directories(dir.file("dom/19"));
        fs::create_directories(dir.file("previous_runs/20240101T000000Z/dom"));
        fs::create_directory_symlink(home, dir.file("self"));
        fs::create_directory_symlink(home, elsewhere.file("home-link"));
    }
};

TEST(TilingLocations, TheHomeAndItsSetAsideRunsAreRefusedInEverySpelling) {
    const Home h;
    const std::string& H = h.home;
    const std::string link = h.elsewhere.file("home-link");
    struct Case {
        std::string location;
        bool refused;
    };
    const std::vector<Case> cases = {
        {H, true},
        {H + "/", true},
        {H + "//", true},
        {H + "/.", true},
        {H + "/dom/..", true},
        {H + "/not-there/..", true},
        {H + "/self", true},
        {link, true},
        {link + "/", true},
        {H + "/previous_runs", true},
        {H + "/previous_runs/", true},
        {H + "/previous_runs/20240101T000000Z/dom", true},
        {H + "/previous_runs/later/dsm", true},
        {H + "/dom/../previous_runs/x", true},
        {link + "/previous_runs/x", true},
        {H + "/self/previous_runs", true},
        // Inside the home, beside the runs set aside, or outside it.
        {H + "/dom", false},
        {H + "/dom/19", false},
        {H + "/previous_runs_old", false},
        {H + "/maps/previous_runs", false},
        {link + "/dense", false},
        {H + "2", false},
        {h.elsewhere.path(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.location);
        std::string error;
        EXPECT_EQ(tarn::checkTilingLocations(H, {c.location}, error), !c.refused);
        EXPECT_EQ(error, c.refused ? "Invalid tiling location: " + c.location : "");
    }
}

TEST(TilingLocations, TheFirstRefusedLocationIsNamedAsGiven) {
    const Home h;
    std::string error;
    EXPECT_FALSE(tarn::checkTilingLocations(h.home, {h.home + "/dom", h.home + "/./", h.home + "/previous_runs"}, error));
    EXPECT_EQ(error, "Invalid tiling location: " + h.home + "/./");
    // A home given with a trailing separator or through a link is the same home.
    for (const std::string& home : {h.home + "/", h.elsewhere.file("home-link")}) {
        SCOPED_TRACE(home);
        error.clear();
        EXPECT_FALSE(tarn::checkTilingLocations(home, {h.home}, error));
        EXPECT_EQ(error, "Invalid tiling location: " + h.home);
        EXPECT_TRUE(tarn::checkTilingLocations(home, {h.home + "/dom"}, error));
    }
    error.clear();
    EXPECT_TRUE(tarn::checkTilingLocations(h.home, {}, error));
    EXPECT_EQ(error, "");
}

}  // namespace
