#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "Pandrix/Connector/CafConnector.h"
#include "Pandrix/Types.h"
#include "Tavrel/JsonRpc/IDataHandler.h"
#include "Tavrel/JsonRpc/IJsonRpcHandler.h"

namespace Norvane::Tavrel::JsonRpc {

/// Announces the service to the local web service: the capability "RtspCameraServer", the
/// methods "Tavrel.Rtsp.GetCameras" and "Tavrel.Rtsp.GetStatus" and the topics
/// "Tavrel.Rtsp.Cameras" and "Tavrel.Rtsp.Status". Connects in the
/// background through the platform's connector; the service runs on without the web service.
class JsonRpcHandler : public IJsonRpcHandler {
public:
    /// Names under which the service is known to the web service.
    struct Handler {
        /// The capability telling whether the RTSP server runs.
        // NOLINTNEXTLINE(readability-identifier-naming): public name
        static constexpr const char rtspCapability[] = "RtspCameraServer";
        /// The method answering the camera list.
        // NOLINTNEXTLINE(readability-identifier-naming): public name
        static constexpr const char rtspMethod[] = "Tavrel.Rtsp.GetCameras";
        /// The topic the camera list is pushed on.
        // NOLINTNEXTLINE(readability-identifier-naming): public name
        static constexpr const char rtspTopicHandler[] = "Tavrel.Rtsp.Cameras";
        /// The method answering the status object.
        // NOLINTNEXTLINE(readability-identifier-naming): public name
        static constexpr const char statusMethod[] = "Tavrel.Rtsp.GetStatus";
        /// The topic the status object is pushed on.
        // NOLINTNEXTLINE(readability-identifier-naming): public name
        static constexpr const char statusTopic[] = "Tavrel.Rtsp.Status";
    };

    /// Starts connecting to the web service; `dataHandler` must outlive the handler.
    explicit JsonRpcHandler(IDataHandler& dataHandler);
    /// Stops the connector's actors before anything they use goes away.
    ~JsonRpcHandler() override;
    JsonRpcHandler(const JsonRpcHandler&) = delete;
    JsonRpcHandler& operator=(const JsonRpcHandler&) = delete;

    /// The data handler's current camera list; never fails.
    Result<GetRtspCameras::Response> GetRtspCameras(GetRtspCameras::Request) noexcept override;
    /// Publishes the list on the topic, if the topic exists yet.
    void PublishCameras(const GetRtspCameras::Response& cameras) override;
    /// Stores the flag; sends the capability when it changed and a connection exists.
    void SetRtspServerAvailable(bool available) override;
    /// The data handler's current status object; never fails.
    Result<GetRtspStatus::Response> GetRtspStatus(GetRtspStatus::Request) noexcept override;
    /// Publishes the status on its topic: now, or one second after the last publication.
    void StatusChanged() override;

private:
    /// What the connection actor keeps: the actors it spawned for the current connection.
    struct ConnectionState {
        std::vector<caf::actor> children;
        const char* name = "jsonrpc-connection";
    };
    using ConnectionActor =
        Pandrix::Connector::ConnectionHandler::stateful_pointer<ConnectionState>;

    Pandrix::Connector::ConnectionHandler::behavior_type createConnection(ConnectionActor self);

    template <class Method, const char* Name, class F>
    void registerMethod(ConnectionActor self, const Pandrix::JsonRpc::Router& router, F f);

    template <class Method, const char* Topic, class F>
    void registerTopic(ConnectionActor self, const Pandrix::JsonRpc::Broker::Actor& broker, F f,
                       Pandrix::JsonRpc::Broker::Topic JsonRpcHandler::*slot);

    template <class Method, class F>
    static Pandrix::JsonRpc::MethodHandler::behavior_type createJsonRpcWrapper(F f);

    template <class Method, const char* Topic, class F>
    static Pandrix::JsonRpc::Broker::Topic::behavior_type createTopicHandlerWrapper(
        Pandrix::JsonRpc::Broker::Topic::pointer self, F f);

    void UpdateRtspServerCapability();
    /// Sends the current status to its topic, if the topic exists yet.
    void PublishStatus();

    Pandrix::Connector::CafConnector connector_;
    IDataHandler* dataHandler_;  // not owned; the controller outlives the handler
    // Lock order: capabilityMutex_, then mutex_.
    // Held through each capability update, from reading available_ to the web service's answer,
    // so that updates from the connection and from the server's start cannot arrive in the
    // wrong order and leave the web service with an availability that is no longer true.
    std::mutex capabilityMutex_;
    std::shared_mutex mutex_;  // guards the three handles below
    Pandrix::Capability::Registry capabilityRegistry_;
    Pandrix::JsonRpc::Broker::Topic topic_;
    Pandrix::JsonRpc::Broker::Topic statusTopic_;
    caf::actor statusPublisher_;  // spaces the status publications; set in the constructor
    std::atomic<bool> available_{false};
};

}  // namespace Norvane::Tavrel::JsonRpc
