#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kes/KesTypes.h"
#include "ovx/HostApi.h"

namespace Norvane {

class KesDOM;

/// Base of every object of the model: an ID, a name, a kind and a weak link to its parent.
class OVX_HOST_API KesObject {
public:
    /// An object with its ID and name; it belongs to the model once the DOM's object map holds it.
    KesObject(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name);
    virtual ~KesObject();
    KesObject(const KesObject&) = delete;
    KesObject& operator=(const KesObject&) = delete;

    /// The object's ID.
    std::uint32_t GetId() const { return id_; }
    /// The object's name.
    const std::string& GetName() const { return name_; }
    /// Renames the object.
    void SetName(std::string name);
    /// The object's kind.
    virtual KesObjectType GetType() const = 0;
    /// True when the selector (a kind code, 0 for any) selects this object.
    bool IsOfType(std::uint32_t typeSelector) const;

    /// The parent, empty when there is none (or it is gone).
    std::shared_ptr<KesObject> GetParent() const { return parent_.lock(); }
    /// Sets (or, with an empty pointer, clears) the parent; the link is weak.
    void SetParent(std::weak_ptr<KesObject> parent) { parent_ = std::move(parent); }

    /// The model the object was made for; empty when it is gone.
    std::shared_ptr<KesDOM> GetDOM() const { return dom_.lock(); }
    /// True while the object is registered in its model's object map.
    bool IsInModel() const;

protected:
    /// The model as a weak link, for derived objects' own arrays.
    const std::weak_ptr<KesDOM>& WeakDOM() const { return dom_; }

private:
    std::weak_ptr<KesDOM> dom_;
    std::uint32_t id_;
    std::string name_;
    std::weak_ptr<KesObject> parent_;
};

}  // namespace Norvane
