#include "kes/KesEnum.h"

namespace Norvane {

KesEnum::KesEnum(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name)
    : KesObject(dom, id, std::move(name)), items_(dom) {}

KesEnum::~KesEnum() = default;

std::shared_ptr<KesObject> KesEnum::GetObjectAt_ptr(std::size_t index,
                                                    std::uint32_t typeSelector) const {
    auto object = items_.GetAt_ptr(index);
    return object && object->IsOfType(typeSelector) ? object : nullptr;
}

std::shared_ptr<KesObject> KesEnum::GetObjectByName_ptr(std::string_view name,
                                                        std::uint32_t typeSelector) const {
    for (std::size_t i = 0; i < items_.GetSize(); ++i) {
        auto object = items_.GetAt_ptr(i);
        if (object && object->GetName() == name && object->IsOfType(typeSelector))
            return object;
    }
    return nullptr;
}

}  // namespace Norvane
