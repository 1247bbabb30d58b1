#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kes/KesChannel.h"
#include "kes/KesDP.h"
#include "kes/KesEnum.h"
#include "kes/KesObjectMap.h"
#include "kes/KesTypes.h"
#include "ovx/HostApi.h"

namespace Norvane {

class KesDOM;

/// Operations that change a channel's place in the model.
class OVX_HOST_API KesManageChannel {
public:
    /// Makes a data point, registers it, lists it under the channel (as its parent) and in the
    /// model's data-point enumeration. `objectType` must be `KesObjectType::DataPoint` (65);
    /// `requestedId` an ID or `kKesAnyId`. Empty when the channel is not in this model, the name
    /// is empty or already names an object of the channel, or the ID is not available.
    static std::shared_ptr<KesDP> CreateDPAndSet_ptr(
        KesDOM& dom, const std::shared_ptr<KesChannel>& channel, const std::string& name,
        std::uint32_t requestedId, std::uint32_t objectType, KesValueType valueType,
        KesDP::KesValueSubType subType, std::uint8_t access, std::uint8_t flags);

    /// Takes channels out of the model with everything that hangs on them.
    class OVX_HOST_API Remove {
    public:
        /// A removal over the model, its object map and the channel collection, the data-point
        /// enumeration and the device enumeration (any of the three may be empty: that list is
        /// then left alone).
        Remove(KesDOM& dom, KesObjectMap& map, std::shared_ptr<KesEnum> channels,
               std::shared_ptr<KesEnum> dataPoints, std::shared_ptr<KesEnum> devices);
        /// Erases the channel's data points and the channel from the model and from the lists
        /// naming them; false when the channel is empty or not in this model.
        bool DeleteChannel(const std::shared_ptr<KesChannel>& channel);

    private:
        KesDOM& dom_;
        KesObjectMap& map_;
        std::shared_ptr<KesEnum> channels_;
        std::shared_ptr<KesEnum> dataPoints_;
        std::shared_ptr<KesEnum> devices_;
    };
};

}  // namespace Norvane
