#include "kes/KesDP.h"

#include <chrono>

#include "kes/KesDOM.h"

namespace Norvane {

KesDP::KesDP(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name, KesValueType valueType,
             KesValueSubType subType, std::uint8_t access, std::uint8_t flags)
    : KesObject(std::move(dom), id, std::move(name)),
      valueType_(valueType),
      subType_(subType),
      access_(access),
      flags_(flags) {}

KesDP::~KesDP() = default;

bool KesDP::SetValue(const KESVALUE& value, std::uint64_t timestamp, std::uint32_t status,
                     const std::string& source) {
    if (value.GetType() != valueType_)
        return false;
    if (timestamp == 0) {
        timestamp =
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
    }
    const bool changed = !(value == value_) || status != status_;
    value_ = value;
    timestamp_ = timestamp;
    status_ = status;
    source_ = source;
    if (changed || eventAlways_) {
        if (const auto dom = GetDOM(); dom && IsInModel())
            dom->Notify(KesEvent{KesEvent::Kind::Value, GetId(), GetType(), GetName(), value_});
    }
    return true;
}

}  // namespace Norvane
