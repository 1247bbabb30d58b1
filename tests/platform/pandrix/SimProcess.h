#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "Process.h"

namespace Norvane::Test {

/// The webservice-sim program, started on 127.0.0.1 and ready to use.
class SimProcess {
public:
    /// Starts the simulator (connector port 0: any free port; the WebSocket port is always any
    /// free port) and waits for its ready line.
    explicit SimProcess(std::uint16_t connectorPort = 0);

    /// Port of the connector's actors.
    std::uint16_t ConnectorPort() const { return connectorPort_; }
    /// Port of JSON-RPC over WebSocket.
    std::uint16_t WsPort() const { return wsPort_; }
    /// How many output lines contain `text`.
    std::size_t Count(const std::string& text) const;
    /// Waits until at least `count` output lines contain `text`.
    bool WaitFor(const std::string& text, std::size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    /// The underlying process.
    Process& process() { return *process_; }

private:
    std::unique_ptr<Process> process_;
    std::uint16_t connectorPort_{0};
    std::uint16_t wsPort_{0};
};

}  // namespace Norvane::Test
