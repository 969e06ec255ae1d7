#pragma once
// Collects the log records written while it lives.

#include "testsupport/captured_log.h"

namespace stereo_test {

using LogCapture = testsupport::CapturedLog;

}  // namespace stereo_test
