#pragma once
// A temporary folder made on construction and removed with its contents on destruction.

#include <string>

namespace testsupport {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "zel-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of name inside the folder.
    std::string file(const std::string& name) const;
    // Writes bytes to name inside the folder; returns its path.
    std::string write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

}  // namespace testsupport
