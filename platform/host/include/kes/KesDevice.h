#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kes/KesIdArray.h"
#include "kes/KesObject.h"
#include "ovx/HostApi.h"

namespace Norvane {

/// A device: lists the channels it holds.
class OVX_HOST_API KesDevice : public KesObject {
public:
    /// A device without channels.
    KesDevice(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name);
    ~KesDevice() override;

    /// `KesObjectType::Device`.
    KesObjectType GetType() const override { return KesObjectType::Device; }
    /// The device's channels.
    KesIdArray& GetChannels() { return channels_; }
    /// The device's channels (read only).
    const KesIdArray& GetChannels() const { return channels_; }

private:
    KesIdArray channels_;
};

}  // namespace Norvane
