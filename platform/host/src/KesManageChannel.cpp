#include "kes/KesManageChannel.h"

#include "kes/KesDOM.h"
#include "kes/KesDevice.h"

namespace Norvane {

std::shared_ptr<KesDP> KesManageChannel::CreateDPAndSet_ptr(
    KesDOM& dom, const std::shared_ptr<KesChannel>& channel, const std::string& name,
    std::uint32_t requestedId, std::uint32_t objectType, KesValueType valueType,
    KesDP::KesValueSubType subType, std::uint8_t access, std::uint8_t flags) {
    if (!channel || channel->GetDOM().get() != &dom || !channel->IsInModel())
        return nullptr;
    if (objectType != static_cast<std::uint32_t>(KesObjectType::DataPoint) || name.empty())
        return nullptr;
    // A data point's name addresses it within its channel: it must be unique there.
    if (channel->GetDataPoints().Get_ptr(name))
        return nullptr;
    auto dp = dom.CreateObject<KesDP>(requestedId, name, valueType, subType, access, flags);
    if (!dp)
        return nullptr;
    dp->SetParent(channel);
    channel->GetDataPoints().Add(dp);
    dom.GetRoot()->GetDataPoints()->Add(dp);
    return dp;
}

KesManageChannel::Remove::Remove(KesDOM& dom, KesObjectMap& map, std::shared_ptr<KesEnum> channels,
                                 std::shared_ptr<KesEnum> dataPoints,
                                 std::shared_ptr<KesEnum> devices)
    : dom_(dom),
      map_(map),
      channels_(std::move(channels)),
      dataPoints_(std::move(dataPoints)),
      devices_(std::move(devices)) {}

bool KesManageChannel::Remove::DeleteChannel(const std::shared_ptr<KesChannel>& channel) {
    if (!channel || channel->GetDOM().get() != &dom_ ||
        map_.GetObject_ptr(channel->GetId()) != channel)
        return false;
    auto& dataPoints = channel->GetDataPoints();
    for (const auto id : dataPoints.GetIds()) {
        if (dataPoints_)
            dataPoints_->Remove(id);
        const auto object = map_.GetObject_ptr(id);
        if (object && object->GetParent() == channel) {
            object->SetParent({});
            dom_.EraseObject(id);
        }
    }
    dataPoints.Clear();
    if (devices_) {
        for (std::size_t i = 0; i < devices_->GetSize(); ++i) {
            const auto device = std::dynamic_pointer_cast<KesDevice>(
                devices_->GetObjectAt_ptr(i, static_cast<std::uint32_t>(KesObjectType::Device)));
            if (device)
                device->GetChannels().Remove(channel->GetId());
        }
    }
    if (channels_)
        channels_->Remove(channel->GetId());
    channel->SetParent({});
    dom_.EraseObject(channel->GetId());
    return true;
}

}  // namespace Norvane
