#pragma once
// Time stamps of progress records and output items.

namespace zel {

// Wall-clock seconds since 1970-01-01 UTC with millisecond resolution
// (whole milliseconds / 1000.0). Each call returns a value strictly greater
// than the one before, also within one millisecond, so "newer" stays
// well-defined for changes that follow each other closely.
double wallClockSeconds();

}  // namespace zel
