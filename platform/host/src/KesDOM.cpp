#include "kes/KesDOM.h"

#include <vector>

#include "kes/KesChannel.h"
#include "kes/KesDP.h"

namespace Norvane {

namespace {

nlohmann::ordered_json ValueToJson(const KESVALUE& value) {
    return std::visit(
        [](const auto& payload) -> nlohmann::ordered_json {
            using T = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<T, std::monostate>)
                return nullptr;
            else
                return payload;
        },
        value.GetPayload());
}

nlohmann::ordered_json DataPointToJson(const KesDP& dp) {
    nlohmann::ordered_json json;
    json["id"] = dp.GetId();
    json["name"] = dp.GetName();
    json["valueType"] = static_cast<int>(dp.GetValueType());
    json["value"] = ValueToJson(dp.GetValue());
    return json;
}

}  // namespace

KesDOM::KesDOM() = default;

KesDOM::~KesDOM() = default;

std::shared_ptr<KesDOM> KesDOM::Create() {
    std::shared_ptr<KesDOM> dom(new KesDOM());
    auto channels = dom->CreateObject<KesChannels>(KesWellKnownId::Channels, "Channels");
    auto dataPoints = dom->CreateObject<KesEnum>(KesWellKnownId::DataPoints, "DataPoints");
    auto devices = dom->CreateObject<KesEnum>(KesWellKnownId::Devices, "Devices");
    dom->root_ =
        dom->CreateObject<KesRoot>(KesWellKnownId::Root, "Root", channels, dataPoints, devices);
    for (KesObject* collection :
         {static_cast<KesObject*>(channels.get()), static_cast<KesObject*>(dataPoints.get()),
          static_cast<KesObject*>(devices.get())})
        collection->SetParent(dom->root_);
    return dom;
}

std::shared_ptr<KesDevice> KesDOM::AddDevice(std::string name, std::uint32_t requestedId) {
    auto device = CreateObject<KesDevice>(requestedId, std::move(name));
    if (device) {
        device->SetParent(root_);
        root_->GetDevices()->Add(device);
    }
    return device;
}

std::shared_ptr<KesObject> KesDOM::EraseObject(std::uint32_t id) {
    auto object = map_.Erase(id);
    if (object)
        Notify(KesEvent{KesEvent::Kind::Removed, id, object->GetType(), object->GetName(), {}});
    return object;
}

std::uint64_t KesDOM::Subscribe(Listener listener) {
    const auto handle = nextListener_++;
    listeners_.emplace(handle, std::move(listener));
    return handle;
}

void KesDOM::Unsubscribe(std::uint64_t handle) {
    listeners_.erase(handle);
}

void KesDOM::Notify(const KesEvent& event) {
    // A listener may subscribe or unsubscribe while it is being called.
    std::vector<Listener> listeners;
    listeners.reserve(listeners_.size());
    for (const auto& [handle, listener] : listeners_)
        listeners.push_back(listener);
    for (const auto& listener : listeners)
        listener(event);
}

nlohmann::ordered_json KesDOM::ToJson() const {
    nlohmann::ordered_json json;
    json["devices"] = nlohmann::ordered_json::array();
    json["channels"] = nlohmann::ordered_json::array();
    const auto& devices = root_->GetDevices();
    for (std::size_t i = 0; i < devices->GetSize(); ++i) {
        const auto device = std::dynamic_pointer_cast<KesDevice>(devices->GetObjectAt_ptr(i, 0));
        if (!device)
            continue;
        nlohmann::ordered_json entry;
        entry["id"] = device->GetId();
        entry["name"] = device->GetName();
        entry["channels"] = nlohmann::ordered_json::array();
        for (const auto id : device->GetChannels().GetIds()) {
            if (map_.Contains(id))
                entry["channels"].push_back(id);
        }
        json["devices"].push_back(std::move(entry));
    }
    const auto& channels = root_->GetChannels();
    for (std::size_t i = 0; i < channels->GetSize(); ++i) {
        const auto channel = std::dynamic_pointer_cast<KesChannel>(channels->GetObjectAt_ptr(i, 0));
        if (!channel)
            continue;
        nlohmann::ordered_json entry;
        entry["id"] = channel->GetId();
        entry["name"] = channel->GetName();
        entry["attribute"] = channel->GetAttribute();
        const auto parent = channel->GetParent();
        entry["parent"] = parent ? nlohmann::ordered_json(parent->GetId()) : nullptr;
        entry["dataPoints"] = nlohmann::ordered_json::array();
        const auto& dataPoints = channel->GetDataPoints();
        for (std::size_t j = 0; j < dataPoints.GetSize(); ++j) {
            if (const auto dp = std::dynamic_pointer_cast<KesDP>(dataPoints.GetAt_ptr(j)))
                entry["dataPoints"].push_back(DataPointToJson(*dp));
        }
        json["channels"].push_back(std::move(entry));
    }
    return json;
}

}  // namespace Norvane
