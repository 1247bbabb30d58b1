#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "Tavrel/Config.h"
#include "Tavrel/JsonRpc/IDataHandler.h"
#include "Tavrel/JsonRpc/IJsonRpcHandler.h"
#include "Tavrel/RtspServer/IRtspServer.h"

namespace Norvane::Tavrel {

/// The controller: keeps the configuration in force, brings the RTSP server in line with each
/// new configuration by the smallest change, and publishes the camera list.
class Tavrel : public JsonRpc::IDataHandler {
public:
    /// How the controller makes its server and handler; FeatureFactory's functions by default.
    struct Features {
        std::function<std::unique_ptr<IRtspServer>(const Config&)> createRtspServer;
        std::function<std::unique_ptr<JsonRpc::IJsonRpcHandler>(JsonRpc::IDataHandler&)>
            createJsonRpcHandler;
    };

    /// No server; a JSON-RPC handler from FeatureFactory. The controller keeps no thread or
    /// io_context of its own: its caller's thread applies configurations, any thread may ask
    /// for the cameras.
    Tavrel();
    /// No server; server and handler made by `features` (tests substitute them).
    explicit Tavrel(Features features);
    ~Tavrel();
    Tavrel(const Tavrel&) = delete;
    Tavrel& operator=(const Tavrel&) = delete;

    /// Applies a newly read configuration; may move parts out of `config`.
    void ApplyConfig(Config&& config);
    /// Switches the capability off, destroys the server and forgets the configuration; a
    /// server that ran is retracted from the topic with the empty camera list.
    void Stop();
    /// The published camera list (rtsp:// URLs with the first "external" user). Never throws.
    JsonRpc::GetRtspCameras::Response GetCameras() override;
    /// The server, its cameras and clients. Never throws.
    JsonRpc::GetRtspStatus::Response GetStatus() override;
    /// One line for the service manager: "3 of 4 cameras answering, 1 client playing".
    std::string StatusSummary();
    /// `observer` is called (any thread; it must not block or call back into the controller)
    /// whenever the status may have changed. Set it before the first configuration.
    void SetStatusObserver(std::function<void()> observer);

private:
    /// Merges the new cameras (sorted by path) into the running server; mutex held.
    void UpdateCameras(std::vector<Config::CameraSettings>&& cameras);
    /// Tells the handler and the observer that the status changed; takes no lock.
    void OnStatusChanged();

    Config config_;                                      ///< the configuration in force
    std::mutex mutex_;                                   ///< guards config_ and server_
    Features features_;                                  ///< makes server and handler
    std::unique_ptr<JsonRpc::IJsonRpcHandler> handler_;  ///< web-service side
    std::unique_ptr<IRtspServer> server_;                ///< empty while no server runs
    std::function<void()> observer_;                     ///< set before the first server
    const std::chrono::steady_clock::time_point started_{std::chrono::steady_clock::now()};
};

/// Percent-encodes the bytes that may not stand in the userinfo of a URL (RFC 3986). With
/// `isUserName`, ':' is encoded too, since it separates the user name from the password.
std::string EncodeUserInfo(std::string_view text, bool isUserName);

}  // namespace Norvane::Tavrel
