#pragma once
// Reading a whole file that must be a regular file: a folder, a device or a
// FIFO is refused without being waited on or read.

#include <string>

// The file's bytes in out; false when the path is not a regular file or
// cannot be opened or read (out is then empty). Never blocks on a FIFO.
// Throws only std::bad_alloc, when the file does not fit in memory.
bool readRegularFile(const std::string& path, std::string& out);
