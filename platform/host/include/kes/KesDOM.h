#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "kes/KesDevice.h"
#include "kes/KesEvent.h"
#include "kes/KesObjectMap.h"
#include "kes/KesRoot.h"
#include "ovx/HostApi.h"
#include "ovx/OvxJson.h"

namespace Norvane {

/// The object model: the object map, the root with its collections, and the listeners of model
/// changes. Not thread-safe: the host serialises every access to one model.
class OVX_HOST_API KesDOM : public std::enable_shared_from_this<KesDOM> {
public:
    /// Called for every change of the model.
    using Listener = std::function<void(const KesEvent&)>;

    /// A model with its root (ID 1), the channel collection (34), the enumeration of all data
    /// points (301) and the device enumeration (401); no devices, channels or data points yet.
    static std::shared_ptr<KesDOM> Create();
    ~KesDOM();
    KesDOM(const KesDOM&) = delete;
    KesDOM& operator=(const KesDOM&) = delete;

    /// The object map.
    KesObjectMap& GetObjectMap() { return map_; }
    /// The root.
    const std::shared_ptr<KesRoot>& GetRoot() const { return root_; }

    /// Makes an object of type T with an ID (requested or, with `kKesAnyId`, the next free one)
    /// and registers it; empty when the ID is not available. Extra arguments go to T's
    /// constructor after the DOM, the ID and the name.
    template <class T, class... Args>
    std::shared_ptr<T> CreateObject(std::uint32_t requestedId, std::string name, Args&&... args) {
        const auto id = map_.AllocateId(requestedId);
        if (!id)
            return {};
        auto object = std::make_shared<T>(weak_from_this(), *id, std::move(name),
                                          std::forward<Args>(args)...);
        map_.Insert(object);
        Notify(KesEvent{
            KesEvent::Kind::Added, object->GetId(), object->GetType(), object->GetName(), {}});
        return object;
    }
    /// Makes a device and lists it at the end of the device enumeration.
    std::shared_ptr<KesDevice> AddDevice(std::string name, std::uint32_t requestedId = kKesAnyId);
    /// Erases an object from the model (not from the lists naming it) and tells the listeners.
    std::shared_ptr<KesObject> EraseObject(std::uint32_t id);

    /// Adds a listener; returns its handle for `Unsubscribe`.
    std::uint64_t Subscribe(Listener listener);
    /// Removes a listener.
    void Unsubscribe(std::uint64_t handle);
    /// Tells every listener about a change.
    void Notify(const KesEvent& event);

    /// The model as JSON: devices with their channel IDs, channels with their data points and
    /// values, in model order.
    nlohmann::ordered_json ToJson() const;

private:
    KesDOM();

    KesObjectMap map_;
    std::shared_ptr<KesRoot> root_;
    std::map<std::uint64_t, Listener> listeners_;
    std::uint64_t nextListener_{1};
};

}  // namespace Norvane
