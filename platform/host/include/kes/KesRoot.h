#pragma once

#include <memory>
#include <string>

#include "kes/KesChannels.h"
#include "kes/KesEnum.h"
#include "kes/KesObject.h"
#include "ovx/HostApi.h"

namespace Norvane {

/// The model's root: holds the channel collection, the enumeration of all data points and the
/// device enumeration.
class OVX_HOST_API KesRoot : public KesObject {
public:
    /// A root over its three collections.
    KesRoot(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name,
            std::shared_ptr<KesChannels> channels, std::shared_ptr<KesEnum> dataPoints,
            std::shared_ptr<KesEnum> devices);
    ~KesRoot() override;

    /// `KesObjectType::Root`.
    KesObjectType GetType() const override { return KesObjectType::Root; }
    /// The channel collection.
    const std::shared_ptr<KesChannels>& GetChannels() const { return channels_; }
    /// Every data point of the model.
    const std::shared_ptr<KesEnum>& GetDataPoints() const { return dataPoints_; }
    /// The device enumeration.
    const std::shared_ptr<KesEnum>& GetDevices() const { return devices_; }

private:
    std::shared_ptr<KesChannels> channels_;
    std::shared_ptr<KesEnum> dataPoints_;
    std::shared_ptr<KesEnum> devices_;
};

}  // namespace Norvane
