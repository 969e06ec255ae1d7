#include "zel/output_item.h"

namespace zel {

void OutputItem::assign(std::shared_ptr<OutputItem> other) {
    if (!other) return;
    if (other.get() != this) name = other->name;
    type = other->type;
    state = other->state;
    time = other->time;
    filesLost = other->filesLost;
}

std::shared_ptr<OutputItem> OutputItem::clone() { return std::make_shared<OutputItem>(*this); }

void Tileset3D::assign(std::shared_ptr<OutputItem> other) {
    OutputItem::assign(other);
    auto* other3D = dynamic_cast<Tileset3D*>(other.get());
    if (!other3D) return;
    if (other3D != this) path = other3D->path;
    tilesetType = other3D->tilesetType;
    storageType = other3D->storageType;
}

bool mergeItem(std::vector<std::shared_ptr<OutputItem>>& list, const std::shared_ptr<OutputItem>& item) {
    if (!item) return false;
    for (auto& stored : list) {
        if (stored->name != item->name) continue;
        if (item->time > stored->time) {
            stored->assign(item);
            return true;
        }
        return false;
    }
    list.push_back(item->clone());
    return true;
}

std::shared_ptr<OutputItem> Tileset3D::clone() { return std::make_shared<Tileset3D>(*this); }

}  // namespace zel
