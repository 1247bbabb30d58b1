// pelmora-host: loads a plug-in library, starts its plug-in over an in-memory object model and
// feeds it JSON lines from standard input; prints one JSON line per request on standard output.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <boost/program_options.hpp>

#include "kes/KesDOM.h"
#include "ovx/IPluginMqtt.h"
#include "ovx/OvxJson.h"
#include "ovx/PluginLoader.h"
#include "ovx/PluginManager.h"

namespace {

using Norvane::OvxJson;
using Output = nlohmann::ordered_json;

constexpr const char* kUsage = "Usage: pelmora-host [options] PLUGIN_LIBRARY";

void Print(const Output& line) {
    std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n'
              << std::flush;
}

// Host JSON (case-insensitive keys) as output JSON, keys in the host's order.
Output ToOutput(const OvxJson& json) {
    return Output::parse(json.dump(-1, ' ', false, OvxJson::error_handler_t::replace));
}

void PrintError(std::size_t line, const std::string& message) {
    Output out;
    out["line"] = line;
    out["error"] = message;
    Print(out);
}

std::optional<std::string> FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
            return std::nullopt;
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// A string member of a request, or nothing when it is missing or not a string.
std::optional<std::string> StringMember(const OvxJson& request, const char* key) {
    const auto it = request.find(key);
    if (it == request.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

Output AccessToJson(const Norvane::OvxApiCommand::Access& access) {
    Output out;
    std::visit(
        [&out](const auto& a) {
            using T = std::decay_t<decltype(a)>;
            if constexpr (std::is_same_v<T, Norvane::OvxApiCommand::Public>) {
                out["kind"] = "public";
            } else if constexpr (std::is_same_v<T, Norvane::OvxApiCommand::UserLevel>) {
                out["kind"] = "userLevel";
                out["minimum"] = a.minimum;
            } else if constexpr (std::is_same_v<T, Norvane::OvxApiCommand::Group>) {
                out["kind"] = "group";
                out["id"] = a.id;
            } else {
                out["kind"] = "namedRight";
                out["right"] = a.right;
                out["level"] = a.level;
            }
        },
        access);
    return out;
}

const char* EventKind(Norvane::KesEvent::Kind kind) {
    switch (kind) {
        case Norvane::KesEvent::Kind::Added:
            return "added";
        case Norvane::KesEvent::Kind::Removed:
            return "removed";
        case Norvane::KesEvent::Kind::Value:
            return "value";
    }
    return "unknown";
}

// SIGINT and SIGTERM end the input like its end does: the plug-in is stopped in order.
int signalPipe[2] = {-1, -1};

extern "C" void OnSignal(int sig) {
    const unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

bool InstallSignalHandlers() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// Reads standard input line by line until its end or a signal; calls onLine with each line and
// its number. Returns the signal that ended the input, or 0 at the end of input.
int ReadLines(const std::function<void(std::size_t, const std::string&)>& onLine) {
    std::string pending;
    std::size_t lineNumber = 0;
    char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            SPDLOG_ERROR("Cannot wait for input: {}", std::strerror(errno));
            return 0;
        }
        if (fds[1].revents & POLLIN) {
            unsigned char sig = 0;
            if (::read(signalPipe[0], &sig, 1) == 1)
                return sig;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const auto n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                SPDLOG_ERROR("Cannot read input: {}", std::strerror(errno));
            if (!pending.empty())
                onLine(++lineNumber, pending);
            return 0;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (auto end = pending.find('\n'); end != std::string::npos;
             end = pending.find('\n', start)) {
            onLine(++lineNumber, pending.substr(start, end - start));
            start = end + 1;
        }
        pending.erase(0, start);
    }
}

class Host {
public:
    Host(std::shared_ptr<Norvane::KesDOM> dom, std::shared_ptr<Norvane::IPlugin> plugin)
        : dom_(std::move(dom)), plugin_(std::move(plugin)) {}

    void Handle(std::size_t lineNumber, const std::string& line) {
        auto request = OvxJson::parse(line, nullptr, false);
        if (request.is_discarded() || !request.is_object()) {
            PrintError(lineNumber, "not a JSON object");
            return;
        }
        const auto op = StringMember(request, "op");
        if (!op) {
            PrintError(lineNumber, "missing or non-string member 'op'");
            return;
        }
        if (*op == "publish")
            Publish(lineNumber, request);
        else if (*op == "command")
            Command(lineNumber, request);
        else if (*op == "commands")
            Commands();
        else if (*op == "dump")
            Dump();
        else if (*op == "start" || *op == "stop")
            StartStop(*op);
        else
            PrintError(lineNumber, "unknown op '" + *op + "'");
    }

    void Finish() {
        plugin_->Stop();
        commands_.clear();
        plugin_.reset();
    }

private:
    void Publish(std::size_t lineNumber, const OvxJson& request) {
        auto* mqtt = dynamic_cast<Norvane::IPluginMqtt*>(plugin_.get());
        if (!mqtt) {
            PrintError(lineNumber, "the plug-in takes no MQTT publications");
            return;
        }
        const auto topic = StringMember(request, "topic");
        if (!topic) {
            PrintError(lineNumber, "missing or non-string member 'topic'");
            return;
        }
        std::optional<std::string> value = StringMember(request, "value");
        if (!value && request.contains("valueHex")) {
            if (const auto hex = StringMember(request, "valueHex"))
                value = FromHex(*hex);
            if (!value) {
                PrintError(lineNumber, "member 'valueHex' is not an even number of hex digits");
                return;
            }
        }
        if (!value) {
            PrintError(lineNumber, "missing or non-string member 'value'");
            return;
        }
        Output out;
        out["op"] = "publish";
        out["topic"] = *topic;
        out["result"] = mqtt->Publish(*topic, std::move(*value));
        Print(out);
    }

    void Command(std::size_t lineNumber, const OvxJson& request) {
        const auto name = StringMember(request, "name");
        if (!name) {
            PrintError(lineNumber, "missing or non-string member 'name'");
            return;
        }
        const auto client = StringMember(request, "client").value_or("pelmora-host");
        const auto parametersIt = request.find("parameters");
        const OvxJson parameters = parametersIt == request.end() ? OvxJson() : *parametersIt;
        if (commands_.empty())
            commands_ = Norvane::PluginLoader::GetCommands(plugin_);
        const Norvane::CaseInsensitiveLess less;
        const Norvane::OvxApiCommand* command = nullptr;
        for (const auto& c : commands_) {
            if (!less(c.name, *name) && !less(*name, c.name))
                command = &c;
        }
        Output out;
        out["op"] = "command";
        out["name"] = *name;
        if (!command || !command->handler) {
            out["error"] = "unknown command";
            Print(out);
            return;
        }
        OvxJson response;
        try {
            out["result"] = command->handler({parameters, client, response});
            out["response"] = ToOutput(response);
        } catch (const std::exception& e) {
            out["exception"] = e.what();
        }
        Print(out);
    }

    void Commands() {
        Output out;
        out["op"] = "commands";
        out["commands"] = Output::array();
        for (const auto& c : Norvane::PluginLoader::GetCommands(plugin_))
            out["commands"].push_back(Output{{"name", c.name}, {"access", AccessToJson(c.access)}});
        Print(out);
    }

    void Dump() {
        Output out;
        out["op"] = "dump";
        out["model"] = dom_->ToJson();
        Print(out);
    }

    void StartStop(const std::string& op) {
        if (op == "start")
            plugin_->Start();
        else
            plugin_->Stop();
        Output out;
        out["op"] = op;
        Print(out);
    }

    std::shared_ptr<Norvane::KesDOM> dom_;
    std::shared_ptr<Norvane::IPlugin> plugin_;
    std::vector<Norvane::OvxApiCommand> commands_;
};

}  // namespace

int main(int argc, char** argv) {
    namespace po = boost::program_options;
    auto stderrSink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("pelmora-host", stderrSink));
    spdlog::set_pattern("%Y-%m-%d %T.%e%z | %7t | %^%-8l%$ | %n - %v [%!] (%s:%#)");

    po::options_description options("Options");
    options.add_options()("help,h", "show this help")(
        "log-dir", po::value<std::string>()->default_value("."),
        "directory of the plug-in's log file (pelmora.log)")(
        "devices", po::value<unsigned>()->default_value(1),
        "number of devices in the model (Device 1, Device 2, ...)")(
        "name", po::value<std::string>()->default_value("pelmora"),
        "name passed to the plug-in's factory")(
        "events", "print model events (added, removed, value) as JSON lines")(
        "quiet,q", "do not copy the plug-in's log to standard error");
    po::options_description hidden;
    hidden.add_options()("plugin", po::value<std::string>());
    po::options_description all;
    all.add(options).add(hidden);
    po::positional_options_description positional;
    positional.add("plugin", 1);
    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(),
                  vm);
        po::notify(vm);
    } catch (const po::error& e) {
        std::cerr << "pelmora-host: " << e.what() << '\n' << kUsage << '\n' << options;
        return 2;
    }
    if (vm.count("help")) {
        std::cout << kUsage << "\n\nReads JSON lines on standard input, one request each:\n"
                  << "  {\"op\":\"publish\",\"topic\":T,\"value\":V}  (or \"valueHex\":H)\n"
                  << "  {\"op\":\"command\",\"name\":N,\"parameters\":P}\n"
                  << "  {\"op\":\"commands\"} {\"op\":\"dump\"} {\"op\":\"start\"} "
                     "{\"op\":\"stop\"}\n"
                  << "and stops the plug-in at the end of input.\n\n"
                  << options;
        return 0;
    }
    if (!vm.count("plugin")) {
        std::cerr << "pelmora-host: the plug-in library is missing\n" << kUsage << '\n' << options;
        return 2;
    }

    if (!InstallSignalHandlers()) {
        SPDLOG_ERROR("Cannot install signal handlers: {}", std::strerror(errno));
        return 1;
    }
    auto dom = Norvane::KesDOM::Create();
    for (unsigned i = 1; i <= vm["devices"].as<unsigned>(); ++i)
        dom->AddDevice("Device " + std::to_string(i));
    if (vm.count("events")) {
        dom->Subscribe([](const Norvane::KesEvent& event) {
            Output out;
            out["event"] = EventKind(event.kind);
            out["id"] = event.id;
            out["type"] = static_cast<std::uint32_t>(event.type);
            out["name"] = event.name;
            if (event.kind == Norvane::KesEvent::Kind::Value)
                out["value"] = event.value.GetText();
            Print(out);
        });
    }
    std::vector<spdlog::sink_ptr> extraSinks;
    if (!vm.count("quiet"))
        extraSinks.push_back(stderrSink);
    Norvane::PluginManager manager(dom, vm["log-dir"].as<std::string>(), extraSinks);

    auto plugin = Norvane::PluginLoader::Load(vm["plugin"].as<std::string>(), manager,
                                              vm["name"].as<std::string>());
    if (!plugin)
        return 1;
    plugin->Start();

    Host host(dom, std::move(plugin));
    const int sig = ReadLines([&host](std::size_t lineNumber, const std::string& line) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first != std::string::npos && line[first] != '#')
            host.Handle(lineNumber, line);
    });
    if (sig != 0)
        SPDLOG_INFO("Stopping on signal {}", sig);
    host.Finish();
    return 0;
}
