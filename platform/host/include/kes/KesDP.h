#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kes/KESVALUE.h"
#include "kes/KesObject.h"
#include "kes/KesTypes.h"
#include "ovx/HostApi.h"

namespace Norvane {

/// A data point: a typed value with its time stamp, status and source. Setting a value raises
/// a value event in the model when the value changed (or always, if so configured).
class OVX_HOST_API KesDP : public KesObject {
public:
    /// Refines the value type (units, presentation); 0 for none.
    enum class KesValueSubType : std::uint8_t { None = 0, Json = 1, Url = 2 };
    /// Access bits.
    static constexpr std::uint8_t kRead = 1, kWrite = 2, kNotify = 4;

    /// An empty data point of the given value type.
    KesDP(std::weak_ptr<KesDOM> dom, std::uint32_t id, std::string name, KesValueType valueType,
          KesValueSubType subType, std::uint8_t access, std::uint8_t flags);
    ~KesDP() override;

    /// `KesObjectType::DataPoint`.
    KesObjectType GetType() const override { return KesObjectType::DataPoint; }
    /// The type every value must have.
    KesValueType GetValueType() const { return valueType_; }
    /// The value subtype.
    KesValueSubType GetValueSubType() const { return subType_; }
    /// The access bits (`kRead`, `kWrite`, `kNotify`).
    std::uint8_t GetAccess() const { return access_; }
    /// Owner-defined flags.
    std::uint8_t GetFlags() const { return flags_; }

    /// The current value (empty until the first one is set).
    const KESVALUE& GetValue() const { return value_; }
    /// Time of the current value in milliseconds since the epoch.
    std::uint64_t GetTimestamp() const { return timestamp_; }
    /// Status of the current value (0 good).
    std::uint32_t GetStatus() const { return status_; }
    /// Who set the current value.
    const std::string& GetSource() const { return source_; }

    /// Sets the value: `timestamp` in milliseconds since the epoch (0 for now), `status` (0 good)
    /// and the source's name. False, with nothing changed, when the value's type is not the data
    /// point's type.
    virtual bool SetValue(const KESVALUE& value, std::uint64_t timestamp, std::uint32_t status,
                          const std::string& source);
    /// With true, every `SetValue` raises a value event; with false (the default) only changes.
    void SetValueEventAlways(bool always) { eventAlways_ = always; }
    /// See `SetValueEventAlways`.
    bool GetValueEventAlways() const { return eventAlways_; }

private:
    KesValueType valueType_;
    KesValueSubType subType_;
    std::uint8_t access_;
    std::uint8_t flags_;
    KESVALUE value_;
    std::uint64_t timestamp_{0};
    std::uint32_t status_{0};
    std::string source_;
    bool eventAlways_{false};
};

}  // namespace Norvane
