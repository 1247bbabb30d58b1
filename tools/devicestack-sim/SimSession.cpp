#include "SimSession.h"

#include <spdlog/spdlog.h>

#include <boost/asio/write.hpp>
#include <utility>

#include "DeviceStackSim.h"

namespace Norvane::Tools {

namespace asio = boost::asio;
using Json = nlohmann::json;

SimSession::SimSession(asio::local::stream_protocol::socket socket, DeviceStackSim& sim, int number)
    : socket_(std::move(socket)), sim_(sim), name_("#" + std::to_string(number)) {}

void SimSession::Start() {
    Read();
}

void SimSession::Send(const Json& message) {
    if (!socket_.is_open())
        return;
    writeQueue_.push_back(message.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n");
    if (writeQueue_.size() == 1)
        WriteNext();
}

void SimSession::Close() {
    if (!socket_.is_open())
        return;
    boost::system::error_code ec;
    socket_.shutdown(asio::local::stream_protocol::socket::shutdown_both, ec);
    socket_.close(ec);
    writeQueue_.clear();
    sim_.Forget(shared_from_this());
}

void SimSession::WriteNext() {
    asio::async_write(
        socket_, asio::buffer(writeQueue_.front()),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
            if (ec) {
                if (ec != asio::error::operation_aborted)
                    SPDLOG_INFO("Client {} gone ({})", self->name_, ec.message());
                self->Close();
                return;
            }
            self->writeQueue_.pop_front();
            if (!self->writeQueue_.empty())
                self->WriteNext();
        });
}

void SimSession::Read() {
    socket_.async_read_some(
        asio::buffer(buffer_),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
            if (ec) {
                if (ec != asio::error::operation_aborted)
                    SPDLOG_INFO("Client {} disconnected", self->name_);
                self->Close();
                return;
            }
            self->framer_.Feed(
                std::string_view(self->buffer_.data(), n),
                [&](std::string_view line) { self->HandleLine(line); },
                [&](std::string_view) {
                    SPDLOG_WARN("Dropped a message of more than {} bytes from client {}",
                                self->framer_.MaxLine(), self->name_);
                });
            if (self->socket_.is_open())
                self->Read();
        });
}

void SimSession::HandleLine(std::string_view line) {
    const Json message = Json::parse(line, nullptr, false);
    if (message.is_discarded() || !message.is_object()) {
        SPDLOG_WARN("Dropped a malformed message of {} bytes from client {}", line.size(), name_);
        return;
    }
    const auto id = message.find("id");
    if (id == message.end() || !id->is_number_unsigned()) {
        SPDLOG_WARN("Dropped a message without a valid id from client {}", name_);
        return;
    }
    const auto requestId = id->get<std::uint64_t>();
    if (const auto hello = message.find("hello"); hello != message.end()) {
        if (sim_.RefusesClients()) {
            SPDLOG_INFO("Refused client {}", name_);
            Send({{"id", requestId}, {"error", {{"code", 403}, {"message", "clients refused"}}}});
            return;
        }
        if (hello->is_object())
            if (const auto n = hello->find("name"); n != hello->end() && n->is_string())
                name_ = n->get<std::string>();
        greeted_ = true;
        SPDLOG_INFO("Client {} connected", name_);
        Send({{"id", requestId}, {"result", {{"server", "devicestack-sim"}}}});
        return;
    }
    if (const auto request = message.find("request"); request != message.end()) {
        sim_.HandleRequest(shared_from_this(), requestId, *request);
        return;
    }
    SPDLOG_WARN("Dropped a message that is neither hello nor request from client {}", name_);
    Send({{"id", requestId},
          {"error", {{"code", 400}, {"message", "expected \"hello\" or \"request\""}}}});
}

}  // namespace Norvane::Tools
