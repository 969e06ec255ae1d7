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

// Sets dataset to the dataset file's path; false, with the reason in error,
// on failure.
bool writeSurvey(const SurveyPlan& plan, const std::string& folder, const SurveyOptions& options, std::string& dataset,
                 std::string& error);

}  // namespace survey
