#pragma once
// The job's home folder: one job at a time (a lock on a file in it), the
// previous run's products set aside before a new run writes, and the output
// folders checked before any frame is read.

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarn {

// The lock file in every home folder; it stays when the job ends.
inline constexpr const char* kHomeLockName = "zel_mapper.lock";
// The folder in the home that takes the products of earlier runs.
inline constexpr const char* kPreviousRunsName = "previous_runs";

// Holds an exclusive flock on the home's lock file until destroyed.
class HomeLock {
public:
    HomeLock() = default;
    ~HomeLock();
    HomeLock(const HomeLock&) = delete;
    HomeLock& operator=(const HomeLock&) = delete;

    // Takes the lock of home; false, with why in error, when it cannot.
    bool lock(const std::filesystem::path& home, std::string& error);
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The folders a job writes, read from its chain configuration: the tiling
// locations of the DOM, the DSM and the point cloud, and the work folders.
struct JobFolders {
    std::vector<std::filesystem::path> outputs;
    std::vector<std::filesystem::path> work;
};
JobFolders jobFolders(const nlohmann::json& chain);

// What setAsidePreviousRun did: the folder the products went to and their
// paths relative to the home.
struct SetAside {
    std::filesystem::path folder;
    std::vector<std::string> moved;
};

// Refuses a tiling location that would blend one run with others: the home
// itself or a path inside its previous_runs/ (compared with symlinks, "."
// and ".." resolved). False, with "Invalid tiling location: " and the
// location as given in error, for the first such location.
bool checkTilingLocations(const std::filesystem::path& home, const std::vector<std::filesystem::path>& locations,
                          std::string& error);

// Moves the products of an earlier run that lie inside home (log.txt and
// each of paths that exists and is not an empty folder) into a new folder
// previous_runs/<UTC time> of the home, keeping their paths below the home.
// Paths outside the home are left alone; nothing is deleted. False, with
// why in error, when one cannot be moved; done then holds those moved before.
bool setAsidePreviousRun(const std::filesystem::path& home, const std::vector<std::filesystem::path>& paths,
                         SetAside& done, std::string& error);

// Creates the folder with its parents and checks that a file can be made in
// it (one is made and removed); false, with why in error, when it cannot.
bool checkOutputFolder(const std::filesystem::path& folder, std::string& error);

}  // namespace tarn
