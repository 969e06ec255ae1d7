#pragma once
// Writes a synthetic survey into a folder: the frames as JPEG files
// ("frame_000.jpg", ...), "frames.json" (the dataset file of their frame
// records) and the ground truth in "truth/". With embedded metadata every
// JPEG also carries its record as a DJI camera writes it (EXIF and the
// drone-dji XMP attributes), written by exiftool.

#include "survey/survey_plan.h"

#include <string>

namespace survey {

struct SurveyOptions {
    bool embedMetadata = false;
    std::string exiftool = "exiftool";  // the program, found on PATH when it has no "/"
};

// Returns the dataset file's path; throws with a message on failure.
std::string writeSurvey(const SurveyPlan& plan, const std::string& folder, const SurveyOptions& options);

}  // namespace survey
