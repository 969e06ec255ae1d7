#include "tarn/startup.h"

#include "zel_text/exit_with_error.h"
#include "zel_text/text_codec.h"
#include "tarn/method_presets.h"

#include <filesystem>
#include <utility>
#include <string>

namespace tarn {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// Sets error to the refusal and returns false.
bool refuse(StartupError& error, int code, std::string message) {
    error.code = code;
    error.message = std::move(message);
    return false;
}

// The method text of a section, or "" when it has none that is a string.
std::string methodOf(const json& section) {
    auto it = section.find("method");
    return it != section.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool hasStringMethod(const json& section) {
    auto it = section.find("method");
    return it != section.end() && it->is_string();
}

json patched(json target, const json& patch) {
    target.merge_patch(patch);
    return target;
}

}  // namespace

bool buildJobConfig(const std::vector<std::string>& arguments, std::ostream& echo, json& jobConfig,
                    StartupError& error) {
    auto say = [&echo](const std::string& line) { echo << line << std::endl; };
    const MethodPresets& presets = methodPresets();
    const int argc = static_cast<int>(arguments.size());
    const std::string program = argc > 0 ? arguments[0] : "zel_mapper";

    // Options come in pairs; an option without a value is a usage error.
    std::string taskText, configText;
    const bool oddArguments = argc > 1 && (argc - 1) % 2 != 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string& option = arguments[static_cast<size_t>(i)];
        if (option == "--task") taskText = arguments[static_cast<size_t>(i) + 1];
        else if (option == "--config") configText = arguments[static_cast<size_t>(i) + 1];
    }
    // Neither a task nor a config, or an option left without its value.
    if ((taskText.empty() && configText.empty()) || oddArguments) {
        say("Usage: " + program + " --task <task> --config <config>");
        return refuse(error, -1, "Invalid arguments");
    }
    // The task, and the config where one is given, are base64.
    const std::string task = zel::text::base64Decode(taskText);
    if (task.empty()) {
        say("Invalid task");
        return refuse(error, -2, "Invalid task string");
    }
    std::string config;
    if (!configText.empty()) {
        config = zel::text::base64Decode(configText);
        if (config.empty()) {
            say("Invalid config");
            return refuse(error, -3, "Invalid config string");
        }
    }
    // Both are JSON; the config is parsed but not used.
    json taskJson;
    try {
        say("task string: " + task);
        taskJson = json::parse(task);
        if (!config.empty()) {
            say("config string: " + config);
            const json configJson = json::parse(config);
            (void)configJson;
        }
    } catch (const json::exception&) {
        say("Invalid task or config format");
        return refuse(error, -4, "Invalid task or config format");
    }
    say(zel::text::compactJson(taskJson));

    // The task names its home folder and its dataset.
    if (!taskJson.is_object() || !taskJson.contains("home") || !taskJson["home"].is_string()) {
        say("No home");
        return refuse(error, -5, "No home");
    }
    const std::string homeText = taskJson["home"].get<std::string>();
    const fs::path home(homeText);
    const fs::path cache = home / ".cache";
    if (!taskJson.contains("dataset") || !taskJson["dataset"].is_object()) {
        say("No dataset");
        return refuse(error, -6, "No dataset");
    }

    // The job: its home, its log settings, the dataset and the chain built below.
    json job = {{"home", homeText},
                {"verbose", {{"level", "debug"}, {"file", true}, {"console", false}}},
                {"dataset", taskJson["dataset"]},
                {"chain", json::array()}};

    // Front end.
    json locate = taskJson.contains("locate") && taskJson["locate"].is_object() ? taskJson["locate"]
                                                                                 : presets.locateDefault;
    say("locate: " + zel::text::compactJson(locate));
    const std::string locateMethod = methodOf(locate);
    json frontEnd;
    if (hasStringMethod(locate) && locateMethod == "legacy_sfm") {
        frontEnd = {{"name", "legacy_sfm"}, {"type", "front_end"}, {"config", {{"work_dir", (cache / "sfm").string()}}}};
        frontEnd["config"].merge_patch(presets.legacySfmConfig);
    } else if (hasStringMethod(locate) && locateMethod == "zel_slam3") {
        frontEnd = {{"name", "zel_slam3"}, {"type", "front_end"}, {"config", {{"work_dir", (cache / "slam").string()}}}};
        frontEnd["config"].merge_patch(presets.zelSlam3Config);
    } else {
        return refuse(error, -7, "Unsupported locate method" + locateMethod);
    }
    frontEnd["config"].merge_patch(locate);
    job["chain"].push_back(frontEnd);
    say("locate: " + zel::text::compactJson(frontEnd));

    // Sections over their defaults, then the fixed raster tiling.
    struct Section {
        const char* name;
        const json* defaults;
    };
    const Section sections[] = {{"dense", &presets.denseDefault}, {"dom", &presets.domDefault}, {"dsm", &presets.dsmDefault}};
    json merged;
    for (const Section& s : sections) {
        const json user = taskJson.contains(s.name) ? taskJson[s.name] : json();
        merged[s.name] = user.is_object() ? patched(*s.defaults, user) : *s.defaults;
    }
    merged["dom"].merge_patch(presets.domFixedTiling);
    merged["dsm"].merge_patch(presets.dsmFixedTiling);

    // Default tiling locations under the home.
    for (const Section& s : sections) {
        json& section = merged[s.name];
        auto tiling = section.find("tiling");
        if (tiling != section.end() && tiling->is_object()) {
            auto location = tiling->find("location");
            if (location == tiling->end() || !location->is_string()) (*tiling)["location"] = (home / s.name).string();
        }
    }

    // Terrain fusion: the DOM and DSM sections and its work folder.
    json terrainFusion = presets.terrainFusionBase;
    terrainFusion["dom"] = merged["dom"];
    terrainFusion["dsm"] = merged["dsm"];
    terrainFusion["work_dir"] = (cache / "tf").string();

    // Back end, with terrain fusion in its configuration.
    const json& dense = merged["dense"];
    const std::string denseMethod = methodOf(dense);
    json backEnd;
    if (hasStringMethod(dense) && denseMethod == "legacy_pf") {
        backEnd = {{"name", "legacy_pf"}, {"type", "back_end"}, {"config", {{"work_dir", (cache / "pf").string()}}}};
        backEnd["config"].merge_patch(presets.legacyPfConfig);
        backEnd["config"].merge_patch(dense);
        backEnd["config"]["legacy_tf"] = terrainFusion;
    } else if (hasStringMethod(dense) && denseMethod == "zel_pixfuse") {
        backEnd = {{"name", "zel_pixfuse"}, {"type", "back_end"}, {"config", {{"work_dir", (cache / "pixfuse").string()}}}};
        backEnd["config"].merge_patch(presets.zelPixfuseConfig);
        backEnd["config"].merge_patch(dense);
        backEnd["config"]["legacy_tf"] = terrainFusion;
        backEnd["config"]["legacy_tf"]["specific"]["terrainfusion.render_mode"] = 2;
    } else {
        return refuse(error, -8, "Unsupported dense method" + denseMethod);
    }
    job["chain"].push_back(backEnd);
    say("dense: " + zel::text::compactJson(backEnd));
    say("Finished chain config: " + zel::text::compactJson(job));
    jobConfig = std::move(job);
    return true;
}

}  // namespace tarn
