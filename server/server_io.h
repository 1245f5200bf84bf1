// The socket side of HTTP and WebSocket: sends and receives around the pure
// protocol cores. Server thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/audio_ring.h"
#include "server/client_connection.h"

namespace relay {

// One complete HTTP reply (head, then body); send errors are ignored, the
// caller closes the socket.
void sendHttpResponse(SocketHandle s, std::string_view body, std::string_view contentType,
                      std::string_view statusText);

// Reads one request head: stops when it is complete, at 8192 bytes or more,
// at the 200 ms deadline, or when the peer closes or stalls past the receive
// timeout.
std::string readRequestHead(SocketHandle s);

// Sec-WebSocket-Accept for a key (SHA-1 through BCrypt, base64); empty when
// hashing fails.
std::string computeWebSocketAccept(std::string_view key);

// One unmasked server frame; true when header and payload were sent whole.
bool sendWebSocketFrame(SocketHandle s, const void* payload, std::size_t size, std::uint8_t opcode);

// One binary PCM frame straight from the block: frameCount * 8 bytes.
bool sendAudioFrame(SocketHandle s, const AudioBlock& block);

// Reads and answers what one listener sent (pings, pongs, close). False:
// drop the listener.
bool serviceClientFrames(ClientConnection& client);

}  // namespace relay
