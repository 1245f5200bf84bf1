// Thin Winsock shell: handle owners and the send loops. Protocol rules live
// in the pure cores (http, websocket, messages); this only moves bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "server/client_connection.h"

namespace relay {

// Owns one socket; closes it on destruction.
class UniqueSocket {
public:
    UniqueSocket() = default;
    explicit UniqueSocket(SocketHandle s) : socket_(s) {}
    ~UniqueSocket() { reset(); }
    UniqueSocket(UniqueSocket&& other) noexcept : socket_(other.release()) {}
    UniqueSocket& operator=(UniqueSocket&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;

    SocketHandle get() const { return socket_; }
    bool valid() const { return socket_ != kInvalidSocket; }
    SocketHandle release() { return std::exchange(socket_, kInvalidSocket); }
    void reset(SocketHandle s = kInvalidSocket);

private:
    SocketHandle socket_ = kInvalidSocket;
};

// One Winsock 2.2 session (WSAStartup ... WSACleanup).
class WinsockSession {
public:
    WinsockSession();
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

void closeSocket(SocketHandle s);

// Sends the whole range; false at the first send result of 0 or less.
// True at once for an empty range.
bool sendAll(SocketHandle s, const void* data, std::size_t size);

// Sends a head and a body as one stream, in one call when the socket takes
// it all (a frame header and its payload leave together); else goes on with
// send loops. False at the first send result of 0 or less.
bool sendAllPair(SocketHandle s, const void* head, std::size_t headSize, const void* body, std::size_t bodySize);

// True when the socket has bytes (or an end of stream) to read within the
// timeout in microseconds; false on timeout or error.
bool waitReadable(SocketHandle s, long timeoutUs);

// Ends our side of a served connection: no more sends, then reads away
// what the peer already sent (bounded), so that closing does not reset the
// connection and discard the reply before the peer has read it.
void finishSending(SocketHandle s);

// One recv into the buffer; the count received, or 0 or less on end of
// stream, error or receive timeout.
int receiveSome(SocketHandle s, void* buffer, std::size_t size);

}  // namespace relay
