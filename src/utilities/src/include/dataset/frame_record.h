#pragma once
// The frame record: one JSON object describing a photograph.

#include "dataset/tarn_mapper_frame.h"

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class ImageDataset;

// Checks one record and appends its frame to the dataset (the id is the
// dataset's frame count at that moment); empty when the record is refused.
// A calibration is refused when a value is not finite, when its width,
// height, fx or fy is not positive, or when a size is above 1e6 pixels or a
// focal length or principal point above 1e7 pixels in size.
std::shared_ptr<TarnMapperFrame> parseFrameRecord(ImageDataset& dataset, const nlohmann::json& record);
// The same; for a refused record, refusal holds why (the log text, without a trailing ": ").
std::shared_ptr<TarnMapperFrame> parseFrameRecord(ImageDataset& dataset, const nlohmann::json& record,
                                                  std::string& refusal);

// Parses the text of a live frame record. A number in its calibration too
// large for a double refuses it as a value that is not finite does (logged,
// false, refusal set); other texts that are not JSON throw the parser's
// exception.
bool parseFrameRecordText(const std::string& text, nlohmann::json& record, std::string& refusal);

// The position vector of a record: 14 values with a complete attitude,
// 8 with a position only, none without a complete "gps". A latitude outside
// +-90, a longitude outside +-180 or an altitude outside -1000 to 20000 m
// is logged as a WARNING naming the frame's uri, and the position is given
// as absent (0 with deviations of 1e9); the other values stay.
std::vector<double> frameRecordGps(const nlohmann::json& record);
