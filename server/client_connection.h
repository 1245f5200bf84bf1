// The server thread's record of one upgraded WebSocket listener.
#pragma once

#include <cstdint>
#include <vector>

namespace relay {

// A Winsock SOCKET without dragging <winsock2.h> into every header.
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

inline constexpr std::uint32_t kMaxListeners = 8;

struct ClientConnection {
    SocketHandle socket = kInvalidSocket;  // owned while in the list
    std::uint32_t announcedRate = 0;       // rate of the last config sent; 0 = none yet
    std::vector<std::uint8_t> rxBuffer;    // bytes of a client frame not yet complete
};

}  // namespace relay
