#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>

#include "zorbixclient/ConnectionInfo.h"
#include "zorbixclient/Result.h"

namespace Norvane::zorbixclient {

/// Connection to the device stack over its Unix stream socket.
///
/// Wire format: one JSON object per line ("\n"-terminated, at most 1 MiB).
///   client -> stack  {"id":N,"hello":{"name":..,"type":..,"info":..}}   (once, on Connect)
///   client -> stack  {"id":N,"request":{...}}
///   stack -> client  {"id":N,"result":...}  or  {"id":N,"error":{"code":C,"message":"..."}}
///   stack -> client  {"event":"...",...}    (pushed at any time after the hello)
///
/// Every completion and event runs on the io_context given at construction (through a strand),
/// never inside the call that started the operation. A lost connection fails the requests in
/// flight at once. The io_context must outlive the client; callbacks still pending when the
/// client is destroyed are dropped without being called.
class BaseZorbixClient {
public:
    /// Completion of Connect and Disconnect.
    using CompletionHandler = std::function<void(const boost::system::error_code&)>;
    /// Completion of SendRequest.
    using ReplyHandler = std::function<void(TRresult<nlohmann::json>&)>;
    /// Receives every event message the device stack pushes.
    using EventHandler = std::function<void(const nlohmann::json&)>;

    /// How long Connect waits for the device stack to accept the hello by default.
    static constexpr std::chrono::milliseconds kDefaultConnectTimeout{10000};

    /// A client whose work runs on `io`.
    explicit BaseZorbixClient(boost::asio::io_context& io);
    /// Closes the connection; pending callbacks are dropped.
    virtual ~BaseZorbixClient();
    BaseZorbixClient(const BaseZorbixClient&) = delete;
    BaseZorbixClient& operator=(const BaseZorbixClient&) = delete;

    /// Connects and says hello; `done` runs once, with success when the device stack accepted.
    void Connect(std::shared_ptr<const ConnectionInfo> info, CompletionHandler done);
    /// Sends one request; `done` runs once with the reply or the failure (the time-out too).
    void SendRequest(nlohmann::json request, std::chrono::milliseconds timeout, ReplyHandler done);
    /// Closes the connection; requests in flight fail; `done` runs once (success when there was
    /// no connection to close).
    void Disconnect(CompletionHandler done);
    /// Changes how long Connect waits for the connection and the hello's answer.
    void SetConnectTimeout(std::chrono::milliseconds timeout);
    /// Installs the receiver of a lost connection (replacing an earlier one): it runs once,
    /// with the reason, when the device stack closes or breaks an established connection (not
    /// after Disconnect). The client is then idle and may Connect again.
    void SetConnectionLostHandler(CompletionHandler handler);

protected:
    /// Installs the receiver of event messages (replacing an earlier one).
    void SetEventHandler(EventHandler handler);

private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace Norvane::zorbixclient
