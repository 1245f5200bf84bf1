// The HTTP side of the stream server as pure functions over bytes: when a
// request head is complete, how it is tokenised and routed, header lookup,
// the fixed replies and the response head. The socket code only moves bytes
// and calls these; nothing here touches a socket or the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace relay {

inline constexpr std::int64_t kRequestDeadlineNs = 200000000;  // 200 ms to read one head
inline constexpr std::size_t kMaxRequestBytes = 8192;          // this many or more: 400
inline constexpr std::size_t kRequestChunkBytes = 2048;        // bytes asked of each recv

// Status lines, content types and bodies of every reply the server writes.
inline constexpr std::string_view kStatusOk = "200 OK";
inline constexpr std::string_view kStatusBadRequest = "400 Bad Request";
inline constexpr std::string_view kStatusForbidden = "403 Forbidden";
inline constexpr std::string_view kStatusNotFound = "404 Not Found";
inline constexpr std::string_view kStatusUnavailable = "503 Service Unavailable";

inline constexpr std::string_view kTypeText = "text/plain";
inline constexpr std::string_view kTypeJson = "application/json";
inline constexpr std::string_view kTypeHtml = "text/html; charset=utf-8";
inline constexpr std::string_view kTypeJavaScript = "application/javascript; charset=utf-8";

inline constexpr std::string_view kBodyInvalidRequest = "Invalid request";
inline constexpr std::string_view kBodyInvalidUpgrade = "Invalid upgrade";
inline constexpr std::string_view kBodyPairingHint =
    "Eklentideki baglantiyi kullanarak eslestirin.";
inline constexpr std::string_view kBodyNotFound = "Not found";
inline constexpr std::string_view kBodyListenerLimit = "Dinleyici sinirina ulasildi.";

// A reply whose three parts are all fixed.
struct FixedReply {
    std::string_view statusText;
    std::string_view contentType;
    std::string_view body;
};

inline constexpr FixedReply kReplyBadRequest{kStatusBadRequest, kTypeText, kBodyInvalidRequest};
inline constexpr FixedReply kReplyBadUpgrade{kStatusBadRequest, kTypeText, kBodyInvalidUpgrade};
inline constexpr FixedReply kReplyForbidden{kStatusForbidden, kTypeText, kBodyPairingHint};
inline constexpr FixedReply kReplyNotFound{kStatusNotFound, kTypeText, kBodyNotFound};
inline constexpr FixedReply kReplyListenerLimit{kStatusUnavailable, kTypeText, kBodyListenerLimit};

// Everything of the response head after the Content-Length digits: the CR LF
// ending that line, the five fixed headers and the empty line.
inline constexpr std::string_view kResponseHeadTail =
    "\r\n"
    "Connection: close\r\n"
    "Cache-Control: no-store\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: default-src 'self'; script-src 'self'; "
    "style-src 'self' 'unsafe-inline'; img-src 'self' data:; connect-src 'self'; "
    "media-src 'self' blob:; object-src 'none'; base-uri 'none'; frame-ancestors 'none'\r\n"
    "\r\n";
static_assert(kResponseHeadTail.size() == 335);

// Where a request goes. Upgrade hands the connection to the WebSocket
// handshake; Forbidden, NotFound and BadRequest get their fixed reply.
enum class Route { Upgrade, Forbidden, Status, Page, AppScript, Worklet, NotFound, BadRequest };

// The first two tokens of a request, as views into the buffer it came from.
struct RequestLine {
    std::string_view method;
    std::string_view target;
};

/* ASCII-only lower-casing: A-Z become a-z, every other byte (UTF-8 included)
   stays as it is, so no locale can change a comparison. Any thread. */
std::string toLowerAscii(std::string_view text);

inline constexpr std::size_t kMaxDecimalDigits = 20;  // digits of 2^64 - 1

/* Appends `value` in decimal: digits only, no sign, no leading zeros, "0" for
   zero; the full 64-bit range. Any thread. */
void appendDecimal(std::string& out, std::uint64_t value);

/* True when the request buffer holds the CR LF CR LF that ends a head,
   anywhere in it. Server thread, while reading a request. */
bool headComplete(std::string_view buffer);

/* True when reading the head stops on the buffer alone: the head is complete
   or the buffer has reached kMaxRequestBytes. The caller adds the deadline
   and the peer's end of stream. Server thread. */
bool headReadDone(std::string_view buffer);

/* Method and target: the first two runs of non-whitespace in the buffer
   (whitespace = space, tab, LF, VT, FF, CR; leading whitespace skipped).
   Missing tokens are empty views. The version is not looked at. Any thread. */
RequestLine splitRequestLine(std::string_view buffer);

/* The value of the first header line whose name, lower-cased, equals
   `lowerName` (given in lower case); empty when there is none. Lines end at
   LF; the request line is skipped and the whole buffer is scanned, body
   included. The name is not trimmed, so "Host :" never matches "host"; the
   value loses leading spaces and tabs and trailing spaces, tabs, CR and LF,
   and keeps any inner colons. Any thread. */
std::string findHeader(std::string_view request, std::string_view lowerName);

/* True when `a` and `b` are the same bytes. Lengths are compared first;
   equal lengths then cost a pass over every byte with no early exit, so the
   time taken does not tell a guesser where the first difference lies. Used
   for the session key. Any thread. */
bool constantTimeEqual(std::string_view a, std::string_view b);

/* The route for a whole request buffer. Anything but an exact "GET", a buffer
   of kMaxRequestBytes or more, or a head without its empty line is
   BadRequest; otherwise the target picks the route, first match winning:
   "/ws?key=<key>" Upgrade, other "/ws..." Forbidden, "/status..." other than
   "/status?key=<key>" Forbidden, that one Status, "/" or "/?..." Page,
   "/app.js" AppScript, "/player-worklet.js" Worklet, else NotFound. Every
   comparison is byte-exact; the key part with constantTimeEqual.
   `sessionKey` is the 32-character pairing key.
   Server thread. */
Route routeRequest(std::string_view request, std::string_view sessionKey);

/* The response head: status line, Content-Type, Content-Length (decimal
   bytes of the body that follows) and the fixed tail; nothing else. The
   caller sends the body after it and closes. Server thread. */
std::string buildResponseHead(std::string_view statusText, std::string_view contentType,
                              std::size_t contentLength);

}  // namespace relay
