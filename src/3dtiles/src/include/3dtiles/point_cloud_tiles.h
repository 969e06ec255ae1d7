#pragma once
// The point-cloud tileset writer: every frame's points as five .pnts levels
// with a frame tileset.json in a folder named by the frame id, and a master
// tileset.json in the output folder that references every frame tileset.
// Its output item "pointcloud_01" names the master file.
//
// Threads: handlePointCloud runs on the delivering thread (the pruner's
// worker, or a publisher of "sbt.out.pcd"); calls are serialised by the
// writer's own mutex. Destroy the writer only once no thread can deliver to
// it any more: the destructor ends the subscription but cannot stop a
// delivery already under way.

#include "dv/var.h"
#include "fw/messenger.h"
#include "pt/point.h"
#include "zel/node.h"

#include <array>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

class PointCloudTiles : public zel::Node {
public:
    // Creates dir with its parents when it is not a directory; a file-system
    // error is thrown. A creation that fails without one is logged, and the
    // writer then refuses every message.
    PointCloudTiles(std::string dir, zel::Node* parent);
    ~PointCloudTiles() override;

    // message: [frame, points, colours] with a std::shared_ptr<fw::MapFrame>,
    // std::vector<pt::Point3_<float>> in the frame's coordinates and one
    // std::vector<pt::Point3_<unsigned char>> colour per point. Fewer than 100
    // points change nothing; a missing frame or fewer colours than points are
    // refused with an ERROR line. Values of other types throw dv::VarException.
    // Every file goes to a temporary name and is renamed once written whole;
    // a frame with a file that could not be written is left out of the
    // master and its files are counted in the item's filesLost. The item is
    // at state 10 once a frame and the master are on disk.
    void handlePointCloud(const dv::Var& message);

    // One .pnts stream: header, feature-table JSON and binary (positions as
    // float32, then RGB bytes), each padded so that the binary starts and the
    // file ends on 8 bytes. False, with nothing written, when there are fewer
    // colours than points.
    static bool writePnts(std::ostream& out, const std::vector<pt::Point3_<float>>& points,
                          const std::vector<pt::Point3_<unsigned char>>& colours);

    // Whether construction completed (folder, subscription, item).
    bool ready() const { return ready_; }

protected:
    // makeFolder(dir) creates the missing folder; it throws a reported error
    // and returns whether dir is then a directory.
    PointCloudTiles(std::string dir, zel::Node* parent, const std::function<bool(const std::string&)>& makeFolder);

private:
    // Adds a whole frame to the master: its entry, and its box to the root's.
    void appendEntry(const std::string& id, const std::array<double, 12>& worldBox);

    std::mutex mutex_;  // one message at a time; guards tileset_
    fw::Subscriber subscriber_;
    const std::string dir_;
    dv::Var tileset_;
    bool ready_ = false;
    int64_t filesLost_ = 0;      // files of frames left out of the master
    bool masterMissing_ = false;  // the last write of the master failed
};
