#include "zorbixclient/ZorbixClient.h"

#include <spdlog/spdlog.h>

#include <utility>

namespace Norvane::zorbixclient {

ZorbixClient::ZorbixClient(boost::asio::io_context& io) : BaseZorbixClient(io) {}

void ZorbixClient::SetConfigurationChangedHandler(ConfigurationChangedHandler handler) {
    if (!handler) {
        SetEventHandler({});
        return;
    }
    SetEventHandler([handler = std::move(handler)](const nlohmann::json& message) {
        const auto event = message.find("event");
        if (event == message.end() || *event != kConfigurationChangedEvent) {
            SPDLOG_DEBUG("Ignored device-stack event '{}'",
                         event != message.end() && event->is_string()
                             ? event->get_ref<const std::string&>()
                             : std::string{});
            return;
        }
        if (auto changed = ParseConfigurationChanged(message)) {
            handler(*changed);
            return;
        }
        SPDLOG_WARN("Dropped a malformed configuration-changed event from the device stack");
    });
}

}  // namespace Norvane::zorbixclient
