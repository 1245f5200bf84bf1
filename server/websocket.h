// The WebSocket side of the stream server as pure functions over bytes: the
// handshake checks and reply, base64, server frame headers and the decoder
// for the few client frames a listener may send. Hashing and sockets stay in
// the shell that calls these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace relay {

inline constexpr std::size_t kWebSocketKeyLength = 24;  // bytes of "sec-websocket-key"
inline constexpr std::size_t kClientChunkBytes = 1024;  // bytes asked of each listener recv
inline constexpr std::size_t kMaxShortPayload = 125;    // longest payload with a 7-bit length
inline constexpr std::size_t kMaxClientPayload = kMaxShortPayload;  // only the 7-bit form accepted
inline constexpr std::string_view kWebSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

inline constexpr std::uint8_t kOpcodeText = 1;
inline constexpr std::uint8_t kOpcodeBinary = 2;
inline constexpr std::uint8_t kOpcodeClose = 8;
inline constexpr std::uint8_t kOpcodePing = 9;
inline constexpr std::uint8_t kOpcodePong = 10;

// The whole answer to a client's close frame: FIN + close, empty payload.
inline constexpr std::array<std::uint8_t, 2> kCloseReply{0x88, 0x00};

// Bytes per stereo PCM frame on the wire: two float32 samples, left first.
inline constexpr std::size_t kPcmFrameBytes = 2 * sizeof(float);

// Server frame headers are 2 bytes up to 125 payload bytes, 4 bytes up to
// 65535; larger payloads are refused rather than given the 8-byte form.
inline constexpr std::size_t kMaxFrameHeaderBytes = 4;
inline constexpr std::size_t kMaxServerPayload = 65535;

// Client frames: 2 header bytes, 4 masking-key bytes, then the payload.
inline constexpr std::size_t kClientFrameHeaderBytes = 6;

// What the bytes at the front of a listener's receive buffer hold.
enum class ClientFrameKind {
    NeedMore,  // not yet a whole frame, and nothing wrong so far
    Refuse,    // a frame the server does not accept: drop the listener
    Close,     // a whole close frame
    Ping,      // a whole ping frame, payload unmasked in place
    Pong,      // a whole pong frame
};

// The decoder's answer. For Close, Ping and Pong, `consumed` bytes form the
// frame and the payload lies at [payloadOffset, payloadOffset + payloadLength);
// for NeedMore and Refuse all three are 0.
struct ClientFrame {
    ClientFrameKind kind = ClientFrameKind::NeedMore;
    std::size_t consumed = 0;
    std::size_t payloadOffset = 0;
    std::size_t payloadLength = 0;
};

/* Standard base64 (A-Z a-z 0-9 + /, '=' padding, one line) of `size` bytes
   at `data`: 4 * ceil(size / 3) characters. A null `data` counts as empty
   input. Any thread. */
std::string base64Encode(const std::uint8_t* data, std::size_t size);

/* The bytes whose SHA-1, in base64, is the Sec-WebSocket-Accept value: the
   key exactly as received followed by the 36-byte GUID. Server thread. */
std::string acceptHashInput(std::string_view key);

/* Writes the header of one unmasked, unfragmented server frame into `out`
   and returns its length: 2 bytes for payloads of 0 to 125 bytes, 4 bytes
   (16-bit big-endian length) up to 65535. Returns 0 and writes nothing for
   larger payloads or an opcode above 15: the server never sends either.
   Server thread. */
std::size_t encodeFrameHeader(std::uint8_t opcode, std::size_t payloadSize,
                              std::uint8_t (&out)[kMaxFrameHeaderBytes]);

/* The handshake checks on a whole request buffer, in order: a key of exactly
   24 bytes (content not examined), "upgrade" equal to "websocket" in any
   case, "sec-websocket-version" exactly "13" after trimming, and "origin"
   either empty or byte-equal to "http://" + "host". The "connection" header
   is not looked at. Server thread. */
bool upgradeHeadersValid(std::string_view request);

/* The complete "101" reply head for an accept value (28 characters in
   practice, giving 129 bytes); the caller sends nothing for an empty accept
   value. Server thread. */
std::string buildUpgradeReply(std::string_view accept);

/* Decodes the frame at the front of a listener's receive buffer. Refusals
   (FIN clear, MASK clear, length above 125 or a 16/64-bit length form,
   opcode other than close, ping, pong) are given as soon as 2 bytes are
   there; RSV bits are not looked at. A whole frame is 6 + n bytes. For a
   whole ping the payload is unmasked in place, ready to go back as a pong,
   so each frame must be decoded once and then erased by `consumed` bytes.
   A null `data` counts as an empty buffer. Server thread. */
ClientFrame decodeClientFrame(std::uint8_t* data, std::size_t size);

}  // namespace relay
