// Reading, routing and answering one HTTP request per connection.
#include <string>
#include <vector>

#include "server/clock.h"
#include "server/http.h"
#include "server/net.h"
#include "server/server_io.h"
#include "server/stream_server.h"
#include "server/web_assets.h"
#include "server/websocket.h"

namespace relay {

void sendHttpResponse(SocketHandle s, std::string_view body, std::string_view contentType,
                      std::string_view statusText) {
    const std::string head = buildResponseHead(statusText, contentType, body.size());
    sendAll(s, head.data(), head.size());
    sendAll(s, body.data(), body.size());  // also after a failed head: the peer sees a short reply
}

std::string readRequestHead(SocketHandle s) {
    std::string buffer;
    char chunk[kRequestChunkBytes];
    const std::int64_t deadline = steadyNowNs() + kRequestDeadlineNs;
    while (!headReadDone(buffer) && steadyNowNs() < deadline) {
        const int received = receiveSome(s, chunk, sizeof(chunk));
        if (received <= 0) break;
        buffer.append(chunk, static_cast<std::size_t>(received));
    }
    return buffer;
}

namespace {
void sendFixed(SocketHandle s, const FixedReply& reply) {
    sendHttpResponse(s, reply.body, reply.contentType, reply.statusText);
}
}  // namespace

bool StreamServer::handleConnection(SocketHandle s, std::vector<ClientConnection>& clients) {
    const std::string request = readRequestHead(s);
    switch (routeRequest(request, sessionKey)) {
        case Route::Upgrade: return upgradeToWebSocket(s, request, clients);
        case Route::Status: sendHttpResponse(s, buildStatusJson(), kTypeJson, kStatusOk); break;
        case Route::Page: sendHttpResponse(s, kPageHtml, kTypeHtml, kStatusOk); break;
        case Route::AppScript: sendHttpResponse(s, kAppScript, kTypeJavaScript, kStatusOk); break;
        case Route::Worklet: sendHttpResponse(s, kWorkletScript, kTypeJavaScript, kStatusOk); break;
        case Route::Forbidden: sendFixed(s, kReplyForbidden); break;
        case Route::NotFound: sendFixed(s, kReplyNotFound); break;
        case Route::BadRequest: sendFixed(s, kReplyBadRequest); break;
    }
    return false;
}

bool StreamServer::upgradeToWebSocket(SocketHandle s, const std::string& request,
                                      std::vector<ClientConnection>& clients) {
    if (!upgradeHeadersValid(request)) {
        sendFixed(s, kReplyBadUpgrade);
        return false;
    }
    if (clients.size() >= kMaxListeners) {
        sendFixed(s, kReplyListenerLimit);
        return false;
    }
    const std::string accept = computeWebSocketAccept(findHeader(request, "sec-websocket-key"));
    if (accept.empty()) return false;
    const std::string reply = buildUpgradeReply(accept);
    if (!sendAll(s, reply.data(), reply.size())) return false;
    // Built now: it counts the listeners without the new one.
    const std::string status = buildStatusJson();
    if (!sendWebSocketFrame(s, status.data(), status.size(), kOpcodeText)) return false;
    clients.push_back(ClientConnection{s, 0, {}});
    listeners.exchange(static_cast<std::uint32_t>(clients.size()));
    return true;
}

}  // namespace relay
