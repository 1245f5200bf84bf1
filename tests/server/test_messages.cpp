#include "server/messages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "server/stream_server.h"

namespace relay {
namespace {

// The values a freshly constructed stream state reports.
StatusValues fresh() {
    StatusValues v;
    v.sampleRate = kDefaultSampleRate;
    v.supportedRate = isStreamableRate(kDefaultSampleRate);
    return v;
}

TEST(StatusMessage, FreshStateIsExact) {
    const std::string json = formatStatusJson(fresh());
    EXPECT_EQ(json,
              R"({"type":"status","enabled":false,"active":false,"listeners":0,"sampleRate":48000,)"
              R"("drops":0,"supportedRate":true,"preview":false})");
    EXPECT_EQ(json.size(), 128u);
}

TEST(StatusMessage, EveryMemberInItsPlace) {
    StatusValues v;
    v.enabled = true;
    v.active = true;
    v.listeners = 8;
    v.sampleRate = 44100;
    v.drops = 12;
    v.supportedRate = false;
    v.preview = true;
    EXPECT_EQ(formatStatusJson(v),
              R"({"type":"status","enabled":true,"active":true,"listeners":8,"sampleRate":44100,)"
              R"("drops":12,"supportedRate":false,"preview":true})");
}

TEST(StatusMessage, EnabledNeedsBroadcastWithoutDisabled) {
    const struct { bool broadcast, disabled, enabled; } table[] = {
        // broadcast, disabled, enabled
        {false, false, false}, {false, true, false}, {true, true, false}, {true, false, true},
    };
    for (const auto& row : table) {
        const std::atomic<bool> broadcast{row.broadcast};
        const std::atomic<bool> disabled{row.disabled};
        StatusValues v = fresh();
        v.enabled = streamingEnabled(broadcast, disabled);
        const std::string expected = row.enabled ? "\"enabled\":true," : "\"enabled\":false,";
        EXPECT_NE(formatStatusJson(v).find(expected), std::string::npos)
            << row.broadcast << row.disabled;
    }
}

TEST(StatusMessage, SupportedRateBoundaries) {
    const struct { std::uint32_t rate; bool supported; } table[] = {
        // rate in Hz, supportedRate
        {7999, false}, {8000, true}, {192000, true}, {192001, false}, {0, false},
    };
    for (const auto& row : table) {
        StatusValues v = fresh();
        v.sampleRate = row.rate;
        v.supportedRate = isStreamableRate(row.rate);
        const std::string json = formatStatusJson(v);
        EXPECT_NE(json.find("\"sampleRate\":" + std::to_string(row.rate) + ","), std::string::npos);
        EXPECT_NE(json.find(row.supported ? "\"supportedRate\":true" : "\"supportedRate\":false"),
                  std::string::npos)
            << row.rate;
    }
}

TEST(StatusMessage, NumbersUseTheirWholeRange) {
    StatusValues v = fresh();
    v.drops = 4294967296u;
    EXPECT_NE(formatStatusJson(v).find("\"drops\":4294967296,"), std::string::npos);
    v.listeners = UINT32_MAX;
    v.sampleRate = UINT32_MAX;
    v.drops = UINT64_MAX;
    v.supportedRate = false;
    EXPECT_EQ(formatStatusJson(v),
              R"({"type":"status","enabled":false,"active":false,"listeners":4294967295,)"
              R"("sampleRate":4294967295,"drops":18446744073709551615,"supportedRate":false,)"
              R"("preview":false})");
    EXPECT_EQ(formatStatusJson(v).size(), 162u);
}

TEST(StatusMessage, ShortestRealisticMessageFitsSevenBitLength) {
    StatusValues v = fresh();
    v.enabled = true;
    v.active = true;
    v.listeners = 1;
    v.sampleRate = 8000;
    EXPECT_EQ(formatStatusJson(v).size(), 125u);
}

TEST(ConfigMessage, ExactBytesAndLengths) {
    EXPECT_EQ(buildConfigJson(48000),
              R"({"type":"config","sampleRate":48000,"channels":2,"format":"float32"})");
    EXPECT_EQ(buildConfigJson(48000).size(), 68u);
    EXPECT_EQ(buildConfigJson(8000).size(), 67u);
    EXPECT_EQ(buildConfigJson(192000).size(), 69u);
    EXPECT_EQ(buildConfigJson(44100),
              R"({"type":"config","sampleRate":44100,"channels":2,"format":"float32"})");
    EXPECT_EQ(buildConfigJson(0),
              R"({"type":"config","sampleRate":0,"channels":2,"format":"float32"})");
}

}  // namespace
}  // namespace relay
