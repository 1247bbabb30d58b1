#pragma once

#include <boost/asio/io_context.hpp>
#include <functional>

#include "zorbixclient/BaseZorbixClient.h"
#include "zorbixclient/ConfigurationChanged.h"

namespace Norvane::zorbixclient {

/// The device-stack client of an application: requests plus configuration-changed events.
class ZorbixClient : public BaseZorbixClient {
public:
    /// Receives each configuration-changed event.
    using ConfigurationChangedHandler = std::function<void(const ConfigurationChanged&)>;

    /// A client whose completions and events run on `io`.
    explicit ZorbixClient(boost::asio::io_context& io);

    /// Installs the configuration-changed callback (replacing an earlier one). Malformed
    /// events are logged and dropped; other events are ignored.
    void SetConfigurationChangedHandler(ConfigurationChangedHandler handler);
};

}  // namespace Norvane::zorbixclient
