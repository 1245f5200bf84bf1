#include "server/http.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace relay {
namespace {

constexpr std::string_view kKey = "0123456789abcdef0123456789abcdef";

std::string get(std::string_view target, std::string_view headers = "Host: 10.0.0.2:8080\r\n") {
    return "GET " + std::string(target) + " HTTP/1.1\r\n" + std::string(headers) + "\r\n";
}

// A complete GET of "/" padded with one long header to exactly `size` bytes.
std::string getOfSize(std::size_t size) {
    const std::string shell = get("/", "X-Pad: \r\n");
    return get("/", "X-Pad: " + std::string(size - shell.size(), 'a') + "\r\n");
}

TEST(HttpRequestHead, EveryTruncationIsIncompleteAndBadRequest) {
    const std::string request = get("/");
    for (std::size_t n = 0; n < request.size(); ++n) {
        const std::string_view part(request.data(), n);
        EXPECT_FALSE(headComplete(part)) << n;
        EXPECT_FALSE(headReadDone(part)) << n;
        EXPECT_EQ(routeRequest(part, kKey), Route::BadRequest) << n;
    }
    EXPECT_TRUE(headComplete(request));
    EXPECT_TRUE(headReadDone(request));
    EXPECT_EQ(routeRequest(request, kKey), Route::Page);
}

TEST(HttpRequestHead, CorruptMethodOrTerminatorIsBadRequest) {
    const std::string request = get("/");
    for (std::size_t i : {0u, 1u, 2u, 3u}) {  // the method and the blank after it
        std::string bad = request;
        bad[i] = 'x';
        EXPECT_EQ(routeRequest(bad, kKey), Route::BadRequest) << i;
    }
    for (std::size_t i = request.size() - 4; i < request.size(); ++i) {
        std::string bad = request;
        bad[i] = 'x';
        EXPECT_EQ(routeRequest(bad, kKey), Route::BadRequest) << i;
    }
}

TEST(HttpRequestHead, OnlyAnExactGetIsRouted) {
    for (std::string_view method : {"POST", "get", "GEt", "GETX", "HEAD"}) {
        const std::string request = std::string(method) + " / HTTP/1.1\r\n\r\n";
        EXPECT_EQ(routeRequest(request, kKey), Route::BadRequest) << method;
    }
    EXPECT_EQ(routeRequest("", kKey), Route::BadRequest);
    EXPECT_EQ(routeRequest(" \r\n\r\n", kKey), Route::BadRequest);
    EXPECT_EQ(routeRequest("\r\n \tGET\t/\vHTTP/1.1\r\n\r\n", kKey), Route::Page);
}

TEST(HttpRequestHead, SizeLimitRefusesEvenCompleteHeads) {
    EXPECT_EQ(getOfSize(kMaxRequestBytes - 1).size(), kMaxRequestBytes - 1);
    EXPECT_EQ(routeRequest(getOfSize(kMaxRequestBytes - 1), kKey), Route::Page);
    EXPECT_EQ(routeRequest(getOfSize(kMaxRequestBytes), kKey), Route::BadRequest);
    EXPECT_EQ(routeRequest(getOfSize(kMaxRequestBytes + kRequestChunkBytes - 1), kKey),
              Route::BadRequest);
    EXPECT_FALSE(headReadDone(std::string(kMaxRequestBytes - 1, 'a')));
    EXPECT_TRUE(headReadDone(std::string(kMaxRequestBytes, 'a')));
}

TEST(HttpRequestHead, TokensAreSplitAtAnyWhitespaceRun) {
    RequestLine line = splitRequestLine(" \t\r\nGET\f\v/x?y HTTP/1.1\r\n");
    EXPECT_EQ(line.method, "GET");
    EXPECT_EQ(line.target, "/x?y");
    line = splitRequestLine("GET");
    EXPECT_EQ(line.method, "GET");
    EXPECT_EQ(line.target, "");
    line = splitRequestLine(" \r\n");
    EXPECT_EQ(line.method, "");
    EXPECT_EQ(line.target, "");
    EXPECT_EQ(routeRequest("GET\r\n\r\n", kKey), Route::NotFound);  // empty target
}

TEST(HttpRouting, RouteTableInOrder) {
    const std::string key(kKey);
    std::string upper = key;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::vector<std::pair<std::string, Route>> table = {
        // target, expected route
        {"/ws?key=" + key, Route::Upgrade},
        {"/ws", Route::Forbidden},
        {"/ws?key=", Route::Forbidden},
        {"/ws?key=" + key + "&x", Route::Forbidden},
        {"/ws?key=" + upper, Route::Forbidden},
        {"/wsx", Route::Forbidden},
        {"/status?key=" + key, Route::Status},
        {"/status", Route::Forbidden},
        {"/status?key=", Route::Forbidden},
        {"/status?key=" + key.substr(1) + "0", Route::Forbidden},
        {"/status?key=" + upper, Route::Forbidden},
        {"/status?key=1" + key.substr(1), Route::Forbidden},
        {"/status?key=" + key.substr(0, 31) + "e", Route::Forbidden},
        {"/ws?key=1" + key.substr(1), Route::Forbidden},
        {"/ws?key=" + key.substr(0, 31) + "e", Route::Forbidden},
        {"/ws?key=" + key.substr(0, 31), Route::Forbidden},
        {"/status/x", Route::Forbidden},
        {"/", Route::Page},
        {"/?", Route::Page},
        {"/?anything", Route::Page},
        {"/?key=" + key, Route::Page},
        {"/app.js", Route::AppScript},
        {"/app.js?x", Route::NotFound},
        {"/player-worklet.js", Route::Worklet},
        {"/player-worklet.js?v=2", Route::NotFound},
        {"/index.html", Route::NotFound},
        {"/w", Route::NotFound},
        {"/stat", Route::NotFound},
        {"/WS", Route::NotFound},
        {"//", Route::NotFound},
    };
    for (const auto& [target, route] : table) {
        EXPECT_EQ(routeRequest(get(target), kKey), route) << target;
    }
}

TEST(HttpKeyCompare, EqualOnlyForTheSameBytes) {
    const std::string key(kKey);
    std::string first = key, last = key;
    first.front() = 'x';
    last.back() = 'x';
    const struct { std::string a, b; bool equal; } table[] = {
        // a, b, equal
        {key, key, true},
        {first, key, false},  // differs at the first byte
        {last, key, false},   // differs at the last byte
        {key, first, false},
        {key, last, false},
        {key.substr(0, 31), key, false},
        {key + "0", key, false},
        {"", key, false},
        {"", "", true},
        {std::string("a\0b", 3), std::string("a\0c", 3), false},
        {std::string("\xFF", 1), std::string("\x7F", 1), false},
    };
    for (const auto& row : table) EXPECT_EQ(constantTimeEqual(row.a, row.b), row.equal) << row.a << " / " << row.b;
}

TEST(HttpRouting, HeadersDoNotChangeTheRoute) {
    const std::string upgrade = "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n";
    EXPECT_EQ(routeRequest(get("/ws", upgrade), kKey), Route::Forbidden);
    EXPECT_EQ(routeRequest(get("/ws?key=" + std::string(kKey), ""), kKey), Route::Upgrade);
}

TEST(HttpFindHeader, NamesMatchInAnyCaseButUntrimmed) {
    for (std::string_view line : {"Host: h\r\n", "HOST: h\r\n", "hOsT: h\r\n"}) {
        EXPECT_EQ(findHeader(get("/", line), "host"), "h") << line;
    }
    EXPECT_EQ(findHeader(get("/", "Host : h\r\n"), "host"), "");
    EXPECT_EQ(findHeader(get("/", " Host: h\r\n"), "host"), "");
    EXPECT_EQ(findHeader(get("/", "Hostname: h\r\n"), "host"), "");
    EXPECT_EQ(findHeader(get("/", "Host h\r\n"), "host"), "");
}

TEST(HttpFindHeader, ValuesAreTrimmedAndKeepInnerColons) {
    const std::vector<std::pair<std::string, std::string>> table = {
        // header line, value
        {"Host: 192.168.1.5:8080\r\n", "192.168.1.5:8080"},
        {"Host:\t  a b\t \r\n", "a b"},
        {"Host:x\r\n", "x"},
        {"Host:   \r\n", ""},
        {"Host: \t\r\n", ""},
        {"Host:\r\n", ""},
        {"Host: a\r\r\n", "a"},
    };
    for (const auto& [line, value] : table) {
        EXPECT_EQ(findHeader(get("/", line), "host"), value) << line;
    }
    EXPECT_EQ(findHeader("GET /\r\nHost:  \t", "host"), "");  // no CR, no LF
}

TEST(HttpFindHeader, LineRulesAndFirstMatch) {
    EXPECT_EQ(findHeader(get("/", "Host: one\r\nHost: two\r\n"), "host"), "one");
    EXPECT_EQ(findHeader(get("/", "Host: \r\nHost: two\r\n"), "host"), "");
    EXPECT_EQ(findHeader("Host: line\r\nX: y\r\n\r\n", "host"), "");  // request line skipped
    EXPECT_EQ(findHeader("Host: only-line", "host"), "");
    EXPECT_EQ(findHeader("", "host"), "");
    EXPECT_EQ(findHeader("GET /\nHost: lf\n\n", "host"), "lf");
    EXPECT_EQ(findHeader("GET /\r\n\r\nHost: body", "host"), "body");  // scan passes the head
}

TEST(HttpResponseHead, ExactBytes) {
    const std::string tail =
        "Connection: close\r\n"
        "Cache-Control: no-store\r\n"
        "Referrer-Policy: no-referrer\r\n"
        "X-Content-Type-Options: nosniff\r\n"
        "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self' "
        "'unsafe-inline'; img-src 'self' data:; connect-src 'self'; media-src 'self' blob:; "
        "object-src 'none'; base-uri 'none'; frame-ancestors 'none'\r\n"
        "\r\n";
    EXPECT_EQ(buildResponseHead("404 Not Found", "text/plain", 9),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n" + tail);
    EXPECT_EQ(buildResponseHead(kStatusOk, kTypeJson, 0),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 0\r\n" + tail);
    EXPECT_EQ(buildResponseHead(kStatusOk, kTypeHtml, 10240),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
              "Content-Length: 10240\r\n" + tail);
    const std::string largest = buildResponseHead(kStatusOk, kTypeText, SIZE_MAX);
    EXPECT_NE(largest.find(": " + std::to_string(SIZE_MAX) + "\r\n"), std::string::npos);
}

TEST(HttpResponseHead, FixedRepliesOnTheWire) {
    const std::vector<std::pair<FixedReply, std::string>> table = {
        // reply, status line and body as a peer reads them
        {kReplyBadRequest, "HTTP/1.1 400 Bad Request|Invalid request"},
        {kReplyBadUpgrade, "HTTP/1.1 400 Bad Request|Invalid upgrade"},
        {kReplyForbidden, "HTTP/1.1 403 Forbidden|Eklentideki baglantiyi kullanarak eslestirin."},
        {kReplyNotFound, "HTTP/1.1 404 Not Found|Not found"},
        {kReplyListenerLimit, "HTTP/1.1 503 Service Unavailable|Dinleyici sinirina ulasildi."},
    };
    for (const auto& [reply, expected] : table) {
        const std::string head =
            buildResponseHead(reply.statusText, reply.contentType, reply.body.size());
        const std::string wire = head + std::string(reply.body);
        EXPECT_EQ(head.substr(0, head.find("\r\n")) + "|" + std::string(reply.body), expected);
        EXPECT_NE(wire.find("\r\nContent-Type: text/plain\r\nContent-Length: " +
                            std::to_string(reply.body.size()) + "\r\n"),
                  std::string::npos);
    }
}

TEST(HttpText, LowerCasingIsAsciiOnly) {
    EXPECT_EQ(toLowerAscii("AZaz09@[`{-\xC3\x9C"), "azaz09@[`{-\xC3\x9C");
}

}  // namespace
}  // namespace relay
