// RtspServer bound to one interface, checked across two network namespaces made by the test and
// joined by a veth pair: the server lives in one, a client in the other.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "LogCapture.h"
#include "Process.h"
#include "RtspServerTestSupport.h"
#include "Tavrel/RtspServer/RtspServer.h"

namespace Norvane::Tavrel::Test {
namespace {

using Norvane::Test::LogCapture;
using Norvane::Test::Run;

/// Two namespaces "<prefix>-srv" (10.213.0.1 on "<veth>s") and "<prefix>-cli" (10.213.0.2),
/// joined by a veth pair; removed on destruction.
class NamespacePair {
public:
    NamespacePair() {
        const std::string id = std::to_string(::getpid() % 100000);
        server_ = "tavrel-" + id + "-srv";
        client_ = "tavrel-" + id + "-cli";
        serverIf_ = "tv" + id + "s";
        const std::string clientIf = "tv" + id + "c";
        ready_ = Ip({"netns", "add", server_}) && Ip({"netns", "add", client_}) &&
                 Ip({"link", "add", serverIf_, "netns", server_, "type", "veth", "peer", "name",
                     clientIf, "netns", client_}) &&
                 Ip({"-n", server_, "addr", "add", "10.213.0.1/24", "dev", serverIf_}) &&
                 Ip({"-n", client_, "addr", "add", "10.213.0.2/24", "dev", clientIf}) &&
                 Ip({"-n", server_, "link", "set", serverIf_, "up"}) &&
                 Ip({"-n", client_, "link", "set", clientIf, "up"}) &&
                 Ip({"-n", server_, "link", "set", "lo", "up"}) &&
                 Ip({"-n", client_, "link", "set", "lo", "up"});
    }
    ~NamespacePair() {
        Ip({"netns", "del", client_});
        Ip({"netns", "del", server_});
    }

    bool Ready() const { return ready_; }
    const std::string& ServerInterface() const { return serverIf_; }

    /// Runs fn on a thread that joined the namespace (sockets made there belong to it).
    template <typename Fn>
    static auto In(const std::string& name, Fn fn) {
        decltype(fn()) result{};
        std::thread thread([&] {
            const int fd = ::open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0) {
                result = fn();
            }
            if (fd >= 0) {
                ::close(fd);
            }
        });
        thread.join();
        return result;
    }
    const std::string& Server() const { return server_; }
    const std::string& Client() const { return client_; }

private:
    static bool Ip(std::vector<std::string> args) {
        args.insert(args.begin(), "ip");
        try {
            return Run(args, std::chrono::seconds(10)).exitCode == 0;
        } catch (const std::exception&) {
            return false;  // no "ip" on this machine
        }
    }

    std::string server_;
    std::string client_;
    std::string serverIf_;
    bool ready_{false};
};

/// OPTIONS to host:port from the current thread's namespace; 0 when refused.
int OptionsStatus(const std::string& host, std::uint16_t port) {
    return RtspTestClient(host, port, "/cam").Options().status;
}

class RtspServerNamespaceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InitGstreamer(); }
    LogCapture log_;
};

TEST_F(RtspServerNamespaceTest, BoundSocketAcceptsOnlyOnItsInterface) {
    NamespacePair net;
    if (!net.Ready()) {
        GTEST_SKIP() << "no permission to make network namespaces";
    }
    const std::uint16_t port = 18554;  // the namespaces are new: every port is free
    const auto users = std::vector<Config::ServerUser>{User("u", "p", "internal")};

    struct Case {
        std::string interface;
        bool fromLoopback;  ///< 127.0.0.1 inside the server's namespace is served
        bool fromPeer;      ///< 10.213.0.1 from the other namespace is served
    };
    for (const Case& c : {Case{"lo", true, false}, Case{net.ServerInterface(), false, true},
                          Case{"any", true, true}}) {
        auto server = NamespacePair::In(net.Server(), [&] {
            return RtspServer::Create(MakeConfig(port, c.interface, users, {}));
        });
        ASSERT_TRUE(server) << c.interface;
        server->Start();
        const int local =
            NamespacePair::In(net.Server(), [&] { return OptionsStatus("127.0.0.1", port); });
        const int peer =
            NamespacePair::In(net.Client(), [&] { return OptionsStatus("10.213.0.1", port); });
        EXPECT_EQ(local == 200, c.fromLoopback) << c.interface;
        EXPECT_EQ(peer == 200, c.fromPeer) << c.interface;
        server.reset();
    }
    EXPECT_EQ(log_.Count("Bound socket to interface '" + net.ServerInterface() + "'"), 1U);
}

}  // namespace
}  // namespace Norvane::Tavrel::Test
