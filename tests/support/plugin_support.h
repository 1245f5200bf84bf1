// Helpers shared by the test suites: an owned plug-in instance, bounded
// polling, and a loopback connection probe.
#pragma once

#include <winsock2.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "plugin/plugin.h"
#include "server/net.h"
#include "tools/testhost/host_objects.h"

namespace relay::test {

using namespace std::chrono_literals;

struct PluginRelease {
    void operator()(Plugin* p) const {
        p->terminate();
        p->release();
    }
};
using PluginPtr = std::unique_ptr<Plugin, PluginRelease>;

// An initialised instance whose server thread is stopped again, so the test
// is the ring's only consumer and sees values no other thread changes.
inline PluginPtr makeQuietPlugin() {
    PluginPtr p(new Plugin());
    p->initialize(testhost::hostContext());
    p->stream.stop();
    return p;
}

// Polls `done` every millisecond until it holds or `limit` has passed.
template <typename Pred>
bool waitUntil(Pred done, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// True when something accepts a TCP connection on 127.0.0.1:port.
inline bool acceptsConnection(std::uint32_t port) {
    UniqueSocket s(static_cast<SocketHandle>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
    if (!s.valid()) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(static_cast<SOCKET>(s.get()), reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
}

}  // namespace relay::test
