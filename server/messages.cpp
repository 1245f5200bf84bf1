#include "server/messages.h"

#include <string_view>

#include "server/http.h"
#include "server/stream_server.h"

namespace relay {
namespace {

// Each piece ends with the colon its value follows.
constexpr std::string_view kStatusOpen = "{\"type\":\"status\",\"enabled\":";
constexpr std::string_view kStatusActive = ",\"active\":";
constexpr std::string_view kStatusListeners = ",\"listeners\":";
constexpr std::string_view kStatusSampleRate = ",\"sampleRate\":";
constexpr std::string_view kStatusDrops = ",\"drops\":";
constexpr std::string_view kStatusSupportedRate = ",\"supportedRate\":";
constexpr std::string_view kStatusPreview = ",\"preview\":";
constexpr std::string_view kJsonClose = "}";

constexpr std::string_view kConfigOpen = "{\"type\":\"config\",\"sampleRate\":";
constexpr std::string_view kConfigTail = ",\"channels\":2,\"format\":\"float32\"}";

constexpr std::string_view kJsonTrue = "true";
constexpr std::string_view kJsonFalse = "false";

constexpr std::size_t kMaxU32Digits = 10;

// The longest texts, so that building each takes a single allocation.
constexpr std::size_t kMaxStatusBytes =
    kStatusOpen.size() + kStatusActive.size() + kStatusListeners.size() + kStatusSampleRate.size() +
    kStatusDrops.size() + kStatusSupportedRate.size() + kStatusPreview.size() + kJsonClose.size() +
    2 * kMaxU32Digits + kMaxDecimalDigits + 4 * kJsonFalse.size();
static_assert(kMaxStatusBytes == 162);
constexpr std::size_t kMaxConfigBytes = kConfigOpen.size() + kMaxU32Digits + kConfigTail.size();

std::string_view jsonBool(bool value) { return value ? kJsonTrue : kJsonFalse; }

}  // namespace

bool streamingEnabled(const std::atomic<bool>& broadcast, const std::atomic<bool>& disabled) {
    return broadcast.load() && !disabled.load();
}

std::string formatStatusJson(const StatusValues& values) {
    std::string json;
    json.reserve(kMaxStatusBytes);
    json.append(kStatusOpen).append(jsonBool(values.enabled));
    json.append(kStatusActive).append(jsonBool(values.active));
    json.append(kStatusListeners);
    appendDecimal(json, values.listeners);
    json.append(kStatusSampleRate);
    appendDecimal(json, values.sampleRate);
    json.append(kStatusDrops);
    appendDecimal(json, values.drops);
    json.append(kStatusSupportedRate).append(jsonBool(values.supportedRate));
    json.append(kStatusPreview).append(jsonBool(values.preview));
    json.append(kJsonClose);
    return json;
}

std::string buildConfigJson(std::uint32_t sampleRate) {
    std::string json;
    json.reserve(kMaxConfigBytes);
    json.append(kConfigOpen);
    appendDecimal(json, sampleRate);
    json.append(kConfigTail);
    return json;
}

/* The status message for the stream state as it is now. Each field is its
   own seq-cst load, so one message is not a consistent snapshot; the next
   broadcast is current again. Server thread. */
std::string StreamServer::buildStatusJson() const {
    StatusValues values;
    values.preview = preview;
    values.sampleRate = sampleRate.load();
    values.drops = drops.load();
    values.listeners = listeners.load();
    values.active = active.load();
    values.enabled = streamingEnabled(broadcast, disabled);
    values.supportedRate = isStreamableRate(values.sampleRate);
    return formatStatusJson(values);
}

}  // namespace relay
