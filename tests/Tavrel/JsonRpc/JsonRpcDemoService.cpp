// jsonrpc-demo-service: the service's JSON-RPC handler alone, fed from a camera file, for
// whole-process tests of the web-service simulator with clients that are not our own code.
//
//   jsonrpc-demo-service CAMERAS.json
//
// CAMERAS.json is an array of {"name":…,"location":…,"url":…}. The capability is offered at
// start. SIGHUP rereads the file and publishes the list; SIGUSR1 withdraws the capability,
// SIGUSR2 offers it again; SIGINT and SIGTERM end the program. The connector's port comes from
// PANDRIX_PORT (default 4815).

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/json.hpp>

#include "Tavrel/JsonRpc/JsonRpcHandler.h"

namespace {

using Norvane::Tavrel::CameraEntry;
using Norvane::Tavrel::JsonRpc::GetRtspCameras;

class FileCameras final : public Norvane::Tavrel::JsonRpc::IDataHandler {
public:
    explicit FileCameras(std::string path) : path_(std::move(path)) {}

    GetRtspCameras::Response GetCameras() override {
        std::lock_guard lock{mutex_};
        return list_;
    }

    /// Rereads the file; false (and the old list kept) when it cannot be read.
    bool Reload() {
        std::ifstream in{path_};
        std::stringstream text;
        text << in.rdbuf();
        boost::system::error_code ec;
        auto json = boost::json::parse(text.str(), ec);
        if (ec || !json.is_array()) {
            SPDLOG_ERROR("cannot read cameras from '{}'", path_);
            return false;
        }
        GetRtspCameras::Response list;
        for (const auto& item : json.as_array()) {
            const auto* obj = item.if_object();
            auto field = [obj](const char* key) -> std::string {
                const auto* v = obj != nullptr ? obj->if_contains(key) : nullptr;
                return v != nullptr && v->is_string() ? std::string{v->as_string()} : std::string{};
            };
            list.push_back(CameraEntry{field("name"), field("location"), field("url")});
        }
        std::lock_guard lock{mutex_};
        list_ = std::move(list);
        return true;
    }

private:
    std::string path_;
    std::mutex mutex_;
    GetRtspCameras::Response list_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: jsonrpc-demo-service CAMERAS.json\n";
        return 2;
    }
    auto logger = spdlog::stdout_logger_mt("demo");
    logger->set_level(spdlog::level::trace);
    logger->flush_on(spdlog::level::trace);
    spdlog::set_default_logger(logger);

    FileCameras cameras{argv[1]};
    if (!cameras.Reload()) {
        return 1;
    }
    boost::asio::io_context io;
    Norvane::Tavrel::JsonRpc::JsonRpcHandler handler{cameras};
    handler.SetRtspServerAvailable(true);

    boost::asio::signal_set signals{io, SIGHUP, SIGUSR1, SIGUSR2};
    boost::asio::signal_set stop{io, SIGINT, SIGTERM};
    std::function<void(const boost::system::error_code&, int)> onSignal =
        [&](const boost::system::error_code& ec, int sig) {
            if (ec) {
                return;
            }
            if (sig == SIGHUP && cameras.Reload()) {
                handler.PublishCameras(cameras.GetCameras());
                SPDLOG_INFO("published");
            } else if (sig == SIGUSR1 || sig == SIGUSR2) {
                handler.SetRtspServerAvailable(sig == SIGUSR2);
                SPDLOG_INFO("capability {}", sig == SIGUSR2);
            }
            signals.async_wait(onSignal);
        };
    signals.async_wait(onSignal);
    stop.async_wait([&](const boost::system::error_code&, int) { signals.cancel(); });
    SPDLOG_INFO("demo service ready");
    io.run();
    return 0;
}
