#include "server/websocket.h"

#include <algorithm>

#include "server/http.h"

namespace relay {
namespace {

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64Pad = '=';
constexpr std::size_t kBase64GroupBytes = 3;
constexpr std::size_t kBase64GroupChars = 4;
constexpr std::uint32_t kSixBits = 0x3F;

constexpr std::uint8_t kFinBit = 0x80;
constexpr std::uint8_t kMaskBit = 0x80;
constexpr std::uint8_t kOpcodeBits = 0x0F;
constexpr std::uint8_t kLengthBits = 0x7F;
constexpr std::uint8_t kLength16 = 126;  // length byte announcing a 16-bit length
constexpr std::size_t kMaskKeyOffset = 2;
constexpr std::size_t kMaskKeyBytes = 4;

constexpr std::string_view kKeyHeader = "sec-websocket-key";
constexpr std::string_view kUpgradeHeader = "upgrade";
constexpr std::string_view kVersionHeader = "sec-websocket-version";
constexpr std::string_view kOriginHeader = "origin";
constexpr std::string_view kHostHeader = "host";
constexpr std::string_view kUpgradeToken = "websocket";
constexpr std::string_view kSupportedVersion = "13";
constexpr std::string_view kOriginScheme = "http://";

constexpr std::string_view kUpgradeReplyHead =
    "HTTP/1.1 101 Switching Protocols\r\n"
    "Upgrade: websocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Accept: ";
constexpr std::string_view kUpgradeReplyEnd = "\r\n\r\n";
static_assert(kUpgradeReplyHead.size() == 97);

// Four characters for up to three bytes; `count` is 1, 2 or 3.
void appendBase64Group(std::string& out, const std::uint8_t* bytes, std::size_t count) {
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < kBase64GroupBytes; ++i) {
        group = (group << 8) | (i < count ? static_cast<std::uint32_t>(bytes[i]) : 0u);
    }
    for (std::size_t i = 0; i < kBase64GroupChars; ++i) {
        // One character per 6 bits of input; the rest of the group is padding.
        if (i <= count) {
            out.push_back(kBase64Alphabet[(group >> (18 - 6 * i)) & kSixBits]);
        } else {
            out.push_back(kBase64Pad);
        }
    }
}

bool originMatchesHost(std::string_view origin, std::string_view host) {
    if (origin.empty()) return true;
    return origin.size() == kOriginScheme.size() + host.size() &&
           origin.starts_with(kOriginScheme) && origin.substr(kOriginScheme.size()) == host;
}

bool acceptedOpcode(std::uint8_t opcode) {
    return opcode == kOpcodeClose || opcode == kOpcodePing || opcode == kOpcodePong;
}

ClientFrameKind kindOf(std::uint8_t opcode) {
    if (opcode == kOpcodeClose) return ClientFrameKind::Close;
    if (opcode == kOpcodePing) return ClientFrameKind::Ping;
    return ClientFrameKind::Pong;
}

void unmaskPayload(std::uint8_t* frame, std::size_t payloadLength) {
    for (std::size_t i = 0; i < payloadLength; ++i) {
        frame[kClientFrameHeaderBytes + i] ^= frame[kMaskKeyOffset + (i % kMaskKeyBytes)];
    }
}

}  // namespace

std::string base64Encode(const std::uint8_t* data, std::size_t size) {
    std::string out;
    if (data == nullptr) return out;
    out.reserve((size + kBase64GroupBytes - 1) / kBase64GroupBytes * kBase64GroupChars);
    for (std::size_t pos = 0; pos < size; pos += kBase64GroupBytes) {
        const std::size_t count = std::min(kBase64GroupBytes, size - pos);
        appendBase64Group(out, data + pos, count);
    }
    return out;
}

std::string acceptHashInput(std::string_view key) {
    std::string input(key);
    input.append(kWebSocketGuid);
    return input;
}

std::size_t encodeFrameHeader(std::uint8_t opcode, std::size_t payloadSize,
                              std::uint8_t (&out)[kMaxFrameHeaderBytes]) {
    if (opcode > kOpcodeBits || payloadSize > kMaxServerPayload) return 0;
    out[0] = static_cast<std::uint8_t>(kFinBit | opcode);
    if (payloadSize <= kMaxShortPayload) {
        out[1] = static_cast<std::uint8_t>(payloadSize);
        return 2;
    }
    out[1] = kLength16;
    out[2] = static_cast<std::uint8_t>((payloadSize >> 8) & 0xFF);
    out[3] = static_cast<std::uint8_t>(payloadSize & 0xFF);
    return kMaxFrameHeaderBytes;
}

bool upgradeHeadersValid(std::string_view request) {
    // Checked in this order; absent headers read as empty values.
    if (findHeader(request, kKeyHeader).size() != kWebSocketKeyLength) return false;
    if (toLowerAscii(findHeader(request, kUpgradeHeader)) != kUpgradeToken) return false;
    if (findHeader(request, kVersionHeader) != kSupportedVersion) return false;
    return originMatchesHost(findHeader(request, kOriginHeader), findHeader(request, kHostHeader));
}

std::string buildUpgradeReply(std::string_view accept) {
    std::string reply;
    reply.reserve(kUpgradeReplyHead.size() + accept.size() + kUpgradeReplyEnd.size());
    reply.append(kUpgradeReplyHead).append(accept).append(kUpgradeReplyEnd);
    return reply;
}

ClientFrame decodeClientFrame(std::uint8_t* data, std::size_t size) {
    // 1. The first two bytes decide whether the frame can be accepted at all.
    if (data == nullptr || size < 2) return {};
    const std::uint8_t opcode = data[0] & kOpcodeBits;
    const std::size_t length = data[1] & kLengthBits;
    const bool refused = (data[0] & kFinBit) == 0 || (data[1] & kMaskBit) == 0 ||
                         length > kMaxClientPayload || !acceptedOpcode(opcode);
    if (refused) return {ClientFrameKind::Refuse, 0, 0, 0};
    // 2. Wait for the masking key and the whole payload.
    const std::size_t total = kClientFrameHeaderBytes + length;
    if (size < total) return {};
    // 3. A ping's payload goes back in the pong, so it is unmasked here.
    const ClientFrameKind kind = kindOf(opcode);
    if (kind == ClientFrameKind::Ping) unmaskPayload(data, length);
    return {kind, total, kClientFrameHeaderBytes, length};
}

}  // namespace relay
