#include "kes/KesIdArray.h"

#include <algorithm>

#include "kes/KesDOM.h"

namespace Norvane {

KesIdArray::KesIdArray(std::weak_ptr<KesDOM> dom) : dom_(std::move(dom)) {}

bool KesIdArray::Add(const std::shared_ptr<KesObject>& object) {
    if (!object || Contains(object->GetId()))
        return false;
    const auto dom = dom_.lock();
    if (!dom || object->GetDOM() != dom || !object->IsInModel())
        return false;
    ids_.push_back(object->GetId());
    return true;
}

bool KesIdArray::Remove(std::uint32_t id) {
    const auto it = std::find(ids_.begin(), ids_.end(), id);
    if (it == ids_.end())
        return false;
    ids_.erase(it);
    return true;
}

bool KesIdArray::Contains(std::uint32_t id) const {
    return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
}

std::shared_ptr<KesObject> KesIdArray::Resolve(std::uint32_t id) const {
    const auto dom = dom_.lock();
    return dom ? dom->GetObjectMap().GetObject_ptr(id) : nullptr;
}

std::shared_ptr<KesObject> KesIdArray::GetAt_ptr(std::size_t index) const {
    return index < ids_.size() ? Resolve(ids_[index]) : nullptr;
}

std::shared_ptr<KesObject> KesIdArray::Get_ptr(std::string_view name) const {
    for (const auto id : ids_) {
        auto object = Resolve(id);
        if (object && object->GetName() == name)
            return object;
    }
    return nullptr;
}

}  // namespace Norvane
