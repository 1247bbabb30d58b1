#pragma once

#include <array>
#include <boost/asio/local/stream_protocol.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "zorbixclient/LineFramer.h"

namespace Norvane::Tools {

class DeviceStackSim;

/// One client connection of the simulated device stack.
class SimSession : public std::enable_shared_from_this<SimSession> {
public:
    /// A session over an accepted socket; `number` names it in log lines.
    SimSession(boost::asio::local::stream_protocol::socket socket, DeviceStackSim& sim, int number);

    /// Starts reading requests.
    void Start();
    /// Queues one message line.
    void Send(const nlohmann::json& message);
    /// Closes the connection (idempotent).
    void Close();
    /// True once the client's hello was accepted (events go only to such clients).
    bool Greeted() const { return greeted_; }
    /// True until the connection is closed.
    bool Open() const { return socket_.is_open(); }
    /// The client's name from its hello, or "#<number>" before it.
    const std::string& Name() const { return name_; }

private:
    void Read();
    void HandleLine(std::string_view line);
    void WriteNext();

    boost::asio::local::stream_protocol::socket socket_;
    DeviceStackSim& sim_;
    std::string name_;
    bool greeted_{false};
    zorbixclient::LineFramer framer_;
    std::deque<std::string> writeQueue_;
    std::array<char, 64 * 1024> buffer_{};
};

}  // namespace Norvane::Tools
