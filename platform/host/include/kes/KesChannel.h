#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kes/KesIdArray.h"
#include "kes/KesObject.h"
#include "ovx/HostApi.h"

namespace Norvane {

/// A channel: a group of data points, normally listed under a device.
class OVX_HOST_API KesChannel : public KesObject {
public:
    /// A channel without data points.
    KesChannel(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name);
    ~KesChannel() override;

    /// `KesObjectType::Channel`.
    KesObjectType GetType() const override { return KesObjectType::Channel; }
    /// The channel's 32-bit attribute word (flags of the channel's owner).
    std::uint32_t GetAttribute() const { return attribute_; }
    /// Sets the attribute word.
    void SetAttribute(std::uint32_t attribute) { attribute_ = attribute; }
    /// The channel's data points.
    KesIdArray& GetDataPoints() { return dataPoints_; }
    /// The channel's data points (read only).
    const KesIdArray& GetDataPoints() const { return dataPoints_; }

private:
    std::uint32_t attribute_{0};
    KesIdArray dataPoints_;
};

}  // namespace Norvane
