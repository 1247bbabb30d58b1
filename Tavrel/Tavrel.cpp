#include "Tavrel/Tavrel.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "Tavrel/FeatureFactory.h"
#include "Tavrel/RtspServer/RtspServer.h"

#ifndef TAVREL_VERSION
#define TAVREL_VERSION "0.0.0"
#endif

namespace Norvane::Tavrel {

namespace {

Tavrel::Features DefaultFeatures() {
    return {&FeatureFactory::CreateRtspServer, &FeatureFactory::CreateJsonRpcHandler};
}

/// Whether two cameras at the same path need the server to remount: the stream, its
/// credentials, the way it is pulled or how long it runs without clients changed. Name and
/// location are published only.
bool NeedsRemount(const Config::CameraSettings& oldCamera,
                  const Config::CameraSettings& newCamera) {
    return oldCamera.url != newCamera.url || oldCamera.audio != newCamera.audio ||
           oldCamera.auth != newCamera.auth || oldCamera.transport != newCamera.transport ||
           oldCamera.lingerSeconds != newCamera.lingerSeconds ||
           oldCamera.keepWarm != newCamera.keepWarm ||
           oldCamera.instantStart != newCamera.instantStart;
}

const char* Running(bool running, const char* yes, const char* no) {
    return running ? yes : no;
}

}  // namespace

std::string EncodeUserInfo(std::string_view text, bool isUserName) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        const bool subDelim = std::strchr("!$&'()*+,;=", c) != nullptr && c != '\0';
        if (unreserved || subDelim || (c == ':' && !isUserName)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

Tavrel::Tavrel() : Tavrel(DefaultFeatures()) {}

Tavrel::Tavrel(Features features) : features_(std::move(features)) {
    handler_ = features_.createJsonRpcHandler(*this);
}

Tavrel::~Tavrel() {
    // The server goes first, the handler second; the configuration is the last member.
    {
        std::lock_guard lock(mutex_);
        server_.reset();
    }
    handler_.reset();
}

void Tavrel::ApplyConfig(Config&& config) {
    bool publish = false;
    bool statusChanged = false;
    if (handler_) {
        handler_->SetRtspServerAvailable(true);
        publish = true;
    }

    {
        std::lock_guard lock(mutex_);
        auto& settings = config.rtspServerSettings;
        auto& stored = config_.rtspServerSettings;

        if (config.cameras == config_.cameras && settings.port == stored.port &&
            settings.interface == stored.interface && settings.users == stored.users) {
            publish = false;
        }
        statusChanged = publish;

        if (config.cameras.empty()) {
            SPDLOG_INFO("no cameras configured {} RTSP server",
                        Running(server_ != nullptr, "stop", "don't start"));
            statusChanged = statusChanged || server_ != nullptr;
            server_.reset();
        } else if (settings.port == 0 || settings.interface.empty()) {
            SPDLOG_INFO("no RTSP server configured, {} server",
                        Running(server_ != nullptr, "stop", "don't start"));
            statusChanged = statusChanged || server_ != nullptr;
            server_.reset();
        } else if (server_ && settings.port == stored.port &&
                   settings.interface == stored.interface) {
            if (settings.users != stored.users) {
                SPDLOG_INFO("Users changed");
                server_->SetUsers(settings.users);
                stored.users = std::move(settings.users);
            }
            if (settings.cameraCheckSeconds != stored.cameraCheckSeconds) {
                stored.cameraCheckSeconds = settings.cameraCheckSeconds;
                server_->SetCameraCheckInterval(std::chrono::seconds(stored.cameraCheckSeconds));
            }
            UpdateCameras(std::move(config.cameras));
        } else {
            SPDLOG_INFO("RTSP server {}, create new server",
                        Running(server_ != nullptr, "settings changed", "not running"));
            stored.port = settings.port;
            stored.interface = std::move(settings.interface);
            stored.users = std::move(settings.users);
            stored.cameraCheckSeconds = settings.cameraCheckSeconds;
            config_.cameras = std::move(config.cameras);
            // The old server releases its port before the new one binds it.
            server_.reset();
            server_ = features_.createRtspServer(config_);
            statusChanged = true;
            if (server_) {
                server_->SetStatusListener([this] { OnStatusChanged(); });
                server_->Start();
                // A new server always announces its cameras, also when the configuration
                // equals the one stored before the server was stopped.
                publish = handler_ != nullptr;
            }
        }
    }

    if (publish) {
        handler_->PublishCameras(GetCameras());
    }
    if (statusChanged) {
        OnStatusChanged();
    }
}

void Tavrel::UpdateCameras(std::vector<Config::CameraSettings>&& cameras) {
    auto& stored = config_.cameras;
    auto oldIt = stored.begin();
    auto newIt = cameras.begin();
    while (oldIt != stored.end() || newIt != cameras.end()) {
        if (oldIt == stored.end() || (newIt != cameras.end() && newIt->path < oldIt->path)) {
            server_->AddCamera(*newIt);
            ++newIt;
        } else if (newIt == cameras.end() || oldIt->path < newIt->path) {
            server_->RemoveCamera(oldIt->path);
            ++oldIt;
        } else {
            if (NeedsRemount(*oldIt, *newIt)) {
                server_->RemoveCamera(newIt->path);
                server_->AddCamera(*newIt);
            }
            ++oldIt;
            ++newIt;
        }
    }
    stored = std::move(cameras);
}

void Tavrel::Stop() {
    if (handler_) {
        handler_->SetRtspServerAvailable(false);
    }
    bool wasServing = false;
    {
        std::lock_guard lock(mutex_);
        wasServing = server_ != nullptr;
        server_.reset();
        config_ = Config{};
    }
    // The topic's subscribers must not keep the cameras of a server that is gone.
    if (handler_ && wasServing) {
        handler_->PublishCameras({});
    }
    if (wasServing) {
        OnStatusChanged();
    }
}

void Tavrel::SetStatusObserver(std::function<void()> observer) {
    observer_ = std::move(observer);
}

void Tavrel::OnStatusChanged() {
    if (handler_) {
        handler_->StatusChanged();
    }
    if (observer_) {
        observer_();
    }
}

JsonRpc::GetRtspStatus::Response Tavrel::GetStatus() {
    RtspStatus status;
    try {
        std::lock_guard lock(mutex_);
        auto& server = status.server;
        if (server_) {
            status = server_->Status();
        }
        server.running = server_ != nullptr;
        server.port = config_.rtspServerSettings.port;
        server.interface = config_.rtspServerSettings.interface;
        server.maxClients = MAX_CLIENTS;
        server.uptimeSeconds =
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                           std::chrono::steady_clock::now() - started_)
                                           .count());
        server.version = TAVREL_VERSION;
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Failed to build the status: {}", e.what());
        status = RtspStatus{};
    }
    return status;
}

std::string Tavrel::StatusSummary() {
    const auto status = GetStatus();
    if (!status.server.running) {
        return "RTSP server not running";
    }
    const auto answering = std::count_if(
        status.cameras.begin(), status.cameras.end(),
        [](const CameraStatus& c) { return c.state == "idle" || c.state == "streaming"; });
    const auto playing = status.server.clientsPlaying;
    return fmt::format("{} of {} cameras answering, {} client{} playing", answering,
                       status.cameras.size(), playing, playing == 1 ? "" : "s");
}

JsonRpc::GetRtspCameras::Response Tavrel::GetCameras() {
    JsonRpc::GetRtspCameras::Response cameras;
    try {
        std::lock_guard lock(mutex_);
        if (!server_ || config_.cameras.empty()) {
            return cameras;
        }
        const auto& users = config_.rtspServerSettings.users;
        const auto user = std::find_if(users.begin(), users.end(),
                                       [](const auto& u) { return u.role == "external"; });
        if (user == users.end()) {
            return cameras;
        }
        std::array<char, 1025> host{};
        if (::gethostname(host.data(), host.size() - 1) != 0) {
            SPDLOG_ERROR("Failed to read the host name: {}", std::strerror(errno));
            return cameras;
        }
        const auto base = fmt::format("rtsp://{}:{}@{}.local:{}", EncodeUserInfo(user->name, true),
                                      EncodeUserInfo(user->password, false), host.data(),
                                      config_.rtspServerSettings.port);
        cameras.reserve(config_.cameras.size());
        for (const auto& camera : config_.cameras) {
            cameras.push_back(
                {camera.name, camera.location, fmt::format("{}{}", base, camera.path)});
        }
    } catch (const std::exception& e) {
        SPDLOG_ERROR("Failed to build the camera list: {}", e.what());
        cameras.clear();
    }
    return cameras;
}

}  // namespace Norvane::Tavrel
