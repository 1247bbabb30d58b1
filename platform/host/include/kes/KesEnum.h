#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kes/KesIdArray.h"
#include "kes/KesObject.h"
#include "ovx/HostApi.h"

namespace Norvane {

/// An enumeration: a model object that lists other objects in order and finds them by position
/// or name, filtered by a type selector (a `KesObjectType` code, 0 for any kind).
class OVX_HOST_API KesEnum : public KesObject {
public:
    /// An empty enumeration.
    KesEnum(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name);
    ~KesEnum() override;

    /// `KesObjectType::Enum`.
    KesObjectType GetType() const override { return KesObjectType::Enum; }
    /// The number of listed objects.
    std::size_t GetSize() const { return items_.GetSize(); }
    /// The object at a position if the selector selects it; otherwise (also out of range) empty.
    std::shared_ptr<KesObject> GetObjectAt_ptr(std::size_t index, std::uint32_t typeSelector) const;
    /// The first listed object with this name that the selector selects, or empty.
    std::shared_ptr<KesObject> GetObjectByName_ptr(std::string_view name,
                                                   std::uint32_t typeSelector) const;
    /// Appends an object of the model; false when empty, not in the model or already listed.
    bool Add(const std::shared_ptr<KesObject>& object) { return items_.Add(object); }
    /// Drops an object by ID; false when it was not listed.
    bool Remove(std::uint32_t id) { return items_.Remove(id); }
    /// True when the ID is listed.
    bool Contains(std::uint32_t id) const { return items_.Contains(id); }
    /// The listed IDs.
    const KesIdArray& GetItems() const { return items_; }

private:
    KesIdArray items_;
};

}  // namespace Norvane
