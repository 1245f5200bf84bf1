// The four parameters: how values reach the controller and the stream
// state, from the host, from the editor's edit callback and from the
// parameter queues that come with process().
#include "plugin/plugin.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "plugin/parameters.h"
#include "tools/testhost/host_objects.h"
#include "support/plugin_support.h"

namespace relay {
namespace {

using namespace relay::test;

using namespace Steinberg;
using namespace Steinberg::Vst;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr ParamID kAllIds[] = {kParamBroadcast, kParamSendLevel, kParamMonoSend, kParamDisabled};


// An initialized instance whose server thread is stopped again: these tests
// only look at values, and the ring must not be drained behind their backs.
PluginPtr makePlugin() {
    PluginPtr p(new Plugin());
    EXPECT_EQ(p->initialize(testhost::hostContext()), kResultOk);
    p->stream.stop();
    return p;
}

// What the audio thread and the server see.
struct StreamValues {
    bool broadcast, mono, disabled;
    float levelDb;
    bool operator==(const StreamValues&) const = default;
};

StreamValues streamValues(Plugin& p) {
    return {p.stream.broadcast.load(), p.stream.monoSend.load(), p.stream.disabled.load(),
            p.stream.sendLevelDb.load()};
}

// What the host sees: the controller's normalized values in id order.
std::vector<double> controllerValues(Plugin& p) {
    std::vector<double> v;
    for (ParamID id : kAllIds) v.push_back(p.getParamNormalized(id));
    return v;
}

// Moves every value away from its default so that "unchanged" means something.
void setNonDefaults(Plugin& p) {
    ASSERT_EQ(p.setParamNormalized(kParamBroadcast, 1.0), kResultOk);
    ASSERT_EQ(p.setParamNormalized(kParamSendLevel, 0.5), kResultOk);  // -27 dB
    ASSERT_EQ(p.setParamNormalized(kParamMonoSend, 1.0), kResultOk);
    ASSERT_EQ(p.setParamNormalized(kParamDisabled, 1.0), kResultOk);
}

// ---------------------------------------------------------------------------
// Defaults

TEST(ParameterDefaults, ControllerAndStreamAgree) {
    PluginPtr p = makePlugin();
    EXPECT_EQ(controllerValues(*p), (std::vector<double>{0.0, 60.0 / 66.0, 0.0, 0.0}));
    EXPECT_EQ(streamValues(*p), (StreamValues{false, false, false, 0.0f}));
    EXPECT_EQ(p->getParameterCount(), 4);
}

// ---------------------------------------------------------------------------
// setParamNormalized

TEST(SetParamNormalized, SwitchesTurnOnFromOneHalf) {
    PluginPtr p = makePlugin();
    const struct { ParamID id; std::atomic<bool>* field; } switches[] = {
        {kParamBroadcast, &p->stream.broadcast},
        {kParamMonoSend, &p->stream.monoSend},
        {kParamDisabled, &p->stream.disabled},
    };
    for (const auto& s : switches) {
        EXPECT_EQ(p->setParamNormalized(s.id, 0.5), kResultOk);
        EXPECT_TRUE(s.field->load()) << s.id;
        EXPECT_EQ(p->getParamNormalized(s.id), 0.5) << s.id;
        EXPECT_EQ(p->setParamNormalized(s.id, 0.4999), kResultOk);
        EXPECT_FALSE(s.field->load()) << s.id;
        EXPECT_EQ(p->setParamNormalized(s.id, 1.0), kResultOk);
        EXPECT_TRUE(s.field->load()) << s.id;
        EXPECT_EQ(p->setParamNormalized(s.id, 0.0), kResultOk);
        EXPECT_FALSE(s.field->load()) << s.id;
    }
}

TEST(SetParamNormalized, EachSwitchMovesOnlyItsOwnField) {
    PluginPtr p = makePlugin();
    p->setParamNormalized(kParamBroadcast, 1.0);
    EXPECT_EQ(streamValues(*p), (StreamValues{true, false, false, 0.0f}));
    p->setParamNormalized(kParamMonoSend, 1.0);
    EXPECT_EQ(streamValues(*p), (StreamValues{true, true, false, 0.0f}));
    p->setParamNormalized(kParamDisabled, 1.0);
    EXPECT_EQ(streamValues(*p), (StreamValues{true, true, true, 0.0f}));
    p->setParamNormalized(kParamSendLevel, 0.0);
    EXPECT_EQ(streamValues(*p), (StreamValues{true, true, true, -60.0f}));
}

TEST(SetParamNormalized, SendLevelMapsLinearlyOntoDecibels) {
    PluginPtr p = makePlugin();
    const struct { double normalized; float db; double controller; } table[] = {
        // normalized, dB in the stream state, controller's value afterwards
        {0.0, -60.0f, 0.0},
        {1.0, 6.0f, 1.0},
        {60.0 / 66.0, 0.0f, 60.0 / 66.0},
        {54.0 / 66.0, -6.0f, 54.0 / 66.0},
        {0.25, -43.5f, 0.25},
        {1.5, 6.0f, 1.0},
        {-0.5, -60.0f, 0.0},
    };
    for (const auto& row : table) {
        EXPECT_EQ(p->setParamNormalized(kParamSendLevel, row.normalized), kResultOk);
        EXPECT_EQ(p->stream.sendLevelDb.load(), row.db) << row.normalized;
        EXPECT_EQ(p->getParamNormalized(kParamSendLevel), row.controller) << row.normalized;
    }
}

TEST(SetParamNormalized, SendLevelIsRoundedToFloat) {
    PluginPtr p = makePlugin();
    p->setParamNormalized(kParamSendLevel, 0.3);
    EXPECT_EQ(p->stream.sendLevelDb.load(), static_cast<float>(0.3 * 66.0 - 60.0));
    EXPECT_EQ(p->stream.sendLevelDb.load(), -40.2f);
}

TEST(SetParamNormalized, NonFiniteValuesLeaveTheStreamState) {
    PluginPtr p = makePlugin();
    setNonDefaults(*p);
    const StreamValues before = streamValues(*p);
    for (ParamID id : kAllIds) {
        for (double bad : {kNaN, kInf, -kInf}) {
            // The base accepts the id, so its answer is passed on.
            EXPECT_EQ(p->setParamNormalized(id, bad), kResultOk) << id;
            EXPECT_EQ(streamValues(*p), before) << id << " " << bad;
        }
    }
}

TEST(SetParamNormalized, UnknownIdChangesNothing) {
    PluginPtr p = makePlugin();
    setNonDefaults(*p);
    const StreamValues stream = streamValues(*p);
    const std::vector<double> controller = controllerValues(*p);
    for (ParamID id : {ParamID{104}, ParamID{0}, ParamID{99}, ParamID{0xFFFFFFFFu}}) {
        for (double v : {0.0, 0.5, 1.0}) {
            EXPECT_EQ(p->setParamNormalized(id, v), kResultFalse) << id;
            EXPECT_EQ(streamValues(*p), stream) << id;
            EXPECT_EQ(controllerValues(*p), controller) << id;
        }
    }
}

// ---------------------------------------------------------------------------
// applyParameter

TEST(ApplyParameter, IdsOutsideTheSetChangeNothing) {
    PluginPtr p = makePlugin();
    setNonDefaults(*p);
    const StreamValues before = streamValues(*p);
    for (ParamID id : {ParamID{0}, ParamID{1}, ParamID{99}, ParamID{104}, ParamID{0xFFFFFFFFu}}) {
        for (double v : {0.0, 0.4, 1.0}) {
            p->applyParameter(id, v);
            EXPECT_EQ(streamValues(*p), before) << id << " " << v;
        }
    }
}

TEST(ApplyParameter, ReachesTheStreamButNotTheController) {
    PluginPtr p = makePlugin();
    const std::vector<double> controller = controllerValues(*p);
    p->applyParameter(kParamSendLevel, 0.0);
    p->applyParameter(kParamBroadcast, 1.0);
    p->applyParameter(kParamMonoSend, 0.75);
    p->applyParameter(kParamDisabled, 0.5);
    EXPECT_EQ(streamValues(*p), (StreamValues{true, true, true, -60.0f}));
    EXPECT_EQ(controllerValues(*p), controller);
}

// ---------------------------------------------------------------------------
// The edit callback

// A host's component handler that records what the edit callback tells it,
// with the stream state as it was at each call.
class RecordingHandler : public IComponentHandler {
public:
    explicit RecordingHandler(Plugin& plugin) : plugin_(plugin) {}

    struct Call {
        std::string what;
        ParamID id;
        double value;
        StreamValues stream;
    };
    std::vector<Call> calls;
    int references = 0;

    tresult PLUGIN_API beginEdit(ParamID id) override { return record("begin", id, 0.0); }
    tresult PLUGIN_API performEdit(ParamID id, ParamValue v) override { return record("perform", id, v); }
    tresult PLUGIN_API endEdit(ParamID id) override { return record("end", id, 0.0); }
    tresult PLUGIN_API restartComponent(int32) override { return kResultOk; }
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override {
        if (FUnknownPrivate::iidEqual(iid, IComponentHandler::iid) || FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
            addRef();
            *obj = this;
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return static_cast<uint32>(++references); }
    uint32 PLUGIN_API release() override { return static_cast<uint32>(--references); }

private:
    tresult record(const char* what, ParamID id, double v) {
        calls.push_back({what, id, v, streamValues(plugin_)});
        return kResultOk;
    }
    Plugin& plugin_;
};

TEST(EditCallback, WithoutHandlerStillReachesControllerAndStream) {
    PluginPtr p = makePlugin();
    ParameterEditFn edit = p->makeEditFn();
    edit(kParamSendLevel, 0.25);
    edit(kParamBroadcast, 1.0);
    edit(kParamMonoSend, 0.6);
    edit(kParamDisabled, 0.5);
    EXPECT_EQ(controllerValues(*p), (std::vector<double>{1.0, 0.25, 0.6, 0.5}));
    EXPECT_EQ(streamValues(*p), (StreamValues{true, true, true, -43.5f}));
    edit(kParamDisabled, 0.0);
    EXPECT_FALSE(p->stream.disabled.load());
    EXPECT_EQ(p->getParamNormalized(kParamDisabled), 0.0);
}

TEST(EditCallback, OutOfRangeAndNonFiniteValues) {
    PluginPtr p = makePlugin();
    p->editParameter(kParamSendLevel, 2.0);
    EXPECT_EQ(p->stream.sendLevelDb.load(), 6.0f);
    EXPECT_EQ(p->getParamNormalized(kParamSendLevel), 1.0);
    p->editParameter(kParamSendLevel, -1.0);
    EXPECT_EQ(p->stream.sendLevelDb.load(), -60.0f);
    p->editParameter(kParamSendLevel, kNaN);
    EXPECT_EQ(p->stream.sendLevelDb.load(), -60.0f);
}

TEST(EditCallback, UnknownIdChangesNothing) {
    PluginPtr p = makePlugin();
    setNonDefaults(*p);
    const StreamValues stream = streamValues(*p);
    const std::vector<double> controller = controllerValues(*p);
    p->makeEditFn()(104, 0.0);
    EXPECT_EQ(streamValues(*p), stream);
    EXPECT_EQ(controllerValues(*p), controller);
}

TEST(EditCallback, HandlerSeesBeginPerformEndInOrder) {
    PluginPtr p = makePlugin();
    RecordingHandler handler(*p);
    ASSERT_EQ(p->setComponentHandler(&handler), kResultOk);
    p->makeEditFn()(kParamMonoSend, 1.0);
    ASSERT_EQ(handler.calls.size(), 3u);
    EXPECT_EQ(handler.calls[0].what, "begin");
    EXPECT_EQ(handler.calls[1].what, "perform");
    EXPECT_EQ(handler.calls[2].what, "end");
    for (const auto& call : handler.calls) EXPECT_EQ(call.id, kParamMonoSend);
    EXPECT_EQ(handler.calls[1].value, 1.0);
    // The stream state has the value before the host hears of the edit.
    EXPECT_FALSE(handler.calls[0].stream.mono);
    EXPECT_TRUE(handler.calls[1].stream.mono);
    EXPECT_EQ(p->getParamNormalized(kParamMonoSend), 1.0);
    p->setComponentHandler(nullptr);
    EXPECT_EQ(handler.references, 0);
}

TEST(EditCallback, HandlerHearsTheValueAsGiven) {
    PluginPtr p = makePlugin();
    RecordingHandler handler(*p);
    p->setComponentHandler(&handler);
    p->editParameter(kParamSendLevel, 1.25);
    ASSERT_EQ(handler.calls.size(), 3u);
    EXPECT_EQ(handler.calls[1].value, 1.25);
    EXPECT_EQ(handler.calls[1].stream.levelDb, 6.0f);
    p->setComponentHandler(nullptr);
}

TEST(EditCallback, RefusedIdStillEndsTheGesture) {
    // A host that saw begin must see end, or it keeps the gesture open.
    PluginPtr p = makePlugin();
    RecordingHandler handler(*p);
    p->setComponentHandler(&handler);
    p->editParameter(104, 0.5);
    ASSERT_EQ(handler.calls.size(), 3u);
    EXPECT_EQ(handler.calls[0].what, "begin");
    EXPECT_EQ(handler.calls[1].what, "perform");
    EXPECT_EQ(handler.calls[2].what, "end");
    EXPECT_EQ(streamValues(*p), (StreamValues{false, false, false, 0.0f}));
    p->setComponentHandler(nullptr);
}

// ---------------------------------------------------------------------------
// createView

TEST(CreateView, OnlyTheEditorNameGetsAView) {
    PluginPtr p = makePlugin();
    IPlugView* view = p->createView("editor");
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->release(), 0u);
    EXPECT_EQ(p->createView("Editor"), nullptr);
    EXPECT_EQ(p->createView(""), nullptr);
    EXPECT_EQ(p->createView(nullptr), nullptr);
}

// ---------------------------------------------------------------------------
// Parameter changes delivered with process()

class ProcessParameters : public ::testing::Test {
protected:
    // Runs one call of `frames` stereo 32-bit frames with the queued changes.
    void run(int32 frames) {
        data = testhost::makeProcessData(buffers, frames, kRealtime, &changes);
        EXPECT_EQ(p->process(data), kResultOk);
    }

    PluginPtr p = makePlugin();
    testhost::ParamChanges changes;
    testhost::BusBuffers<float> buffers{2, 64};
    ProcessData data{};
};

TEST_F(ProcessParameters, OnlyTheLastPointOfEachQueueCounts) {
    changes.add(kParamBroadcast, {1.0, 0.0, 1.0});
    changes.add(kParamSendLevel, {1.0, 0.0});
    changes.add(kParamMonoSend, {0.0, 1.0, 0.2});
    run(64);
    EXPECT_EQ(streamValues(*p), (StreamValues{true, false, false, -60.0f}));
}

TEST_F(ProcessParameters, DoNotTouchTheController) {
    const std::vector<double> controller = controllerValues(*p);
    changes.add(kParamSendLevel, {0.0});
    changes.add(kParamDisabled, {1.0});
    run(64);
    EXPECT_EQ(streamValues(*p), (StreamValues{false, false, true, -60.0f}));
    EXPECT_EQ(controllerValues(*p), controller);
}

TEST_F(ProcessParameters, EmptyQueueIsSkipped) {
    p->applyParameter(kParamSendLevel, 0.5);
    changes.add(kParamSendLevel, {});
    changes.add(kParamBroadcast, {1.0});
    run(64);
    EXPECT_EQ(streamValues(*p), (StreamValues{true, false, false, -27.0f}));
}

TEST_F(ProcessParameters, UndeliverablePointIsSkipped) {
    changes.add(kParamSendLevel, {0.0});
    changes.queues[0].failGetPoint = true;
    changes.add(kParamMonoSend, {1.0});
    run(64);
    EXPECT_EQ(streamValues(*p), (StreamValues{false, true, false, 0.0f}));
}

TEST_F(ProcessParameters, UnknownIdsAndNonFiniteValuesAreIgnored) {
    changes.add(7, {1.0});
    changes.add(kParamSendLevel, {0.0, kNaN});
    changes.add(kParamBroadcast, {kInf});
    changes.add(104, {0.0});
    changes.add(kParamDisabled, {1.0});
    run(64);
    EXPECT_EQ(streamValues(*p), (StreamValues{false, false, true, 0.0f}));
}

TEST_F(ProcessParameters, OutOfRangeValuesAreClamped) {
    changes.add(kParamSendLevel, {3.0});
    changes.add(kParamBroadcast, {-2.0});
    run(64);
    EXPECT_EQ(p->stream.sendLevelDb.load(), 6.0f);
    EXPECT_FALSE(p->stream.broadcast.load());
}

TEST_F(ProcessParameters, AppliedWithoutAudioAndWithoutCounting) {
    changes.add(kParamBroadcast, {1.0});
    changes.add(kParamSendLevel, {0.0});
    run(0);
    EXPECT_EQ(streamValues(*p), (StreamValues{true, false, false, -60.0f}));
    EXPECT_EQ(p->stream.processedBlocks.load(), 0u);
    EXPECT_EQ(p->stream.ring.size(), 0u);

    // The same when the host gives no buffers at all.
    changes.clear();
    changes.add(kParamMonoSend, {1.0});
    data = testhost::makeProcessData(buffers, 64, kRealtime, &changes);
    data.inputs = nullptr;
    data.numInputs = 0;
    EXPECT_EQ(p->process(data), kResultOk);
    EXPECT_TRUE(p->stream.monoSend.load());
    EXPECT_EQ(p->stream.processedBlocks.load(), 0u);
}

TEST_F(ProcessParameters, TakeEffectInTheSameCall) {
    // The block pushed by this call already carries the switch just applied.
    ProcessSetup setup{kRealtime, kSample32, 64, 48000.0};
    ASSERT_EQ(p->setupProcessing(setup), kResultOk);
    changes.add(kParamBroadcast, {1.0});
    run(64);
    AudioBlock block;
    ASSERT_TRUE(p->stream.ring.pop(block));
    EXPECT_TRUE(block.active);
    EXPECT_EQ(p->stream.processedBlocks.load(), 1u);
}

}  // namespace
}  // namespace relay
