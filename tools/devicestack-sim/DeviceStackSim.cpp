#include "DeviceStackSim.h"

#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio/steady_timer.hpp>
#include <stdexcept>
#include <utility>

#include "SimSession.h"

namespace Norvane::Tools {

namespace asio = boost::asio;
using Json = nlohmann::json;
using Protocol = asio::local::stream_protocol;

namespace {

constexpr const char* kUrnPrefix = "urn:ovx:app:";

Json Error(int code, std::string message) {
    return {{"error", {{"code", code}, {"message", std::move(message)}}}};
}

/// True when something accepts connections on the socket path.
bool SocketInUse(const std::filesystem::path& path) {
    asio::io_context io;
    Protocol::socket probe(io);
    boost::system::error_code ec;
    probe.connect(Protocol::endpoint(path.string()), ec);
    return !ec;
}

/// Makes room for the socket: a stale socket file is removed, anything else is left alone.
void PrepareSocketPath(const std::filesystem::path& path) {
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        if (path.has_parent_path())
            std::filesystem::create_directories(path.parent_path(), ec);
        return;
    }
    if (status.type() != std::filesystem::file_type::socket)
        throw std::runtime_error("'" + path.string() + "' exists and is not a socket");
    if (SocketInUse(path))
        throw std::runtime_error("socket '" + path.string() + "' is in use by another server");
    std::filesystem::remove(path, ec);
}

}  // namespace

DeviceStackSim::DeviceStackSim(asio::io_context& io, SimOptions options)
    : io_(io), options_(std::move(options)), acceptor_(io), watcher_(io, options_.settle) {
    auto state = LoadSimState(options_.stateFile);
    if (!state)
        throw std::runtime_error("cannot load state file '" + options_.stateFile.string() + "'");
    state_ = std::move(*state);
    if (options_.socketPath.string().size() >= sizeof(sockaddr_un::sun_path))
        throw std::runtime_error("socket path '" + options_.socketPath.string() + "' is too long");
    PrepareSocketPath(options_.socketPath);
    try {
        const Protocol::endpoint endpoint(options_.socketPath.string());
        acceptor_.open(endpoint.protocol());
        acceptor_.bind(endpoint);
        acceptor_.listen();
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error("cannot serve '" + options_.socketPath.string() +
                                 "': " + e.code().message());
    }
}

DeviceStackSim::~DeviceStackSim() {
    Stop();
}

void DeviceStackSim::Start() {
    watcher_.Watch("state", options_.stateFile, [this] { ReloadState(); });
    WatchConfig();
    Accept();
}

void DeviceStackSim::Stop() {
    if (stopped_)
        return;
    stopped_ = true;
    boost::system::error_code ec;
    acceptor_.close(ec);
    std::error_code removeError;
    std::filesystem::remove(options_.socketPath, removeError);
    watcher_.Stop();
    auto sessions = sessions_;
    for (const auto& session : sessions)
        session->Close();
    sessions_.clear();
}

void DeviceStackSim::Accept() {
    acceptor_.async_accept([this](const boost::system::error_code& ec, Protocol::socket socket) {
        if (stopped_)
            return;
        if (ec) {
            SPDLOG_WARN("Accepting a client failed ({})", ec.message());
        } else {
            auto session = std::make_shared<SimSession>(std::move(socket), *this, nextSession_++);
            sessions_.insert(session);
            session->Start();
        }
        Accept();
    });
}

void DeviceStackSim::Forget(const std::shared_ptr<SimSession>& session) {
    sessions_.erase(session);
}

void DeviceStackSim::HandleRequest(const std::shared_ptr<SimSession>& session, std::uint64_t id,
                                   const Json& request) {
    std::string command;
    if (request.is_object())
        if (const auto c = request.find("command"); c != request.end() && c->is_string())
            command = c->get<std::string>();
    if (options_.noReply.count("*") || options_.noReply.count(command)) {
        SPDLOG_INFO("Not answering request {} '{}' of client {}", id, command, session->Name());
        return;
    }
    Json reply = Answer(request);
    reply["id"] = id;
    SPDLOG_INFO("Request {} '{}' of client {}", id, command, session->Name());
    if (options_.replyDelay.count() <= 0) {
        session->Send(reply);
        return;
    }
    auto timer = std::make_shared<asio::steady_timer>(io_, options_.replyDelay);
    timer->async_wait([timer, session, reply = std::move(reply)](const auto& ec) {
        if (!ec && session->Open())
            session->Send(reply);
    });
}

Json DeviceStackSim::Answer(const Json& request) const {
    if (!request.is_object())
        return Error(400, "a request must be a JSON object");
    const auto command = request.find("command");
    if (command == request.end() || !command->is_string())
        return Error(400, "a request needs a string \"command\"");
    if (*command == "getdeviceconfig") {
        Json ipc = Json::object();
        if (state_.syslogSeverity)
            ipc["SyslogSeverity"] = *state_.syslogSeverity;
        return {{"result", {{"deviceConfig", {{"ipc", ipc}}}}}};
    }
    if (*command == "GetConfiguration") {
        const auto object = request.find("object");
        if (object == request.end() || !object->is_object() || !object->contains("urn") ||
            !(*object)["urn"].is_string())
            return Error(400, "GetConfiguration needs \"object\" with a string \"urn\"");
        const auto& urn = (*object)["urn"].get_ref<const std::string&>();
        if (urn.rfind(kUrnPrefix, 0) != 0)
            return Error(404, "unknown object '" + urn + "'");
        Json result{{"urn", urn}};
        if (state_.applicationPath)
            result["applicationPath"] = *state_.applicationPath;
        return {{"result", {{"object", result}}}};
    }
    return Error(501, "unknown command '" + command->get<std::string>() + "'");
}

void DeviceStackSim::Push(const zorbixclient::ConfigurationChanged& event, const char* what) {
    const Json message = zorbixclient::ToJson(event);
    int count = 0;
    for (const auto& session : sessions_) {
        if (session->Greeted()) {
            session->Send(message);
            ++count;
        }
    }
    SPDLOG_INFO("Pushed {} to {} client(s)", what, count);
}

void DeviceStackSim::ReloadState() {
    auto loaded = LoadSimState(options_.stateFile);
    if (!loaded) {
        SPDLOG_WARN("Keeping the previous state");
        return;
    }
    SimState previous = std::exchange(state_, std::move(*loaded));
    if (previous.applicationPath != state_.applicationPath) {
        SPDLOG_INFO("Application path changed");
        WatchConfig();
        Push(zorbixclient::ProjectConfigurationChanged{}, "project changed");
    }
    if (previous.syslogSeverity != state_.syslogSeverity) {
        if (const auto severity = state_.SeverityNumber())
            Push(zorbixclient::LoggingConfigurationChanged{*severity}, "logging changed");
        else
            SPDLOG_WARN("SyslogSeverity {} is not a number, no logging event pushed",
                        state_.syslogSeverity ? state_.syslogSeverity->dump() : "(absent)");
    }
}

void DeviceStackSim::WatchConfig() {
    const auto path = state_.ConfigPath();
    if (!path) {
        watcher_.Unwatch("config");
        SPDLOG_WARN("applicationPath is not a file path, no configuration file is watched");
        return;
    }
    watcher_.Watch("config", *path, [this] {
        Push(zorbixclient::ProjectConfigurationChanged{}, "project changed");
    });
}

}  // namespace Norvane::Tools
