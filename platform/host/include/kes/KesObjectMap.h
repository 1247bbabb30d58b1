#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "kes/KesObject.h"
#include "ovx/HostApi.h"

namespace Norvane {

/// The model's objects by ID. The map owns the objects of the model; an object leaves the model
/// when it is erased from here.
class OVX_HOST_API KesObjectMap {
public:
    /// The object with that ID, or empty.
    std::shared_ptr<KesObject> GetObject_ptr(std::uint32_t id) const;
    /// True when an object has that ID.
    bool Contains(std::uint32_t id) const { return objects_.count(id) != 0; }
    /// The number of objects.
    std::size_t GetSize() const { return objects_.size(); }
    /// Reserves an ID: the requested one when it is free (not 0), or with `kKesAnyId` the next
    /// unused one; nothing when the requested ID is taken or invalid.
    std::optional<std::uint32_t> AllocateId(std::uint32_t requested);
    /// Adds an object under its ID; false when the ID is taken or the object is empty.
    bool Insert(std::shared_ptr<KesObject> object);
    /// Removes the object with that ID and returns it (empty when there was none).
    std::shared_ptr<KesObject> Erase(std::uint32_t id);
    /// All objects in ID order.
    std::vector<std::shared_ptr<KesObject>> GetObjects() const;

private:
    std::map<std::uint32_t, std::shared_ptr<KesObject>> objects_;
    std::uint32_t nextId_{1000};
};

}  // namespace Norvane
