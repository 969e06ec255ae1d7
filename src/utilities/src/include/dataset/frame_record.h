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
std::shared_ptr<TarnMapperFrame> parseFrameRecord(ImageDataset& dataset, const nlohmann::json& record);
// The same; for a refused record, refusal holds why (the log text without its ": ").
std::shared_ptr<TarnMapperFrame> parseFrameRecord(ImageDataset& dataset, const nlohmann::json& record,
                                                  std::string& refusal);

// The position vector of a record: 14 values with a complete attitude,
// 8 with a position only, none without a complete "gps". A latitude outside
// +-90, a longitude outside +-180 or an altitude outside -1000 to 20000 m
// is logged as a WARNING naming the frame's uri, and the position is given
// as absent (0 with deviations of 1e9); the other values stay.
std::vector<double> frameRecordGps(const nlohmann::json& record);
