#include "server/http.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace relay {
namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kTokenSpace = " \t\n\v\f\r";
constexpr std::string_view kValueLeadingBlanks = " \t";
constexpr std::string_view kValueTrailingBlanks = " \t\r\n";
constexpr std::string_view kMethodGet = "GET";
constexpr std::string_view kHttpVersionPrefix = "HTTP/1.1 ";
constexpr std::string_view kContentTypePrefix = "\r\nContent-Type: ";
constexpr std::string_view kContentLengthPrefix = "\r\nContent-Length: ";

constexpr std::string_view kListenerPrefix = "/ws";
constexpr std::string_view kListenerKeyedPrefix = "/ws?key=";
constexpr std::string_view kStatusPrefix = "/status";
constexpr std::string_view kStatusKeyedPrefix = "/status?key=";
constexpr std::string_view kPageTarget = "/";
constexpr std::string_view kPageQueryPrefix = "/?";
constexpr std::string_view kAppScriptTarget = "/app.js";
constexpr std::string_view kWorkletTarget = "/player-worklet.js";

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Compares without building the lower-cased name: the scan may cover a whole
// 10 kB buffer per lookup.
bool nameMatches(std::string_view name, std::string_view lowerName) {
    if (name.size() != lowerName.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (lowerAscii(name[i]) != lowerName[i]) return false;
    }
    return true;
}

std::string_view trimValue(std::string_view value) {
    const std::size_t first = value.find_first_not_of(kValueLeadingBlanks);
    if (first == std::string_view::npos) return {};
    value.remove_prefix(first);
    const std::size_t last = value.find_last_not_of(kValueTrailingBlanks);
    if (last == std::string_view::npos) return {};
    return value.substr(0, last + 1);
}

// The value of `line` when its name is `lowerName`; nothing when the line has
// no colon or another name.
bool headerValue(std::string_view line, std::string_view lowerName, std::string_view& value) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    if (!nameMatches(line.substr(0, colon), lowerName)) return false;
    value = trimValue(line.substr(colon + 1));
    return true;
}

// Target is exactly prefix + key, compared without building the text; the
// key part in constant time.
bool isKeyedTarget(std::string_view target, std::string_view prefix, std::string_view key) {
    return target.size() == prefix.size() + key.size() && target.starts_with(prefix) &&
           constantTimeEqual(target.substr(prefix.size()), key);
}

Route routeTarget(std::string_view target, std::string_view sessionKey) {
    if (isKeyedTarget(target, kListenerKeyedPrefix, sessionKey)) return Route::Upgrade;
    if (target.starts_with(kListenerPrefix)) return Route::Forbidden;
    const bool statusKeyed = isKeyedTarget(target, kStatusKeyedPrefix, sessionKey);
    if (target.starts_with(kStatusPrefix) && !statusKeyed) return Route::Forbidden;
    if (statusKeyed) return Route::Status;
    if (target == kPageTarget || target.starts_with(kPageQueryPrefix)) return Route::Page;
    if (target == kAppScriptTarget) return Route::AppScript;
    if (target == kWorkletTarget) return Route::Worklet;
    return Route::NotFound;
}

// The next token at or after `pos`; `pos` moves past it.
std::string_view nextToken(std::string_view buffer, std::size_t& pos) {
    const std::size_t start = buffer.find_first_not_of(kTokenSpace, pos);
    if (start == std::string_view::npos) {
        pos = buffer.size();
        return {};
    }
    const std::size_t end = std::min(buffer.find_first_of(kTokenSpace, start), buffer.size());
    pos = end;
    return buffer.substr(start, end - start);
}

}  // namespace

std::string toLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = lowerAscii(c);
    return out;
}

void appendDecimal(std::string& out, std::uint64_t value) {
    std::array<char, kMaxDecimalDigits> digits{};
    // Cannot fail: the buffer holds the largest 64-bit value.
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    out.append(digits.data(), result.ptr);
}

bool constantTimeEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

bool headComplete(std::string_view buffer) {
    return buffer.find(kHeadEnd) != std::string_view::npos;
}

bool headReadDone(std::string_view buffer) {
    return headComplete(buffer) || buffer.size() >= kMaxRequestBytes;
}

RequestLine splitRequestLine(std::string_view buffer) {
    std::size_t pos = 0;
    RequestLine line;
    line.method = nextToken(buffer, pos);
    line.target = nextToken(buffer, pos);
    return line;
}

std::string findHeader(std::string_view request, std::string_view lowerName) {
    std::size_t lineEnd = request.find('\n');
    // Walk the lines after the request line; the last one may lack its LF.
    while (lineEnd != std::string_view::npos) {
        const std::size_t start = lineEnd + 1;
        lineEnd = request.find('\n', start);
        const std::size_t length =
            (lineEnd == std::string_view::npos) ? request.size() - start : lineEnd - start;
        std::string_view value;
        if (headerValue(request.substr(start, length), lowerName, value)) return std::string(value);
    }
    return {};
}

Route routeRequest(std::string_view request, std::string_view sessionKey) {
    // 1. Only a GET whose whole head arrived within the size limit is routed.
    const RequestLine line = splitRequestLine(request);
    if (line.method != kMethodGet) return Route::BadRequest;
    if (request.size() >= kMaxRequestBytes) return Route::BadRequest;
    if (!headComplete(request)) return Route::BadRequest;
    // 2. The target picks the route.
    return routeTarget(line.target, sessionKey);
}

std::string buildResponseHead(std::string_view statusText, std::string_view contentType,
                              std::size_t contentLength) {
    std::string head;
    head.reserve(kHttpVersionPrefix.size() + statusText.size() + kContentTypePrefix.size() +
                 contentType.size() + kContentLengthPrefix.size() + kMaxDecimalDigits +
                 kResponseHeadTail.size());
    head.append(kHttpVersionPrefix).append(statusText);
    head.append(kContentTypePrefix).append(contentType);
    head.append(kContentLengthPrefix);
    appendDecimal(head, contentLength);
    head.append(kResponseHeadTail);
    return head;
}

}  // namespace relay
