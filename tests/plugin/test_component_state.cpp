// The component state: the 24-byte record the host saves and restores, and
// the rule that a record is applied whole or not at all.
#include "plugin/plugin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <ostream>
#include <random>
#include <vector>

#include "plugin/parameters.h"
#include "public.sdk/source/common/memorystream.h"
#include "tools/testhost/host_objects.h"
#include "support/plugin_support.h"

namespace relay {
namespace {

using namespace relay::test;

using namespace Steinberg;
using namespace Steinberg::Vst;

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kRecordSize = 24;

// The record belongs to the component face; the controller's pair is another.
IComponent& component(Plugin& p) { return p; }

PluginPtr makePlugin() {
    PluginPtr p(new Plugin());
    EXPECT_EQ(p->initialize(testhost::hostContext()), kResultOk);
    p->stream.stop();  // values only; no server needed
    return p;
}

// Everything a restore may change: the stream state and the controller.
struct Values {
    bool broadcast, mono, disabled;
    float levelDb;
    double controller[4];  // ids 100..103
    bool operator==(const Values& o) const {
        return broadcast == o.broadcast && mono == o.mono && disabled == o.disabled &&
               std::memcmp(&levelDb, &o.levelDb, sizeof levelDb) == 0 &&
               std::memcmp(controller, o.controller, sizeof controller) == 0;
    }
};

std::ostream& operator<<(std::ostream& os, const Values& v) {
    return os << "{stream " << v.broadcast << v.mono << v.disabled << " " << v.levelDb << " dB; controller "
              << v.controller[0] << " " << v.controller[1] << " " << v.controller[2] << " " << v.controller[3] << "}";
}

Values values(Plugin& p) {
    Values v{p.stream.broadcast.load(), p.stream.monoSend.load(), p.stream.disabled.load(),
             p.stream.sendLevelDb.load(), {}};
    for (int i = 0; i < 4; ++i) v.controller[i] = p.getParamNormalized(kParamBroadcast + static_cast<ParamID>(i));
    return v;
}

// A baseline away from the defaults and from the records below.
void setBaseline(Plugin& p) {
    p.setParamNormalized(kParamBroadcast, 0.0);
    p.setParamNormalized(kParamSendLevel, 0.5);
    p.setParamNormalized(kParamMonoSend, 1.0);
    p.setParamNormalized(kParamDisabled, 1.0);
}

// The record's bytes, little-endian.
Bytes record(std::int32_t version, double level, std::int32_t mono, std::int32_t streaming, std::int32_t bypass) {
    Bytes b(kRecordSize);
    auto put = [&](std::size_t at, const void* v, std::size_t n) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, v, n);
        for (std::size_t i = 0; i < n; ++i) b[at + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    };
    put(0, &version, 4);
    put(4, &level, 8);
    put(12, &mono, 4);
    put(16, &streaming, 4);
    put(20, &bypass, 4);
    return b;
}

Bytes truncated(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}

Bytes saved(Plugin& p, tresult expected = kResultOk) {
    MemoryStream stream;
    EXPECT_EQ(component(p).getState(&stream), expected);
    const char* data = stream.getData();
    return data ? Bytes(data, data + stream.getSize()) : Bytes{};
}

double levelField(const Bytes& b) {
    double v;
    std::memcpy(&v, b.data() + 4, sizeof v);
    return v;
}

tresult restore(Plugin& p, Bytes bytes) {
    MemoryStream stream(bytes.data(), static_cast<TSize>(bytes.size()));
    return component(p).setState(&stream);
}

// ---------------------------------------------------------------------------
// getState

TEST(GetState, DefaultRecordIsExact) {
    PluginPtr p = makePlugin();
    const Bytes expected = {0x01, 0x00, 0x00, 0x00, 0x17, 0x5D, 0x74, 0xD1, 0x45, 0x17, 0xED, 0x3F,
                            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(saved(*p), expected);
}

TEST(GetState, SendLevelIsWrittenNormalized) {
    PluginPtr p = makePlugin();
    const struct { double normalized; double written; } table[] = {
        {0.0, 0.0},                            // -60 dB
        {1.0, 1.0},                            // +6 dB
        {54.0 / 66.0, 0.8181818181818182},     // -6 dB
        {0.3, 0.29999998844031134},            // -40.2 dB, held as a float
    };
    for (const auto& row : table) {
        p->setParamNormalized(kParamSendLevel, row.normalized);
        const Bytes b = saved(*p);
        ASSERT_EQ(b.size(), kRecordSize);
        EXPECT_EQ(levelField(b), row.written) << row.normalized;
    }
}

TEST(GetState, SwitchesEachHaveTheirField) {
    PluginPtr p = makePlugin();
    p->setParamNormalized(kParamMonoSend, 1.0);
    EXPECT_EQ(saved(*p), record(1, 60.0 / 66.0, 1, 0, 0));
    p->setParamNormalized(kParamMonoSend, 0.0);
    p->setParamNormalized(kParamBroadcast, 1.0);
    EXPECT_EQ(saved(*p), record(1, 60.0 / 66.0, 0, 1, 0));
    p->setParamNormalized(kParamBroadcast, 0.0);
    p->setParamNormalized(kParamDisabled, 1.0);
    EXPECT_EQ(saved(*p), record(1, 60.0 / 66.0, 0, 0, 1));
}

TEST(GetState, WritesTheStreamStateNotTheController) {
    // Automation from process() reaches only the stream state; that is what
    // the host must get back.
    PluginPtr p = makePlugin();
    p->applyParameter(kParamBroadcast, 1.0);
    p->applyParameter(kParamSendLevel, 0.0);
    EXPECT_EQ(saved(*p), record(1, 0.0, 0, 1, 0));
}

TEST(GetState, NullStreamIsRefused) {
    PluginPtr p = makePlugin();
    EXPECT_EQ(component(*p).getState(nullptr), kInvalidArgument);
    EXPECT_EQ(component(*p).setState(nullptr), kInvalidArgument);
}

// A state stream that takes `room` bytes, then refuses every write.
class ShortStream : public IBStream {
public:
    explicit ShortStream(int32 room) : room_(room) {}
    Bytes written;
    tresult PLUGIN_API read(void*, int32, int32* n) override {
        if (n) *n = 0;
        return kResultFalse;
    }
    tresult PLUGIN_API write(void* buffer, int32 numBytes, int32* n) override {
        const int32 take = std::min(numBytes, room_ - static_cast<int32>(written.size()));
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        written.insert(written.end(), bytes, bytes + take);
        if (n) *n = take;
        return take == numBytes ? kResultOk : kResultFalse;
    }
    tresult PLUGIN_API seek(int64, int32, int64*) override { return kResultFalse; }
    tresult PLUGIN_API tell(int64*) override { return kResultFalse; }
    tresult PLUGIN_API queryInterface(const TUID, void**) override { return kNoInterface; }
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }

private:
    int32 room_;
};

TEST(GetState, AFailingWriteIsReported) {
    PluginPtr p = makePlugin();
    const Bytes full = saved(*p);
    for (int32 room = 0; room < static_cast<int32>(kRecordSize); ++room) {
        ShortStream stream(room);
        EXPECT_EQ(component(*p).getState(&stream), kResultFalse) << room;
        EXPECT_EQ(stream.written, Bytes(full.begin(), full.begin() + room)) << room;
    }
    ShortStream stream(static_cast<int32>(kRecordSize));
    EXPECT_EQ(component(*p).getState(&stream), kResultOk);
}

// ---------------------------------------------------------------------------
// setState

TEST(SetState, AppliesToStreamAndController) {
    PluginPtr p = makePlugin();
    ASSERT_EQ(restore(*p, record(1, 0.3, 1, 1, 0)), kResultOk);
    const Values v = values(*p);
    EXPECT_TRUE(v.mono);
    EXPECT_TRUE(v.broadcast);
    EXPECT_FALSE(v.disabled);
    EXPECT_EQ(v.levelDb, -40.2f);
    EXPECT_EQ(v.controller[0], 1.0);
    EXPECT_EQ(v.controller[1], 0.3);
    EXPECT_EQ(v.controller[2], 1.0);
    EXPECT_EQ(v.controller[3], 0.0);

    ASSERT_EQ(restore(*p, record(1, 60.0 / 66.0, 0, 0, 1)), kResultOk);
    EXPECT_EQ(values(*p), (Values{false, false, true, 0.0f, {0.0, 60.0 / 66.0, 0.0, 1.0}}));
}

TEST(SetState, SavedRecordRestoresIntoAFreshInstance) {
    PluginPtr a = makePlugin();
    setBaseline(*a);
    PluginPtr b = makePlugin();
    ASSERT_EQ(restore(*b, saved(*a)), kResultOk);
    EXPECT_EQ(values(*b), values(*a));
    EXPECT_EQ(saved(*b), saved(*a));
}

TEST(SetState, RefusedRecordsApplyNothing) {
    const struct { const char* what; Bytes bytes; } table[] = {
        {"version 2", record(2, 0.0, 1, 1, 1)},
        {"version 0", record(0, 0.0, 1, 1, 1)},
        {"version -1", record(-1, 0.0, 1, 1, 1)},
        {"23 bytes", truncated(record(1, 0.0, 0, 1, 0), 23)},
        {"NaN level", record(1, std::numeric_limits<double>::quiet_NaN(), 0, 1, 0)},
        {"+inf level", record(1, std::numeric_limits<double>::infinity(), 0, 1, 0)},
        {"-inf level", record(1, -std::numeric_limits<double>::infinity(), 0, 1, 0)},
        {"empty", Bytes{}},
    };
    for (const auto& row : table) {
        PluginPtr p = makePlugin();
        setBaseline(*p);
        const Values before = values(*p);
        EXPECT_EQ(restore(*p, row.bytes), kResultFalse) << row.what;
        EXPECT_EQ(values(*p), before) << row.what;
    }
}

TEST(SetState, TrailingBytesAreIgnored) {
    PluginPtr p = makePlugin();
    Bytes bytes = record(1, 0.0, 0, 1, 0);
    bytes.insert(bytes.end(), {0xFF, 0xFF, 0xFF, 0x7F, 0x02, 0x00, 0x00, 0x00});
    MemoryStream stream(bytes.data(), static_cast<TSize>(bytes.size()));
    ASSERT_EQ(component(*p).setState(&stream), kResultOk);
    EXPECT_EQ(values(*p), (Values{true, false, false, -60.0f, {1.0, 0.0, 0.0, 0.0}}));
    int64 position = -1;
    stream.tell(&position);
    EXPECT_EQ(position, 24);  // left after the record for whoever reads on
}

TEST(SetState, AnyNonZeroSwitchIsOn) {
    PluginPtr p = makePlugin();
    for (std::int32_t on : {1, 7, -1, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000000u), 256}) {
        ASSERT_EQ(restore(*p, record(1, 0.5, on, on, on)), kResultOk) << on;
        const Values v = values(*p);
        EXPECT_TRUE(v.mono && v.broadcast && v.disabled) << on;
        EXPECT_EQ(v.controller[0], 1.0) << on;
        EXPECT_EQ(v.controller[2], 1.0) << on;
        EXPECT_EQ(v.controller[3], 1.0) << on;
        ASSERT_EQ(restore(*p, record(1, 0.5, 0, 0, 0)), kResultOk);
        EXPECT_EQ(values(*p), (Values{false, false, false, -27.0f, {0.0, 0.5, 0.0, 0.0}}));
    }
}

TEST(SetState, LevelOutOfRangeIsClamped) {
    PluginPtr p = makePlugin();
    const struct { double stored; float db; double controller; } table[] = {
        {1.5, 6.0f, 1.0}, {-0.2, -60.0f, 0.0}, {1e308, 6.0f, 1.0}, {-1e308, -60.0f, 0.0},
        {std::numeric_limits<double>::denorm_min(), -60.0f, std::numeric_limits<double>::denorm_min()},
    };
    for (const auto& row : table) {
        ASSERT_EQ(restore(*p, record(1, row.stored, 0, 0, 0)), kResultOk) << row.stored;
        EXPECT_EQ(p->stream.sendLevelDb.load(), row.db) << row.stored;
        EXPECT_EQ(p->getParamNormalized(kParamSendLevel), row.controller) << row.stored;
    }
}

// ---------------------------------------------------------------------------
// Hostile input

TEST(SetStateFuzz, EveryTruncationLeavesEverythingUntouched) {
    PluginPtr p = makePlugin();
    setBaseline(*p);
    const Values before = values(*p);
    const Bytes full = record(1, 0.125, 0, 1, 0);
    for (std::size_t n = 0; n < kRecordSize; ++n) {
        EXPECT_EQ(restore(*p, truncated(full, n)), kResultFalse) << n;
        EXPECT_EQ(values(*p), before) << n;
    }
    ASSERT_EQ(restore(*p, full), kResultOk);
    EXPECT_EQ(values(*p), (Values{true, false, false, static_cast<float>(0.125 * 66.0 - 60.0),
                                  {1.0, 0.125, 0.0, 0.0}}));
}

TEST(SetStateFuzz, RandomStreamsApplyAllOrNothing) {
    PluginPtr p = makePlugin();
    std::mt19937 gen(20240613);
    std::uniform_int_distribution<int> length(0, 40);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> coin(0, 3);
    int applied = 0;
    for (int round = 0; round < 4000; ++round) {
        Bytes bytes(static_cast<std::size_t>(length(gen)));
        for (auto& b : bytes) b = static_cast<std::uint8_t>(byte(gen));
        // Most random headers are wrong; make a share plausible so that the
        // applying path is exercised too.
        if (coin(gen) != 0 && bytes.size() >= 4) {
            std::fill_n(bytes.begin(), 4, 0);
            bytes[0] = 1;
        }
        if (coin(gen) == 0 && bytes.size() >= 12) {
            const double level = std::uniform_real_distribution<double>(-0.5, 1.5)(gen);
            std::memcpy(bytes.data() + 4, &level, sizeof level);
        }

        setBaseline(*p);
        const Values before = values(*p);
        const tresult result = restore(*p, bytes);

        // What a correct reader makes of these bytes.
        std::int32_t version = 0, fields[3] = {};
        double level = 0.0;
        bool valid = bytes.size() >= kRecordSize;
        if (valid) {
            std::memcpy(&version, bytes.data(), 4);
            std::memcpy(&level, bytes.data() + 4, 8);
            std::memcpy(fields, bytes.data() + 12, 12);
            valid = version == 1 && std::isfinite(level);
        }
        if (!valid) {
            ASSERT_EQ(result, kResultFalse) << "round " << round;
            ASSERT_EQ(values(*p), before) << "round " << round;
            continue;
        }
        ++applied;
        ASSERT_EQ(result, kResultOk) << "round " << round;
        const double clamped = std::clamp(level, 0.0, 1.0);
        const Values expected{fields[1] != 0, fields[0] != 0, fields[2] != 0,
                              static_cast<float>(clamped * 66.0 - 60.0),
                              {fields[1] != 0 ? 1.0 : 0.0, clamped, fields[0] != 0 ? 1.0 : 0.0,
                               fields[2] != 0 ? 1.0 : 0.0}};
        ASSERT_EQ(values(*p), expected) << "round " << round;
    }
    EXPECT_GT(applied, 200);  // the applying path was really taken
}

}  // namespace
}  // namespace relay
