#include "kes/KesObject.h"

#include "kes/KesDOM.h"

namespace Norvane {

KesObject::KesObject(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name)
    : dom_(std::move(dom)), id_(id), name_(std::move(name)) {}

KesObject::~KesObject() = default;

void KesObject::SetName(std::string name) {
    name_ = std::move(name);
}

bool KesObject::IsOfType(std::uint32_t typeSelector) const {
    return typeSelector == static_cast<std::uint32_t>(KesObjectType::Any) ||
           typeSelector == static_cast<std::uint32_t>(GetType());
}

bool KesObject::IsInModel() const {
    const auto dom = dom_.lock();
    return dom && dom->GetObjectMap().GetObject_ptr(id_).get() == this;
}

}  // namespace Norvane
