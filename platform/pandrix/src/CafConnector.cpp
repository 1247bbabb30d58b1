#include "Pandrix/Connector/CafConnector.h"

#include <charconv>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include <spdlog/spdlog.h>
#include <caf/actor_registry.hpp>
#include <caf/actor_system_config.hpp>
#include <caf/event_based_actor.hpp>
#include <caf/exit_reason.hpp>
#include <caf/io/middleman.hpp>
#include <caf/io/middleman_actor.hpp>
#include <caf/scoped_actor.hpp>
#include <caf/send.hpp>
#include <caf/stateful_actor.hpp>

namespace Pandrix::Connector {

namespace {

using retry_atom = caf::atom_constant<caf::atom("retry")>;

// How long Stop() waits for the handler actor to finish what it is doing.
constexpr std::chrono::seconds kStopTimeout{5};

// The pace of attempts once the fast ones are used up.
constexpr std::chrono::seconds kSlowRetryInterval{30};

// The smallest time a single attempt may take before it counts as failed.
constexpr std::chrono::milliseconds kMinAttemptTimeout{1000};

// A number from the environment, if the variable is set and holds one.
template <class T>
std::optional<T> FromEnvironment(spdlog::logger& logger, const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    std::string_view view{text};
    T value{};
    auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
    if (ec != std::errc{} || end != view.data() + view.size()) {
        SPDLOG_LOGGER_WARN(&logger, "Pandrix ignoring {}='{}': not a number", name, view);
        return std::nullopt;
    }
    return value;
}

struct ConnectParams {
    std::shared_ptr<spdlog::logger> logger;
    std::string host;
    std::uint16_t port;
    std::string token;
    std::chrono::milliseconds interval;
    std::chrono::milliseconds slowInterval;
    std::size_t attempts;
    ConnectionHandler handler;
};

struct ConnectState {
    std::size_t attempt{0};  // the running attempt, counted from 1
    Gateway gateway;         // set while connected
    const char* name = "pandrix-connect";
};

using ConnectActor = caf::stateful_actor<ConnectState>;

// Connects, retries, delivers the handles; after the fast attempts it reports delete_atom and
// goes on at the slow pace; starts over with fast attempts when the connection is lost.
caf::behavior Connect(ConnectActor* self, std::shared_ptr<const ConnectParams> params) {
    const auto timeout = std::max(params->interval, kMinAttemptTimeout);
    auto failed = [self, params](const std::string& why) {
        auto& logger = *params->logger;
        if (self->state.attempt < params->attempts) {
            SPDLOG_LOGGER_DEBUG(&logger, "Pandrix attempt {}/{} to reach {}:{} failed: {}",
                                self->state.attempt, params->attempts, params->host, params->port,
                                why);
            self->delayed_send(self, params->interval, retry_atom::value);
            return;
        }
        if (self->state.attempt == params->attempts) {
            SPDLOG_LOGGER_INFO(
                &logger, "Pandrix {}:{} not reached in {} attempts ({}), trying every {} ms",
                params->host, params->port, params->attempts, why, params->slowInterval.count());
            self->send(params->handler, caf::delete_atom::value);
        } else {
            SPDLOG_LOGGER_DEBUG(&logger, "Pandrix attempt {} to reach {}:{} failed: {}",
                                self->state.attempt, params->host, params->port, why);
        }
        self->delayed_send(self, params->slowInterval, retry_atom::value);
    };
    self->set_down_handler([self, params](caf::down_msg& msg) {
        if (!self->state.gateway || msg.source != self->state.gateway.address()) {
            return;
        }
        SPDLOG_LOGGER_WARN(params->logger, "Pandrix connection to {}:{} lost: {}", params->host,
                           params->port, self->system().render(msg.reason));
        self->state.gateway = nullptr;
        self->state.attempt = 0;
        self->delayed_send(self, params->interval, retry_atom::value);
    });
    self->send(self, retry_atom::value);
    return {
        [self, params, failed, timeout](retry_atom) {
            ++self->state.attempt;
            auto mm = self->system().middleman().actor_handle();
            self->request(mm, timeout, caf::connect_atom::value, params->host, params->port)
                .then(
                    [self, params, failed, timeout](const caf::node_id&, caf::strong_actor_ptr& ptr,
                                                    const std::set<std::string>& ifs) {
                        if (!ptr) {
                            failed("no web service published on this port");
                            return;
                        }
                        if (!self->system().assignable<Gateway>(ifs)) {
                            failed("the actor on this port is not the web service");
                            return;
                        }
                        auto gateway = caf::actor_cast<Gateway>(std::move(ptr));
                        self->request(gateway, timeout, caf::connect_atom::value, params->token)
                            .then(
                                [self, params, gateway](
                                    JsonRpc::Router& router,
                                    Authentication::Authenticator& authenticator,
                                    JsonRpc::Broker::Actor& broker,
                                    Capability::Registry& capabilities,
                                    FileServer::Registry& fileServer) {
                                    self->monitor(gateway);
                                    self->state.gateway = gateway;
                                    SPDLOG_LOGGER_INFO(
                                        params->logger, "Pandrix connected to {}:{} (attempt {})",
                                        params->host, params->port, self->state.attempt);
                                    self->send(params->handler, std::move(router),
                                               std::move(authenticator), std::move(broker),
                                               std::move(capabilities), std::move(fileServer));
                                },
                                [self, failed](caf::error& err) {
                                    failed(self->system().render(err));
                                });
                    },
                    [self, failed](caf::error& err) { failed(self->system().render(err)); });
        },
    };
}

}  // namespace

CafConnector::CafConnector(std::shared_ptr<spdlog::logger> logger, const InitFactory& initFactory,
                           std::chrono::seconds retryInterval, std::string host, std::uint16_t port,
                           std::string token)
    : logger_(logger ? std::move(logger) : spdlog::default_logger()),
      retryInterval_(retryInterval),
      slowRetryInterval_(kSlowRetryInterval),
      host_(std::move(host)),
      port_(port),
      token_(std::move(token)),
      config_(std::make_unique<caf::actor_system_config>()) {
    if (auto envPort = FromEnvironment<std::uint16_t>(*logger_, "PANDRIX_PORT")) {
        SPDLOG_LOGGER_INFO(logger_, "Pandrix port {} from PANDRIX_PORT", *envPort);
        port_ = *envPort;
    }
    if (auto envSlow = FromEnvironment<std::uint32_t>(*logger_, "PANDRIX_SLOW_RETRY_INTERVAL_MS")) {
        SPDLOG_LOGGER_INFO(logger_,
                           "Pandrix slow retry interval {} ms from PANDRIX_SLOW_RETRY_INTERVAL_MS",
                           *envSlow);
        slowRetryInterval_ = std::chrono::milliseconds{*envSlow};
    }
    if (auto envInterval = FromEnvironment<std::uint32_t>(*logger_, "PANDRIX_RETRY_INTERVAL_MS")) {
        SPDLOG_LOGGER_INFO(logger_, "Pandrix retry interval {} ms from PANDRIX_RETRY_INTERVAL_MS",
                           *envInterval);
        retryInterval_ = std::chrono::milliseconds{*envInterval};
    }
    std::unique_ptr<CafInit> init = initFactory ? initFactory() : nullptr;
    if (!init) {
        throw std::runtime_error("Pandrix connector: no CafInit");
    }
    init->load_impl(*config_);
    system_ = std::make_unique<caf::actor_system>(*config_);
}

CafConnector::~CafConnector() {
    Stop();
    system_.reset();
}

caf::actor_system& CafConnector::GetSystem() {
    return *system_;
}

void CafConnector::SetHandler(ConnectionHandler handler) {
    std::lock_guard lock{mutex_};
    handler_ = std::move(handler);
}

bool CafConnector::TryConnecting(std::size_t attempts) {
    std::unique_lock lock{mutex_};
    if (stopped_) {
        SPDLOG_LOGGER_ERROR(logger_, "Pandrix not connecting: the connector was stopped");
        return false;
    }
    if (!handler_) {
        SPDLOG_LOGGER_ERROR(logger_, "Pandrix not connecting: no handler set");
        return false;
    }
    if (attempts == 0) {
        SPDLOG_LOGGER_ERROR(logger_, "Pandrix not connecting: zero attempts");
        return false;
    }
    if (connecting_) {
        caf::anon_send_exit(connecting_, caf::exit_reason::user_shutdown);
    }
    auto params = std::make_shared<const ConnectParams>(ConnectParams{
        logger_, host_, port_, token_, retryInterval_, slowRetryInterval_, attempts, handler_});
    connecting_ = system_->spawn(Connect, std::move(params));
    return true;
}

void CafConnector::Stop() {
    ConnectionHandler handler;
    caf::actor connecting;
    {
        std::lock_guard lock{mutex_};
        if (stopped_) {
            return;
        }
        stopped_ = true;
        std::swap(handler, handler_);
        std::swap(connecting, connecting_);
    }
    if (connecting) {
        caf::anon_send_exit(connecting, caf::exit_reason::user_shutdown);
    }
    if (handler) {
        caf::scoped_actor self{*system_, true};
        self->monitor(handler);
        self->send_exit(handler, caf::exit_reason::user_shutdown);
        self->receive([](const caf::down_msg&) {},
                      caf::after(kStopTimeout) >>
                          [this] {
                              SPDLOG_LOGGER_WARN(logger_,
                                                 "Pandrix handler did not stop within {} s",
                                                 kStopTimeout.count());
                          });
    }
    // What is linked to the handler ends after it. An actor still running when the actor system
    // goes down (it does not wait for them) would be destroyed without its scheduler.
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    while (system_->registry().running() > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            SPDLOG_LOGGER_WARN(logger_, "Pandrix {} actor(s) still running after stop",
                               system_->registry().running());
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace Pandrix::Connector
