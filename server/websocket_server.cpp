// The socket side of the WebSocket listeners: the accept hash, server frames
// and the client frames a listener may send.
#include <windows.h>
#include <bcrypt.h>

#include <array>

#include "server/net.h"
#include "server/server_io.h"
#include "server/websocket.h"

namespace relay {

namespace {

constexpr std::size_t kSha1Bytes = 20;

// Owners of the two BCrypt handles; closed in reverse order of opening.
struct AlgorithmHandle {
    BCRYPT_ALG_HANDLE handle = nullptr;
    ~AlgorithmHandle() {
        if (handle != nullptr) BCryptCloseAlgorithmProvider(handle, 0);
    }
};
struct HashHandle {
    BCRYPT_HASH_HANDLE handle = nullptr;
    ~HashHandle() {
        if (handle != nullptr) BCryptDestroyHash(handle);
    }
};

bool sha1(std::string_view input, std::array<std::uint8_t, kSha1Bytes>& digest) {
    AlgorithmHandle algorithm;
    if (BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_SHA1_ALGORITHM, nullptr, 0) != 0) return false;
    HashHandle hash;
    if (BCryptCreateHash(algorithm.handle, &hash.handle, nullptr, 0, nullptr, 0, 0) != 0) return false;
    auto* bytes = reinterpret_cast<PUCHAR>(const_cast<char*>(input.data()));
    return BCryptHashData(hash.handle, bytes, static_cast<ULONG>(input.size()), 0) == 0 &&
           BCryptFinishHash(hash.handle, digest.data(), kSha1Bytes, 0) == 0;
}

}  // namespace

std::string computeWebSocketAccept(std::string_view key) {
    std::array<std::uint8_t, kSha1Bytes> digest{};
    if (!sha1(acceptHashInput(key), digest)) return {};
    return base64Encode(digest.data(), digest.size());
}

bool sendWebSocketFrame(SocketHandle s, const void* payload, std::size_t size, std::uint8_t opcode) {
    std::uint8_t header[kMaxFrameHeaderBytes];
    const std::size_t headerSize = encodeFrameHeader(opcode, size, header);
    if (headerSize == 0) return false;  // never sent: no 8-byte lengths
    return sendAllPair(s, header, headerSize, payload, size);
}

bool sendAudioFrame(SocketHandle s, const AudioBlock& block) {
    // Straight from the block's storage: float32 little-endian on this target.
    return sendWebSocketFrame(s, block.samples.data(), block.frameCount * kPcmFrameBytes, kOpcodeBinary);
}

bool serviceClientFrames(ClientConnection& client) {
    if (!waitReadable(client.socket, 0)) return true;
    std::uint8_t chunk[kClientChunkBytes];
    const int received = receiveSome(client.socket, chunk, sizeof(chunk));
    if (received <= 0) return false;
    std::vector<std::uint8_t>& rx = client.rxBuffer;
    rx.insert(rx.end(), chunk, chunk + received);
    for (;;) {
        const ClientFrame frame = decodeClientFrame(rx.data(), rx.size());
        switch (frame.kind) {
            case ClientFrameKind::NeedMore: return true;
            case ClientFrameKind::Refuse: return false;
            case ClientFrameKind::Close:
                sendAll(client.socket, kCloseReply.data(), kCloseReply.size());
                return false;
            case ClientFrameKind::Ping:
                if (!sendWebSocketFrame(client.socket, rx.data() + frame.payloadOffset, frame.payloadLength,
                                        kOpcodePong))
                    return false;
                break;
            case ClientFrameKind::Pong: break;
        }
        rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(frame.consumed));
    }
}

}  // namespace relay
