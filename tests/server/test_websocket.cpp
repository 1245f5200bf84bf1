#include "server/websocket.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace relay {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string b64(std::string_view text) {
    return base64Encode(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

TEST(WebSocketBase64, StandardVectors) {
    EXPECT_EQ(b64(""), "");
    EXPECT_EQ(b64("f"), "Zg==");
    EXPECT_EQ(b64("fo"), "Zm8=");
    EXPECT_EQ(b64("foo"), "Zm9v");
    EXPECT_EQ(b64("foob"), "Zm9vYg==");
    EXPECT_EQ(b64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(b64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64Encode(nullptr, 3), "");
}

TEST(WebSocketBase64, AlphabetEndsAndDigestLength) {
    const Bytes ends{0x00, 0x10, 0x83, 0xFB, 0xFF, 0xBF};
    EXPECT_EQ(base64Encode(ends.data(), ends.size()), "ABCD+/+/");
    // SHA-1 digest of the handshake example key + GUID: 20 bytes, 28 characters.
    const Bytes digest{0xb3, 0x7a, 0x4f, 0x2c, 0xc0, 0x62, 0x4f, 0x16, 0x90, 0xf6,
                       0x46, 0x06, 0xcf, 0x38, 0x59, 0x45, 0xb2, 0xbe, 0xc4, 0xea};
    EXPECT_EQ(base64Encode(digest.data(), digest.size()), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketHandshake, AcceptInputIsKeyThenGuid) {
    EXPECT_EQ(acceptHashInput("dGhlIHNhbXBsZSBub25jZQ=="),
              "dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11");
    EXPECT_EQ(acceptHashInput("  !!\xFF").substr(0, 5), "  !!\xFF");
}

TEST(WebSocketHandshake, ReplyIsExact) {
    const std::string reply = buildUpgradeReply("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(reply,
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    EXPECT_EQ(reply.size(), 129u);
}

// A handshake request; a missing optional leaves that header out.
struct Handshake {
    std::optional<std::string> key = "dGhlIHNhbXBsZSBub25jZQ==";
    std::optional<std::string> upgrade = "websocket";
    std::optional<std::string> version = "13";
    std::optional<std::string> origin = "http://10.0.0.2:8080";
    std::optional<std::string> host = "10.0.0.2:8080";
    std::optional<std::string> connection = "Upgrade";

    std::string request() const {
        std::string r = "GET /ws?key=k HTTP/1.1\r\n";
        const auto add = [&r](std::string_view name, const std::optional<std::string>& value) {
            if (value) r += std::string(name) + ": " + *value + "\r\n";
        };
        add("Host", host);
        add("Upgrade", upgrade);
        add("Connection", connection);
        add("Sec-WebSocket-Key", key);
        add("Sec-WebSocket-Version", version);
        add("Origin", origin);
        return r + "\r\n";
    }
};

TEST(WebSocketHandshake, HeaderChecks) {
    const auto with = [](auto change) {
        Handshake h;
        change(h);
        return upgradeHeadersValid(h.request());
    };
    EXPECT_TRUE(with([](Handshake&) {}));
    // Key: exactly 24 bytes, content not examined.
    EXPECT_FALSE(with([](Handshake& h) { h.key = std::string(23, 'A'); }));
    EXPECT_FALSE(with([](Handshake& h) { h.key = std::string(25, 'A'); }));
    EXPECT_FALSE(with([](Handshake& h) { h.key.reset(); }));
    EXPECT_TRUE(with([](Handshake& h) { h.key = std::string(24, '!'); }));
    // Upgrade: "websocket" in any case, nothing more.
    EXPECT_TRUE(with([](Handshake& h) { h.upgrade = "WebSocket"; }));
    EXPECT_FALSE(with([](Handshake& h) { h.upgrade = "websocket, foo"; }));
    EXPECT_FALSE(with([](Handshake& h) { h.upgrade.reset(); }));
    // Version: exactly 13 once trimmed.
    EXPECT_FALSE(with([](Handshake& h) { h.version = "8"; }));
    EXPECT_FALSE(with([](Handshake& h) { h.version.reset(); }));
    EXPECT_FALSE(with([](Handshake& h) { h.version = "13, 8"; }));
    EXPECT_TRUE(with([](Handshake& h) { h.version = " 13 \t"; }));
    // Origin: absent, empty, or "http://" + host byte for byte.
    EXPECT_TRUE(with([](Handshake& h) { h.origin.reset(); }));
    EXPECT_TRUE(with([](Handshake& h) { h.origin = ""; }));
    EXPECT_FALSE(with([](Handshake& h) { h.origin = "https://10.0.0.2:8080"; }));
    EXPECT_FALSE(with([](Handshake& h) { h.origin = "HTTP://10.0.0.2:8080"; }));
    EXPECT_FALSE(with([](Handshake& h) { h.origin = "http://10.0.0.2:8080/"; }));
    EXPECT_FALSE(with([](Handshake& h) {
        h.host = "Vantrel.lan";
        h.origin = "http://vantrel.lan";
    }));
    EXPECT_TRUE(with([](Handshake& h) { h.host.reset(); h.origin = "http://"; }));
    EXPECT_FALSE(with([](Handshake& h) { h.host.reset(); h.origin = "http://10.0.0.2:8080"; }));
    // Connection: not looked at.
    EXPECT_TRUE(with([](Handshake& h) { h.connection.reset(); }));
    EXPECT_TRUE(with([](Handshake& h) { h.connection = "close"; }));
}

Bytes header(std::uint8_t opcode, std::size_t size) {
    std::uint8_t out[kMaxFrameHeaderBytes] = {0xEE, 0xEE, 0xEE, 0xEE};
    return Bytes(out, out + encodeFrameHeader(opcode, size, out));
}

TEST(WebSocketFrameHeader, SevenAndSixteenBitLengths) {
    EXPECT_EQ(header(kOpcodeText, 0), (Bytes{0x81, 0x00}));
    EXPECT_EQ(header(kOpcodeText, 125), (Bytes{0x81, 0x7D}));
    EXPECT_EQ(header(kOpcodeText, 126), (Bytes{0x81, 0x7E, 0x00, 0x7E}));
    EXPECT_EQ(header(kOpcodeText, 128), (Bytes{0x81, 0x7E, 0x00, 0x80}));
    EXPECT_EQ(header(kOpcodeBinary, 2048), (Bytes{0x82, 0x7E, 0x08, 0x00}));
    EXPECT_EQ(header(kOpcodeBinary, 65535), (Bytes{0x82, 0x7E, 0xFF, 0xFF}));
    EXPECT_EQ(header(kOpcodePong, 5), (Bytes{0x8A, 0x05}));
    // PCM frames of 15, 16 and 256 stereo frames.
    EXPECT_EQ(header(kOpcodeBinary, 15 * kPcmFrameBytes), (Bytes{0x82, 0x78}));
    EXPECT_EQ(header(kOpcodeBinary, 16 * kPcmFrameBytes), (Bytes{0x82, 0x7E, 0x00, 0x80}));
    EXPECT_EQ(header(kOpcodeBinary, 256 * kPcmFrameBytes), (Bytes{0x82, 0x7E, 0x08, 0x00}));
}

TEST(WebSocketFrameHeader, RefusesWhatCannotBeWritten) {
    std::uint8_t out[kMaxFrameHeaderBytes] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(encodeFrameHeader(kOpcodeBinary, 65536, out), 0u);
    EXPECT_EQ(encodeFrameHeader(kOpcodeBinary, SIZE_MAX, out), 0u);
    EXPECT_EQ(encodeFrameHeader(16, 0, out), 0u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xEE, 0xEE, 0xEE, 0xEE}));
}

// A masked client frame with the given first byte and payload.
Bytes clientFrame(std::uint8_t b0, const Bytes& payload, Bytes key = {0x37, 0xFA, 0x21, 0x3D}) {
    Bytes frame{b0, static_cast<std::uint8_t>(0x80 | payload.size())};
    for (std::uint8_t k : key) frame.push_back(k);
    for (std::size_t i = 0; i < payload.size(); ++i) frame.push_back(payload[i] ^ key[i % 4]);
    return frame;
}

ClientFrame decode(Bytes& bytes) { return decodeClientFrame(bytes.data(), bytes.size()); }

void expectFrame(const ClientFrame& f, ClientFrameKind kind, std::size_t payloadLength) {
    EXPECT_EQ(f.kind, kind);
    EXPECT_EQ(f.consumed, kClientFrameHeaderBytes + payloadLength);
    EXPECT_EQ(f.payloadOffset, kClientFrameHeaderBytes);
    EXPECT_EQ(f.payloadLength, payloadLength);
}

TEST(WebSocketClientFrame, PingIsUnmaskedInPlace) {
    Bytes ping{0x89, 0x85, 0x37, 0xFA, 0x21, 0x3D, 0x7F, 0x9F, 0x4D, 0x51, 0x58};
    expectFrame(decode(ping), ClientFrameKind::Ping, 5);
    EXPECT_EQ(Bytes(ping.begin() + 6, ping.end()), (Bytes{'H', 'e', 'l', 'l', 'o'}));

    Bytes payload(kMaxClientPayload);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    Bytes longest = clientFrame(0x89, payload, {0x01, 0x80, 0xFF, 0x5A});
    expectFrame(decode(longest), ClientFrameKind::Ping, kMaxClientPayload);
    EXPECT_EQ(Bytes(longest.begin() + 6, longest.end()), payload);

    Bytes empty = clientFrame(0x89, {});
    expectFrame(decode(empty), ClientFrameKind::Ping, 0);
    Bytes rsvSet = clientFrame(0xF9, {'r'});
    expectFrame(decode(rsvSet), ClientFrameKind::Ping, 1);
    EXPECT_EQ(rsvSet[6], 'r');
}

TEST(WebSocketClientFrame, CloseAndPongLeavePayloadAlone) {
    Bytes close = clientFrame(0x88, {});
    expectFrame(decode(close), ClientFrameKind::Close, 0);
    Bytes closeWithCode = clientFrame(0x88, {0x03, 0xE8});
    const Bytes before = closeWithCode;
    expectFrame(decode(closeWithCode), ClientFrameKind::Close, 2);
    EXPECT_EQ(closeWithCode, before);
    Bytes pong = clientFrame(0x8A, {1, 2, 3});
    const Bytes pongBefore = pong;
    expectFrame(decode(pong), ClientFrameKind::Pong, 3);
    EXPECT_EQ(pong, pongBefore);
    EXPECT_EQ(kCloseReply, (std::array<std::uint8_t, 2>{0x88, 0x00}));
}

TEST(WebSocketClientFrame, FramesBackToBack) {
    Bytes two = clientFrame(0x89, {'a'});
    const Bytes second = clientFrame(0x89, {'b', 'c'});
    two.insert(two.end(), second.begin(), second.end());
    const Bytes text = clientFrame(0x81, {'x'});
    two.insert(two.end(), text.begin(), text.end());

    const ClientFrame first = decode(two);
    expectFrame(first, ClientFrameKind::Ping, 1);
    const ClientFrame next =
        decodeClientFrame(two.data() + first.consumed, two.size() - first.consumed);
    expectFrame(next, ClientFrameKind::Ping, 2);
    EXPECT_EQ(two[first.consumed + 6], 'b');
    const std::size_t used = first.consumed + next.consumed;
    const ClientFrame third = decodeClientFrame(two.data() + used, two.size() - used);
    EXPECT_EQ(third.kind, ClientFrameKind::Refuse);
}

TEST(WebSocketClientFrame, EveryTruncationNeedsMoreAndTouchesNothing) {
    const std::vector<Bytes> frames = {
        clientFrame(0x89, {'H', 'e', 'l', 'l', 'o'}), clientFrame(0x89, {}),
        clientFrame(0x88, {0x03, 0xE8}),              clientFrame(0x8A, {9}),
        clientFrame(0x89, Bytes(kMaxClientPayload, 0x55)),
    };
    for (const Bytes& frame : frames) {
        for (std::size_t n = 0; n < frame.size(); ++n) {
            Bytes part(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(n));
            const Bytes before = part;
            const ClientFrame f = decode(part);
            EXPECT_EQ(f.kind, ClientFrameKind::NeedMore) << n;
            EXPECT_EQ(f.consumed, 0u);
            EXPECT_EQ(part, before);
        }
    }
    EXPECT_EQ(decodeClientFrame(nullptr, 10).kind, ClientFrameKind::NeedMore);
}

// Every value of the first two bytes with nothing after them: a frame that
// cannot be accepted is refused at once (no FIN, no MASK, length 126 or 127,
// opcode other than 8, 9, 10), any other start waits, whatever its RSV bits.
TEST(WebSocketClientFrame, FirstTwoBytesDecideRefusal) {
    for (int b0 = 0; b0 < 256; ++b0) {
        for (int b1 = 0; b1 < 256; ++b1) {
            Bytes start{static_cast<std::uint8_t>(b0), static_cast<std::uint8_t>(b1)};
            const int opcode = b0 & 0x0F;
            const bool acceptable = (b0 & 0x80) != 0 && (b1 & 0x80) != 0 &&
                                    (b1 & 0x7F) <= 125 && opcode >= 8 && opcode <= 10;
            const ClientFrame f = decode(start);
            ASSERT_EQ(f.kind, acceptable ? ClientFrameKind::NeedMore : ClientFrameKind::Refuse)
                << b0 << " " << b1;
            ASSERT_EQ(f.consumed, 0u);
        }
    }
}

}  // namespace
}  // namespace relay
