#pragma once
// Runs a program for black-box tests: feeds standard input, collects standard
// output and standard error apart, and kills it after a time limit.

#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int exitCode = -1;   // exit status, or -1 when it did not exit normally
    int signal = 0;      // terminating signal, 0 when it exited
    bool timedOut = false;
    long peakKiB = 0;    // the largest resident set it reached, KiB
    std::string out;
    std::string err;
};

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input = "",
                         double timeoutSeconds = 60.0, const std::string& workingDirectory = "");

// Standard base64 with padding.
std::string base64Encode(const std::string& bytes);

// Splits text into lines without their line ends.
std::vector<std::string> splitLines(const std::string& text);

}  // namespace testsupport
