// Json load and dump on a generated document of about 1 MB, beside
// nlohmann-json's parse and dump of the same text.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include <string>

#include "dv/var.h"

namespace {

// Frame-like records: strings, ints, doubles, bools, null, nested dicts and lists.
const std::string& documentText() {
    static const std::string text = [] {
        nlohmann::json records = nlohmann::json::array();
        size_t size = 0;
        for (int i = 0; size < (1u << 20); ++i) {
            nlohmann::json r;
            r["uri"] = "flight/images/DJI_" + std::to_string(10000 + i) + ".JPG";
            r["id"] = i;
            r["timestamp"] = 1695712345.125 + i * 0.5;
            r["gps"] = {113.9 + i * 1e-6, 22.5 + i * 2e-6, 120.25 + (i % 7), 0.02, 0.03, 0.05};
            r["calibration"] = {{"fx", 3666.67 + i % 13},
                                {"fy", 3666.67},
                                {"cx", 2736.0},
                                {"cy", 1824.0},
                                {"dist", {-0.0123, 0.0456, -0.0001, 0.0002, 0.0}}};
            r["attitude"] = {{"yaw", -87.6 + i % 90}, {"pitch", -90.0}, {"roll", 0.0}};
            r["rtk"] = i % 3 == 0;
            r["note"] = nullptr;
            r["label"] = "camera \"wide\"\tframe " + std::to_string(i);
            size += r.dump().size() + 1;
            records.push_back(r);
        }
        return records.dump();
    }();
    return text;
}

void DvJsonLoad(benchmark::State& state) {
    const std::string& text = documentText();
    for (auto _ : state) {
        dv::Var v = dv::Json::load(text);
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void NlohmannParse(benchmark::State& state) {
    const std::string& text = documentText();
    for (auto _ : state) {
        nlohmann::json j = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(j);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void DvJsonDump(benchmark::State& state) {
    dv::Var v = dv::Json::load(documentText());
    size_t bytes = 0;
    for (auto _ : state) {
        std::string out = dv::Json::dump(v);
        bytes = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["output_bytes"] = static_cast<double>(bytes);
}

void NlohmannDump(benchmark::State& state) {
    nlohmann::json j = nlohmann::json::parse(documentText());
    size_t bytes = 0;
    for (auto _ : state) {
        std::string out = j.dump();
        bytes = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["output_bytes"] = static_cast<double>(bytes);
}

// The indented form, the layout closest to the printed text of a value.
void NlohmannDumpIndented(benchmark::State& state) {
    nlohmann::json j = nlohmann::json::parse(documentText());
    size_t bytes = 0;
    for (auto _ : state) {
        std::string out = j.dump(2);
        bytes = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["output_bytes"] = static_cast<double>(bytes);
}

}  // namespace

BENCHMARK(DvJsonLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(NlohmannParse)->Unit(benchmark::kMillisecond);
BENCHMARK(DvJsonDump)->Unit(benchmark::kMillisecond);
BENCHMARK(NlohmannDump)->Unit(benchmark::kMillisecond);
BENCHMARK(NlohmannDumpIndented)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
