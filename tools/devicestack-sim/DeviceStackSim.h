#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "FileWatcher.h"
#include "SimState.h"
#include "zorbixclient/ConfigurationChanged.h"

namespace Norvane::Tools {

class SimSession;

/// How the simulator behaves.
struct SimOptions {
    std::filesystem::path socketPath;         ///< the socket to serve
    std::filesystem::path stateFile;          ///< the JSON state file
    std::chrono::milliseconds replyDelay{0};  ///< every answer is sent this much later
    std::set<std::string> noReply;            ///< commands never answered ("*": all)
    bool refuseClients{false};                ///< answer every hello with an error
    std::chrono::milliseconds settle{50};     ///< file changes within this time count once
};

/// A stand-in of the platform's device stack: serves the two requests of the client library
/// from a state file and pushes project- and logging-changed events.
class DeviceStackSim {
public:
    /// Loads the state and binds the socket; throws std::runtime_error with a readable text
    /// when either is impossible.
    DeviceStackSim(boost::asio::io_context& io, SimOptions options);
    ~DeviceStackSim();
    DeviceStackSim(const DeviceStackSim&) = delete;
    DeviceStackSim& operator=(const DeviceStackSim&) = delete;

    /// Starts accepting clients and watching the files.
    void Start();
    /// Closes the socket (and removes it), all clients and the watches.
    void Stop();

    /// Answers (or, as configured, delays or withholds the answer to) one request.
    void HandleRequest(const std::shared_ptr<SimSession>& session, std::uint64_t id,
                       const nlohmann::json& request);
    /// True when every hello is refused.
    bool RefusesClients() const { return options_.refuseClients; }
    /// Drops a closed session.
    void Forget(const std::shared_ptr<SimSession>& session);

private:
    void Accept();
    nlohmann::json Answer(const nlohmann::json& request) const;
    void Push(const zorbixclient::ConfigurationChanged& event, const char* what);
    void ReloadState();
    void WatchConfig();

    boost::asio::io_context& io_;
    SimOptions options_;
    SimState state_;
    boost::asio::local::stream_protocol::acceptor acceptor_;
    FileWatcher watcher_;
    std::set<std::shared_ptr<SimSession>> sessions_;
    int nextSession_{1};
    bool stopped_{false};
};

}  // namespace Norvane::Tools
