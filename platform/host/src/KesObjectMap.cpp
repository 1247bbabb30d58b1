#include "kes/KesObjectMap.h"

namespace Norvane {

std::shared_ptr<KesObject> KesObjectMap::GetObject_ptr(std::uint32_t id) const {
    const auto it = objects_.find(id);
    return it == objects_.end() ? nullptr : it->second;
}

std::optional<std::uint32_t> KesObjectMap::AllocateId(std::uint32_t requested) {
    if (requested != kKesAnyId) {
        if (requested == 0 || Contains(requested))
            return std::nullopt;
        return requested;
    }
    // IDs are not reused while the model lives: a stale ID never names a newer object.
    while (nextId_ < kKesAnyId && Contains(nextId_))
        ++nextId_;
    if (nextId_ == kKesAnyId)
        return std::nullopt;
    return nextId_++;
}

bool KesObjectMap::Insert(std::shared_ptr<KesObject> object) {
    if (!object || object->GetId() == 0 || object->GetId() == kKesAnyId)
        return false;
    const auto id = object->GetId();
    return objects_.emplace(id, std::move(object)).second;
}

std::shared_ptr<KesObject> KesObjectMap::Erase(std::uint32_t id) {
    const auto it = objects_.find(id);
    if (it == objects_.end())
        return nullptr;
    auto object = std::move(it->second);
    objects_.erase(it);
    return object;
}

std::vector<std::shared_ptr<KesObject>> KesObjectMap::GetObjects() const {
    std::vector<std::shared_ptr<KesObject>> objects;
    objects.reserve(objects_.size());
    for (const auto& [id, object] : objects_)
        objects.push_back(object);
    return objects;
}

}  // namespace Norvane
