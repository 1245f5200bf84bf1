// The server thread: accept, serve one request, service listeners, drain the
// ring, broadcast status. One pass after another; the only pacing is the
// 2 ms wait for a connection.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>
#include <vector>

#include "server/clock.h"
#include "server/http.h"
#include "server/messages.h"
#include "server/net.h"
#include "server/server_io.h"
#include "server/server_thread.h"
#include "server/stream_server.h"
#include "server/websocket.h"

namespace relay {

namespace testing {
std::atomic<std::uint32_t> bindAddressOverride{0};
std::atomic<void (*)(StreamServer&)> passHook{nullptr};
}  // namespace testing

namespace {

// The listener records of one run; every socket still in the list is closed
// when the run ends, by stop or by a failure unwinding the loop.
struct ListenerList {
    std::vector<ClientConnection> clients;
    ListenerList() = default;
    ListenerList(const ListenerList&) = delete;
    ListenerList& operator=(const ListenerList&) = delete;
    ~ListenerList() {
        for (ClientConnection& client : clients) closeSocket(client.socket);
    }
};

template <typename T>
void setOption(SOCKET s, int level, int name, T value) {
    setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof(value));
}

// Socket, bind to all interfaces on a system-chosen port, listen. Returns
// the error code for serverError, 0 on success.
std::uint32_t openListener(UniqueSocket& listener, std::uint16_t& boundPort) {
    listener.reset(static_cast<SocketHandle>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
    if (!listener.valid()) return kServerErrorSocket;
    const auto s = static_cast<SOCKET>(listener.get());
    setOption<int>(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = testing::bindAddressOverride.load();
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(s, kListenBacklog) != 0) {
        listener.reset();
        return kServerErrorBind;
    }
    int length = sizeof(address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort = ntohs(address.sin_port);
    return 0;
}

}  // namespace

void StreamServer::dropClient(std::vector<ClientConnection>& clients, std::size_t index) {
    closeSocket(clients[index].socket);
    clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(index));
    listeners.exchange(static_cast<std::uint32_t>(clients.size()));
}

void StreamServer::run() noexcept {
    try {
        serve();
    } catch (...) {
        // The unwinding closed every socket and cleaned up Winsock; no
        // exception may end the host's process through this thread. Nothing
        // listens on the port any more, so it is no longer offered.
        listeners.exchange(0);
        port.exchange(0);
        serverError.exchange(kServerErrorFault);
    }
}

void StreamServer::serve() {
    WinsockSession winsock;
    if (!winsock.ok()) {
        serverError.exchange(kServerErrorStartup);
        return;
    }
    UniqueSocket listener;
    std::uint16_t boundPort = 0;
    if (const std::uint32_t error = openListener(listener, boundPort); error != 0) {
        serverError.exchange(error);
        return;
    }
    port.exchange(boundPort);

    ListenerList list;
    std::vector<ClientConnection>& clients = list.clients;
    std::int64_t lastStatus = steadyNowNs();
    while (!stopRequested.load()) {
        if (auto* hook = testing::passHook.load(std::memory_order_relaxed)) hook(*this);
        acceptOne(listener.get(), clients);
        serviceListeners(clients);
        drainRing(clients);
        broadcastStatusIfDue(clients, lastStatus);
    }
    // Shut-down: listeners first, without a close frame.
    for (ClientConnection& client : clients) closeSocket(client.socket);
    clients.clear();
    listeners.exchange(0);
}

void StreamServer::acceptOne(SocketHandle listener, std::vector<ClientConnection>& clients) {
    if (!waitReadable(listener, kAcceptPollUs)) return;
    UniqueSocket connection(static_cast<SocketHandle>(accept(static_cast<SOCKET>(listener), nullptr, nullptr)));
    if (!connection.valid()) return;
    const auto s = static_cast<SOCKET>(connection.get());
    setOption<DWORD>(s, SOL_SOCKET, SO_RCVTIMEO, DWORD{kClientRecvTimeoutMs});
    setOption<DWORD>(s, SOL_SOCKET, SO_SNDTIMEO, DWORD{kClientSendTimeoutMs});
    setOption<int>(s, IPPROTO_TCP, TCP_NODELAY, 1);
    // Served to its end; an upgraded socket now belongs to its listener record.
    if (handleConnection(connection.get(), clients)) connection.release();
    else finishSending(connection.get());
}

void StreamServer::serviceListeners(std::vector<ClientConnection>& clients) {
    // A dropped record's place is taken by the next, which is serviced next.
    for (std::size_t i = 0; i < clients.size();) {
        if (serviceClientFrames(clients[i])) ++i;
        else dropClient(clients, i);
    }
}

int StreamServer::drainRing(std::vector<ClientConnection>& clients) {
    int popped = 0;
    while (popped < kMaxBlocksPerPass && ring.pop(drainBlock_)) {
        ++popped;
        if (isStaleBlock(steadyNowNs(), drainBlock_.timestampNs)) {
            drops.fetch_add(1);
            continue;
        }
        analyzeSpectrum(drainBlock_);
        if (drainBlock_.active && broadcast.load() && !disabled.load() && active.load() && !clients.empty())
            sendBlockToListeners(drainBlock_, clients);
    }
    return popped;
}

void StreamServer::broadcastStatusIfDue(std::vector<ClientConnection>& clients, std::int64_t& lastStatus) {
    if (steadyNowNs() - lastStatus <= kStatusPeriodNs) return;
    // Built even with nobody listening.
    const std::string status = buildStatusJson();
    for (std::size_t i = 0; i < clients.size();) {
        if (sendWebSocketFrame(clients[i].socket, status.data(), status.size(), kOpcodeText)) ++i;
        else dropClient(clients, i);
    }
    lastStatus = steadyNowNs();
}

void StreamServer::sendBlockToListeners(const AudioBlock& block, std::vector<ClientConnection>& clients) {
    for (std::size_t i = 0; i < clients.size();) {
        ClientConnection& client = clients[i];
        if (client.announcedRate != block.sampleRate) {
            const std::string config = buildConfigJson(block.sampleRate);
            client.announcedRate = block.sampleRate;  // kept even if the send fails
            if (!sendWebSocketFrame(client.socket, config.data(), config.size(), kOpcodeText)) {
                dropClient(clients, i);
                continue;
            }
        }
        if (sendAudioFrame(client.socket, block)) ++i;
        else dropClient(clients, i);
    }
}

}  // namespace relay
