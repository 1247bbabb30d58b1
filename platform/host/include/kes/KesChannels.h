#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kes/KesChannel.h"
#include "kes/KesEnum.h"
#include "ovx/HostApi.h"

namespace Norvane {

/// The model's channel collection: an enumeration that also makes channels.
class OVX_HOST_API KesChannels : public KesEnum {
public:
    /// An empty channel collection.
    KesChannels(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name);
    ~KesChannels() override;

    /// Makes a new channel (named "Channel <ID>", no parent, no attribute), registers it in the
    /// model and lists it here. `requestedId` is an ID or `kKesAnyId`; empty when the ID is
    /// taken or the model is gone.
    std::shared_ptr<KesChannel> AddChannel_ptr(std::uint32_t requestedId);
};

}  // namespace Norvane
