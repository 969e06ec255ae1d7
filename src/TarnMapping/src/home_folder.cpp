#include "tarn/home_folder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tarn {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string errnoText() { return std::strerror(errno); }

// The path with symlinks, "." and ".." resolved and no trailing separator;
// empty when it cannot be resolved.
fs::path resolved(const fs::path& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    if (ec) return {};
    fs::path full = fs::weakly_canonical(absolute, ec).lexically_normal();
    if (ec) return {};
    if (!full.has_filename() && full.has_relative_path()) full = full.parent_path();
    return full;
}

// The path relative to home: "." for the home itself, empty when it lies
// outside the home or either cannot be resolved.
fs::path relativeToHome(const fs::path& home, const fs::path& path) {
    const fs::path base = resolved(home);
    const fs::path full = resolved(path);
    if (base.empty() || full.empty()) return {};
    const fs::path relative = full.lexically_relative(base);
    if (relative.empty() || *relative.begin() == "..") return {};
    return relative;
}

// The path below home when it lies strictly inside it, else empty.
fs::path insideHome(const fs::path& home, const fs::path& path) {
    const fs::path relative = relativeToHome(home, path);
    return relative == "." ? fs::path() : relative;
}

void addString(std::vector<fs::path>& to, const json& object, const json::json_pointer& at) {
    if (object.contains(at) && object[at].is_string()) to.emplace_back(object[at].get<std::string>());
}

std::string utcStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

}  // namespace

bool HomeLock::lock(const fs::path& home, std::string& error) {
    if (fd_ >= 0) return true;
    const fs::path path = home / kHomeLockName;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = "Failed to open the lock file " + path.string() + ": " + errnoText();
        return false;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? "Home folder in use by another job: " + home.string()
                                     : "Failed to lock the home folder " + home.string() + ": " + errnoText();
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

HomeLock::~HomeLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

JobFolders jobFolders(const json& chain) {
    JobFolders folders;
    if (!chain.is_array()) return folders;
    for (const json& item : chain) {
        if (!item.is_object() || !item.contains("config") || !item["config"].is_object()) continue;
        const json& config = item["config"];
        addString(folders.work, config, json::json_pointer("/work_dir"));
        addString(folders.work, config, json::json_pointer("/legacy_tf/work_dir"));
        addString(folders.outputs, config, json::json_pointer("/legacy_tf/dom/tiling/location"));
        addString(folders.outputs, config, json::json_pointer("/legacy_tf/dsm/tiling/location"));
        addString(folders.outputs, config, json::json_pointer("/tiling/location"));
    }
    return folders;
}

bool setAsidePreviousRun(const fs::path& home, const std::vector<fs::path>& paths, SetAside& done,
                         std::string& error) {
    done = SetAside();
    std::vector<fs::path> candidates{"log.txt"};
    for (const fs::path& path : paths) {
        const fs::path relative = insideHome(home, path);
        if (relative.empty() || *relative.begin() == kPreviousRunsName || relative == kHomeLockName) continue;
        candidates.push_back(relative);
    }
    for (const fs::path& relative : candidates) {
        const fs::path from = home / relative;
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(from, ec);
        if (ec || !fs::exists(status)) continue;
        // An empty folder holds nothing to blend with.
        if (fs::is_directory(status) && fs::is_empty(from, ec)) continue;
        if (done.folder.empty()) {
            const fs::path base = home / kPreviousRunsName / utcStamp();
            fs::path folder = base;
            for (int n = 2; fs::exists(folder, ec); ++n) folder = base.string() + "-" + std::to_string(n);
            done.folder = folder;
        }
        const fs::path to = done.folder / relative;
        fs::create_directories(to.parent_path(), ec);
        if (!ec) fs::rename(from, to, ec);
        if (ec) {
            error = "Failed to set aside " + from.string() + " in " + done.folder.string() + ": " + ec.message();
            return false;
        }
        done.moved.push_back(relative.string());
    }
    return true;
}

bool checkTilingLocations(const fs::path& home, const std::vector<fs::path>& locations, std::string& error) {
    for (const fs::path& location : locations) {
        const fs::path relative = relativeToHome(home, location);
        if (relative.empty()) continue;
        if (relative == "." || *relative.begin() == kPreviousRunsName) {
            error = "Invalid tiling location: " + location.string();
            return false;
        }
    }
    return true;
}

bool checkOutputFolder(const fs::path& folder, std::string& error) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        error = "Failed to create output folder " + folder.string() + ": " + ec.message();
        return false;
    }
    if (!fs::is_directory(folder, ec)) {
        error = "Output folder is not a folder: " + folder.string();
        return false;
    }
    std::string probe = (folder / ".zel_mapper_probe_XXXXXX").string();
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) {
        error = "Output folder cannot be written: " + folder.string() + ": " + errnoText();
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

}  // namespace tarn
