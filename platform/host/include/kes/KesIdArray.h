#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "kes/KesObject.h"
#include "ovx/HostApi.h"

namespace Norvane {

class KesDOM;

/// An ordered list of object IDs, resolved through the model's object map. IDs of objects that
/// have left the model are skipped by the lookups.
class OVX_HOST_API KesIdArray {
public:
    /// An empty array of the given model.
    explicit KesIdArray(std::weak_ptr<KesDOM> dom);

    /// Appends an object of the same model; false when it is empty, not in the model or
    /// already listed.
    bool Add(const std::shared_ptr<KesObject>& object);
    /// Drops an ID; false when it was not listed.
    bool Remove(std::uint32_t id);
    /// True when the ID is listed.
    bool Contains(std::uint32_t id) const;
    /// Drops every ID.
    void Clear() { ids_.clear(); }
    /// The number of listed IDs.
    std::size_t GetSize() const { return ids_.size(); }
    /// The listed IDs in order.
    const std::vector<std::uint32_t>& GetIds() const { return ids_; }
    /// The object at a position, or empty (out of range, or no longer in the model).
    std::shared_ptr<KesObject> GetAt_ptr(std::size_t index) const;
    /// The first listed object with exactly this name, or empty.
    std::shared_ptr<KesObject> Get_ptr(std::string_view name) const;

private:
    std::shared_ptr<KesObject> Resolve(std::uint32_t id) const;

    std::weak_ptr<KesDOM> dom_;
    std::vector<std::uint32_t> ids_;
};

}  // namespace Norvane
