#include "sfm/feature_tracks.h"

#include <algorithm>

namespace sfm {

bool FeatureTracks::hasFrame(const FeatureTrack& t, int frame) const {
    return std::any_of(t.observations.begin(), t.observations.end(),
                       [frame](const TrackObservation& o) { return o.frame == frame; });
}

void FeatureTracks::add(int64_t id, int frame, int keyPoint) {
    tracks_[id].observations.push_back({frame, keyPoint});
    byKeyPoint_[key(frame, keyPoint)] = id;
    byFrame_[frame].push_back(id);
}

void FeatureTracks::join(int frameA, int keyPointA, int frameB, int keyPointB) {
    if (frameA == frameB) return;
    const int64_t a = trackOf(frameA, keyPointA), b = trackOf(frameB, keyPointB);
    if (a < 0 && b < 0) {
        const int64_t id = nextId_++;
        add(id, frameA, keyPointA);
        add(id, frameB, keyPointB);
    } else if (a >= 0 && b < 0) {
        if (!hasFrame(tracks_[a], frameB)) add(a, frameB, keyPointB);
    } else if (a < 0 && b >= 0) {
        if (!hasFrame(tracks_[b], frameA)) add(b, frameA, keyPointA);
    } else if (a != b) {
        FeatureTrack& ta = tracks_[a];
        FeatureTrack& tb = tracks_[b];
        for (const TrackObservation& o : tb.observations)
            if (hasFrame(ta, o.frame)) return;
        // The smaller joins the larger.
        const int64_t keep = ta.observations.size() >= tb.observations.size() ? a : b;
        const int64_t gone = keep == a ? b : a;
        FeatureTrack& kept = tracks_[keep];
        const FeatureTrack moved = tracks_[gone];
        if (!kept.handedOn && moved.handedOn) kept.handedOn = moved.handedOn;
        tracks_.erase(gone);
        for (const TrackObservation& o : moved.observations) {
            kept.observations.push_back(o);
            byKeyPoint_[key(o.frame, o.keyPoint)] = keep;
            auto& list = byFrame_[o.frame];
            std::replace(list.begin(), list.end(), gone, keep);
        }
    }
}

void FeatureTracks::dropFrame(int frame) {
    auto it = byFrame_.find(frame);
    if (it == byFrame_.end()) return;
    for (int64_t id : it->second) {
        auto t = tracks_.find(id);
        if (t == tracks_.end()) continue;
        auto& obs = t->second.observations;
        for (const TrackObservation& o : obs)
            if (o.frame == frame) byKeyPoint_.erase(key(o.frame, o.keyPoint));
        obs.erase(std::remove_if(obs.begin(), obs.end(), [frame](const TrackObservation& o) { return o.frame == frame; }),
                  obs.end());
        if (obs.empty()) tracks_.erase(t);
    }
    byFrame_.erase(it);
}

void FeatureTracks::removeObservation(int frame, int keyPoint) {
    auto it = byKeyPoint_.find(key(frame, keyPoint));
    if (it == byKeyPoint_.end()) return;
    const int64_t id = it->second;
    byKeyPoint_.erase(it);
    auto& list = byFrame_[frame];
    list.erase(std::remove(list.begin(), list.end(), id), list.end());
    auto t = tracks_.find(id);
    if (t == tracks_.end()) return;
    auto& obs = t->second.observations;
    obs.erase(std::remove_if(obs.begin(), obs.end(),
                             [&](const TrackObservation& o) { return o.frame == frame && o.keyPoint == keyPoint; }),
              obs.end());
    if (obs.empty()) tracks_.erase(t);
}

int64_t FeatureTracks::trackOf(int frame, int keyPoint) const {
    auto it = byKeyPoint_.find(key(frame, keyPoint));
    return it == byKeyPoint_.end() ? -1 : it->second;
}

std::vector<int64_t> FeatureTracks::tracksOfFrame(int frame) const {
    auto it = byFrame_.find(frame);
    if (it == byFrame_.end()) return {};
    std::vector<int64_t> ids = it->second;
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

const FeatureTrack* FeatureTracks::find(int64_t id) const {
    auto it = tracks_.find(id);
    return it == tracks_.end() ? nullptr : &it->second;
}

FeatureTrack* FeatureTracks::find(int64_t id) {
    auto it = tracks_.find(id);
    return it == tracks_.end() ? nullptr : &it->second;
}

}  // namespace sfm
