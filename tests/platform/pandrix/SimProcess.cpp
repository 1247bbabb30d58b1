#include "SimProcess.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "TestEnv.h"

namespace Norvane::Test {

SimProcess::SimProcess(std::uint16_t connectorPort) {
    const auto program = BuildDir() / "tools" / "webservice-sim" / "webservice-sim";
    process_ = std::make_unique<Process>(std::vector<std::string>{
        program.string(), "--port", std::to_string(connectorPort), "--ws-port", "0"});
    if (!process_->WaitForOutput("webservice-sim ready")) {
        throw std::runtime_error("webservice-sim did not start: " + process_->Stdout() +
                                 process_->Stderr());
    }
    const std::string out = process_->Stdout();
    const auto at = out.find("connector port ");
    unsigned connector = 0;
    unsigned ws = 0;
    if (at == std::string::npos ||
        std::sscanf(out.c_str() + at, "connector port %u websocket port %u", &connector, &ws) !=
            2) {
        throw std::runtime_error("webservice-sim ready line without ports: " + out);
    }
    connectorPort_ = static_cast<std::uint16_t>(connector);
    wsPort_ = static_cast<std::uint16_t>(ws);
}

std::size_t SimProcess::Count(const std::string& text) const {
    std::istringstream lines{process_->Stdout()};
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(text) != std::string::npos) {
            ++count;
        }
    }
    return count;
}

bool SimProcess::WaitFor(const std::string& text, std::size_t count,
                         std::chrono::milliseconds timeout) const {
    return process_->WaitUntilOutput([&] { return Count(text) >= count; }, timeout);
}

}  // namespace Norvane::Test
