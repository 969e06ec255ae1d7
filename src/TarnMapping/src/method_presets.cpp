#include "tarn/method_presets.h"

namespace tarn {

const MethodPresets& methodPresets() {
    static const MethodPresets presets = [] {
        using nlohmann::json;
        MethodPresets p;
        p.locateDefault = json::parse(R"({"method":"legacy_sfm"})");
        p.legacySfmConfig = json::parse(R"({"specific":{"globalsfm.intrinsic_refinement":"ADJUST_ALL","pre_process":1}})");
        p.zelSlam3Config = json::parse(R"({"vocabulary_path":"./libs/orbslam3/ORBvoc.bin",
            "system_parameters":{"feature_type":"SIFT","handle_frame":true,"handle_map":false},
            "exif_parameters":{"enable_gps":true},
            "performance_parameters":{"time_check":true,"time_check_save":false,"time_check_write_path":"",
                                      "pose_check":false,"pose_check_write_path":""}})");
        p.denseDefault = json::parse(
            R"({"method":"legacy_pf","scale":4.0,"tiling":{"format":"pnts"},"specific":{"pointsfusion.dense_method":3}})");
        p.domDefault = json::parse(R"({"method":"legacy_tf","scale":1.0,"max_zoom_level":26,
            "tiling":{"scheme":1,"tile_size":[256,256],"tile_format":"png","storage":2}})");
        p.dsmDefault = json::parse(R"({"method":"legacy_tf","scale":1.0,
            "tiling":{"scheme":1,"tile_size":[64,64],"tile_format":"tif","storage":2}})");
        p.legacyPfConfig = json::parse(R"({"specific":{"pointsfusion.dense_method":3}})");
        p.zelPixfuseConfig = json::parse(R"({"specific":{"terrainfusion.render_mode":2,"dense":{"bReconForGround":false}}})");
        p.terrainFusionBase = json::parse(R"({"specific":{"terrainfusion.max_zoom":26,"terrainfusion.cache_size":4096,
            "terrainfusion.coordinate":"GPS","terrainfusion.render_mode":3}})");
        p.domFixedTiling = json::parse(R"({"method":"legacy_tf","scale":4.0,"max_zoom_level":26,
            "tiling":{"scheme":1,"tile_size":[256,256],"tile_format":"png","storage":1}})");
        p.dsmFixedTiling = json::parse(R"({"method":"legacy_tf","scale":4.0,
            "tiling":{"scheme":1,"tile_size":[64,64],"tile_format":"tif","storage":1}})");
        return p;
    }();
    return presets;
}

}  // namespace tarn
