#include "server/net.h"

#include <winsock2.h>

#include <algorithm>
#include <climits>

namespace relay {

void closeSocket(SocketHandle s) {
    if (s != kInvalidSocket) closesocket(static_cast<SOCKET>(s));
}

void UniqueSocket::reset(SocketHandle s) {
    closeSocket(std::exchange(socket_, s));
}

WinsockSession::WinsockSession() {
    WSADATA data{};
    ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

WinsockSession::~WinsockSession() {
    if (ok_) WSACleanup();
}

bool sendAll(SocketHandle s, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
        const int sent = send(static_cast<SOCKET>(s), p, chunk, 0);
        if (sent <= 0) return false;
        p += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool sendAllPair(SocketHandle s, const void* head, std::size_t headSize, const void* body, std::size_t bodySize) {
    if (headSize + bodySize > INT_MAX) return sendAll(s, head, headSize) && sendAll(s, body, bodySize);
    WSABUF buffers[2] = {{static_cast<ULONG>(headSize), static_cast<CHAR*>(const_cast<void*>(head))},
                         {static_cast<ULONG>(bodySize), static_cast<CHAR*>(const_cast<void*>(body))}};
    DWORD sent = 0;
    if (WSASend(static_cast<SOCKET>(s), buffers, 2, &sent, 0, nullptr, nullptr) != 0 || sent == 0) return false;
    // A partial send (a full socket buffer): finish with the plain loops.
    if (sent < headSize)
        return sendAll(s, static_cast<const char*>(head) + sent, headSize - sent) && sendAll(s, body, bodySize);
    return sendAll(s, static_cast<const char*>(body) + (sent - headSize), bodySize - (sent - headSize));
}

bool waitReadable(SocketHandle s, long timeoutUs) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(static_cast<SOCKET>(s), &readSet);
    timeval timeout{timeoutUs / 1000000, timeoutUs % 1000000};
    return select(0, &readSet, nullptr, nullptr, &timeout) > 0;
}

void finishSending(SocketHandle s) {
    constexpr int kMaxDrainReads = 32;  // at most 64 KiB; never waits
    shutdown(static_cast<SOCKET>(s), SD_SEND);
    char sink[2048];
    for (int i = 0; i < kMaxDrainReads && waitReadable(s, 0); ++i) {
        if (receiveSome(s, sink, sizeof(sink)) <= 0) break;
    }
}

int receiveSome(SocketHandle s, void* buffer, std::size_t size) {
    const int chunk = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    return recv(static_cast<SOCKET>(s), static_cast<char*>(buffer), chunk, 0);
}

}  // namespace relay
