#include "plugin/plugin.h"

#include <gtest/gtest.h>

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>

#include "plugin/factory.h"
#include "plugin/parameters.h"
#include "server/net.h"
#include "server/server_thread.h"
#include "tools/testhost/host_objects.h"
#include "vstbase/plugin_factory.h"
#include "support/failing_allocator.h"
#include "support/plugin_support.h"

namespace relay {
namespace {

using namespace relay::test;

using namespace Steinberg;
using namespace Steinberg::Vst;
using namespace std::chrono_literals;



// One plug-in made by the class's create function, released when the test ends.
class Instance {
public:
    Instance() : unknown_(Plugin::createInstance(nullptr)) {}
    ~Instance() {
        if (unknown_ != nullptr) unknown_->release();
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // The create function hands out the IAudioProcessor face.
    Plugin& operator*() const { return *static_cast<Plugin*>(static_cast<IAudioProcessor*>(unknown_)); }
    Plugin* operator->() const { return &**this; }
    // Drops the host's reference; the count left.
    uint32 release() { return std::exchange(unknown_, nullptr)->release(); }

private:
    FUnknown* unknown_;
};

std::u16string text(const TChar* s) {
    std::u16string out;
    while (s != nullptr && *s != 0) out.push_back(static_cast<char16_t>(*s++));
    return out;
}

std::u16string busName(Plugin& p, BusDirection dir) {
    BusInfo info{};
    if (p.getBusInfo(kAudio, dir, 0, info) != kResultTrue) return u"<none>";
    return text(info.name);
}

class Lifecycle : public ::testing::Test {
protected:
    WinsockSession winsock;
    Instance plugin;
};

// --- initialize and terminate ------------------------------------------------

TEST_F(Lifecycle, InitializeDeclaresBussesParametersAndStartsTheServer) {
    ASSERT_EQ(plugin->initialize(testhost::hostContext()), kResultOk);
    EXPECT_EQ(plugin->getBusCount(kAudio, kInput), 1);
    EXPECT_EQ(plugin->getBusCount(kAudio, kOutput), 1);
    EXPECT_EQ(plugin->getBusCount(kEvent, kInput), 0);
    EXPECT_EQ(plugin->getBusCount(kEvent, kOutput), 0);
    EXPECT_EQ(busName(*plugin, kInput), u"Stereo giriş");
    EXPECT_EQ(busName(*plugin, kOutput), u"Ana çıkış");
    ASSERT_EQ(plugin->getParameterCount(), 4);
    ASSERT_TRUE(plugin->stream.thread.joinable());
    ASSERT_TRUE(waitUntil([&] { return plugin->stream.port.load() != 0; }));
    EXPECT_TRUE(acceptsConnection(plugin->stream.port.load()));
    EXPECT_EQ(plugin->terminate(), kResultOk);
}

TEST_F(Lifecycle, SecondInitializeIsRefusedAndChangesNothing) {
    ASSERT_EQ(plugin->initialize(testhost::hostContext()), kResultOk);
    ASSERT_TRUE(waitUntil([&] { return plugin->stream.port.load() != 0; }));
    const std::uint32_t port = plugin->stream.port.load();
    const std::thread::id serverThread = plugin->stream.thread.get_id();

    EXPECT_EQ(plugin->initialize(testhost::hostContext()), kResultFalse);
    EXPECT_EQ(plugin->getBusCount(kAudio, kInput), 1);
    EXPECT_EQ(plugin->getBusCount(kAudio, kOutput), 1);
    EXPECT_EQ(plugin->getParameterCount(), 4);
    EXPECT_EQ(plugin->stream.thread.get_id(), serverThread);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(plugin->stream.port.load(), port);
    EXPECT_TRUE(acceptsConnection(port));
    EXPECT_EQ(plugin->terminate(), kResultOk);
}

TEST_F(Lifecycle, TerminateThenInitializeDeclaresAgainAndBindsANewPort) {
    ASSERT_EQ(plugin->initialize(testhost::hostContext()), kResultOk);
    ASSERT_TRUE(waitUntil([&] { return plugin->stream.port.load() != 0; }));
    const std::uint32_t firstPort = plugin->stream.port.load();
    const std::string key = plugin->stream.sessionKey;

    ASSERT_EQ(plugin->terminate(), kResultOk);
    EXPECT_EQ(plugin->stream.port.load(), 0u);
    EXPECT_FALSE(plugin->stream.thread.joinable());
    EXPECT_EQ(plugin->getBusCount(kAudio, kInput), 0);
    EXPECT_EQ(plugin->getBusCount(kAudio, kOutput), 0);
    EXPECT_EQ(plugin->getParameterCount(), 0);
    EXPECT_FALSE(acceptsConnection(firstPort));

    ASSERT_EQ(plugin->initialize(testhost::hostContext()), kResultOk);
    EXPECT_EQ(plugin->getBusCount(kAudio, kInput), 1);
    EXPECT_EQ(plugin->getBusCount(kAudio, kOutput), 1);
    EXPECT_EQ(busName(*plugin, kInput), u"Stereo giriş");
    EXPECT_EQ(busName(*plugin, kOutput), u"Ana çıkış");
    ASSERT_EQ(plugin->getParameterCount(), 4);
    for (int32 i = 0; i < 4; ++i) {
        ParameterInfo info{};
        ASSERT_EQ(plugin->getParameterInfo(i, info), kResultTrue);
        EXPECT_EQ(info.id, kParameters[static_cast<std::size_t>(i)].id);
    }
    ASSERT_TRUE(waitUntil([&] { return plugin->stream.port.load() != 0; }));
    EXPECT_TRUE(acceptsConnection(plugin->stream.port.load()));
    EXPECT_EQ(plugin->stream.sessionKey, key);
    EXPECT_EQ(plugin->terminate(), kResultOk);
}

TEST_F(Lifecycle, ReleasingAnInitializedInstanceStopsItsServer) {
    ASSERT_EQ(plugin->initialize(testhost::hostContext()), kResultOk);
    ASSERT_TRUE(waitUntil([&] { return plugin->stream.port.load() != 0; }));
    const std::uint32_t port = plugin->stream.port.load();
    EXPECT_EQ(plugin.release(), 0u);  // no terminate: the host just lets go
    EXPECT_FALSE(acceptsConnection(port));
}

// --- failures at the host boundary answer with result codes -------------------

// The instance whose terminate the server thread calls, and what it answered.
std::atomic<Plugin*> terminatedFromServer{nullptr};
std::atomic<tresult> answerOnServer{kResultOk};

void terminateFromTheServerThread(StreamServer&) {
    if (Plugin* p = terminatedFromServer.exchange(nullptr)) {
        tresult answer = kInternalError;
        try {
            answer = static_cast<IComponent*>(p)->terminate();
        } catch (...) {
            answer = kInternalError;  // an exception here would have reached the host
        }
        answerOnServer.store(answer);
    }
}

TEST_F(Lifecycle, TerminateAnswersWithACodeWhenStoppingTheServerThrows) {
    ASSERT_EQ(plugin->initialize(testhost::hostContext()), kResultOk);
    ASSERT_TRUE(waitUntil([&] { return plugin->stream.port.load() != 0; }));
    // From the server thread, stopping cannot join: stop throws.
    answerOnServer.store(kResultOk);
    terminatedFromServer.store(&*plugin);
    testing::passHook.store(&terminateFromTheServerThread);
    const bool answered = waitUntil([] { return answerOnServer.load() != kResultOk; });
    testing::passHook.store(nullptr);
    ASSERT_TRUE(answered);
    EXPECT_EQ(answerOnServer.load(), kResultFalse);
    EXPECT_EQ(plugin->stream.serverError.load(), 0u) << "nothing escaped terminate";
    EXPECT_EQ(plugin->getBusCount(kAudio, kInput), 0) << "terminated all the same";

    // From the host's thread the stop joins; a new initialize serves again.
    EXPECT_EQ(plugin->terminate(), kResultOk);
    EXPECT_FALSE(plugin->stream.thread.joinable());
    ASSERT_EQ(plugin->initialize(testhost::hostContext()), kResultOk);
    ASSERT_TRUE(waitUntil([&] { return plugin->stream.port.load() != 0; }));
    EXPECT_TRUE(acceptsConnection(plugin->stream.port.load()));
    EXPECT_EQ(plugin->terminate(), kResultOk);
}

TEST_F(Lifecycle, ServerFaultIsRecordedAndTerminateInitializeServesAfresh) {
    ASSERT_EQ(plugin->initialize(testhost::hostContext()), kResultOk);
    ASSERT_TRUE(waitUntil([&] { return plugin->stream.port.load() != 0; }));
    const std::uint32_t port = plugin->stream.port.load();
    failAllocationsOn(plugin->stream.thread.get_id());
    ASSERT_TRUE(waitUntil([&] { return plugin->stream.serverError.load() != 0; }));
    stopFailingAllocations();
    EXPECT_EQ(plugin->stream.serverError.load(), kServerErrorFault);
    EXPECT_FALSE(acceptsConnection(port));

    EXPECT_EQ(plugin->terminate(), kResultOk);
    ASSERT_EQ(plugin->initialize(testhost::hostContext()), kResultOk);
    ASSERT_TRUE(waitUntil([&] { return plugin->stream.port.load() != 0; }));
    EXPECT_TRUE(acceptsConnection(plugin->stream.port.load()));
    EXPECT_EQ(plugin->stream.serverError.load(), kServerErrorFault) << "kept for the object's life";
    EXPECT_EQ(plugin->terminate(), kResultOk);
}

TEST(ModuleFactory, OutOfMemoryGivesNullAndTheNextCallAWholeFactory) {
    // Fail the first, second, ... allocation of making the factory until one
    // call gets through; every failed call answers null and leaves no factory.
    int failures = 0;
    for (long allowed = 0; allowed < 100; ++allowed) {
        failAllocationsOn(std::this_thread::get_id(), allowed);
        IPluginFactory* factory = pluginFactoryOrNull();
        stopFailingAllocations();
        if (factory == nullptr) {
            ++failures;
            EXPECT_EQ(gPluginFactory, nullptr) << allowed;
            continue;
        }
        EXPECT_EQ(factory->countClasses(), 1) << allowed;
        EXPECT_EQ(factory->release(), 0u);
        break;
    }
    EXPECT_GE(failures, 2) << "the factory and its class list were both made to fail";
    EXPECT_EQ(gPluginFactory, nullptr);
}

TEST(LifecycleDestroy, NeverInitializedInstanceIsFreedCleanly) {
    Instance plugin;
    EXPECT_FALSE(plugin->stream.thread.joinable());
    EXPECT_EQ(plugin->stream.port.load(), 0u);
    EXPECT_EQ(plugin->getBusCount(kAudio, kInput), 0);
    EXPECT_EQ(plugin.release(), 0u);
}

TEST(LifecycleDestroy, TerminateWithoutInitializeIsHarmless) {
    Instance plugin;
    EXPECT_EQ(plugin->terminate(), kResultOk);
    EXPECT_EQ(plugin->stream.port.load(), 0u);
    EXPECT_EQ(plugin.release(), 0u);
}

// --- bus arrangements --------------------------------------------------------

class BusArrangements : public Lifecycle {
protected:
    void SetUp() override { ASSERT_EQ(plugin->initialize(testhost::hostContext()), kResultOk); }
    void TearDown() override { plugin->terminate(); }
    SpeakerArrangement arrangement(BusDirection dir) {
        SpeakerArrangement arr = 0;
        EXPECT_EQ(plugin->getBusArrangement(dir, 0, arr), kResultTrue);
        return arr;
    }
};

TEST_F(BusArrangements, MatchingMonoOrStereoIsAccepted) {
    SpeakerArrangement mono = SpeakerArr::kMono;
    SpeakerArrangement monoOut = SpeakerArr::kMono;
    EXPECT_EQ(plugin->setBusArrangements(&mono, 1, &monoOut, 1), kResultOk);
    EXPECT_EQ(arrangement(kInput), SpeakerArr::kMono);
    EXPECT_EQ(arrangement(kOutput), SpeakerArr::kMono);

    SpeakerArrangement stereo = SpeakerArr::kStereo;
    SpeakerArrangement stereoOut = SpeakerArr::kStereo;
    EXPECT_EQ(plugin->setBusArrangements(&stereo, 1, &stereoOut, 1), kResultOk);
    EXPECT_EQ(arrangement(kInput), SpeakerArr::kStereo);
    EXPECT_EQ(arrangement(kOutput), SpeakerArr::kStereo);
}

TEST_F(BusArrangements, EverythingElseIsRefusedAndLeavesTheBussesAlone) {
    SpeakerArrangement mono = SpeakerArr::kMono;
    SpeakerArrangement stereo = SpeakerArr::kStereo;
    SpeakerArrangement surround = SpeakerArr::k51;
    SpeakerArrangement twoStereo[] = {SpeakerArr::kStereo, SpeakerArr::kStereo};
    EXPECT_EQ(plugin->setBusArrangements(&mono, 1, &stereo, 1), kResultFalse);
    EXPECT_EQ(plugin->setBusArrangements(&stereo, 1, &mono, 1), kResultFalse);
    EXPECT_EQ(plugin->setBusArrangements(twoStereo, 2, &stereo, 1), kResultFalse);
    EXPECT_EQ(plugin->setBusArrangements(&stereo, 1, twoStereo, 2), kResultFalse);
    EXPECT_EQ(plugin->setBusArrangements(nullptr, 1, &stereo, 1), kResultFalse);
    EXPECT_EQ(plugin->setBusArrangements(&stereo, 1, nullptr, 1), kResultFalse);
    EXPECT_EQ(plugin->setBusArrangements(nullptr, 0, nullptr, 0), kResultFalse);
    EXPECT_EQ(plugin->setBusArrangements(&stereo, -1, &stereo, 1), kResultFalse);
    EXPECT_EQ(plugin->setBusArrangements(&surround, 1, &surround, 1), kResultFalse);
    EXPECT_EQ(arrangement(kInput), SpeakerArr::kStereo);
    EXPECT_EQ(arrangement(kOutput), SpeakerArr::kStereo);
}

// --- processing set-up -------------------------------------------------------

ProcessSetup setupWith(double rate, int32 maxBlock = 512, int32 sampleSize = kSample32) {
    return ProcessSetup{kRealtime, sampleSize, maxBlock, rate};
}

TEST_F(Lifecycle, SetupRefusesRatesOutsideOneHertzToTwoMegahertz) {
    ProcessSetup good = setupWith(44100.0);
    ASSERT_EQ(plugin->setupProcessing(good), kResultOk);
    ASSERT_EQ(plugin->stream.sampleRate.load(), 44100u);
    const double inf = std::numeric_limits<double>::infinity();
    for (double rate : {0.5, 0.999999, 0.0, -48000.0, 2000000.5, 4e9, inf, -inf,
                        std::numeric_limits<double>::quiet_NaN()}) {
        ProcessSetup bad = setupWith(rate);
        EXPECT_EQ(plugin->setupProcessing(bad), kInvalidArgument) << rate;
        EXPECT_EQ(plugin->stream.sampleRate.load(), 44100u) << rate;
    }
}

TEST_F(Lifecycle, SetupAcceptsTheRangeEndsAndTruncatesTheRate) {
    struct Case {
        double rate;
        std::uint32_t stored;
    };
    for (const Case& c : {Case{1.0, 1}, Case{2000000.0, 2000000}, Case{44100.9, 44100}, Case{48000.0, 48000},
                          Case{96000.49, 96000}}) {
        ProcessSetup setup = setupWith(c.rate);
        EXPECT_EQ(plugin->setupProcessing(setup), kResultOk) << c.rate;
        EXPECT_EQ(plugin->stream.sampleRate.load(), c.stored) << c.rate;
    }
}

TEST_F(Lifecycle, SetupChecksOnlyTheBlockSizeSign) {
    ProcessSetup zero = setupWith(22050.0, 0);
    EXPECT_EQ(plugin->setupProcessing(zero), kResultOk);
    EXPECT_EQ(plugin->stream.sampleRate.load(), 22050u);
    ProcessSetup negative = setupWith(32000.0, -1);
    EXPECT_EQ(plugin->setupProcessing(negative), kInvalidArgument);
    ProcessSetup veryNegative = setupWith(32000.0, std::numeric_limits<int32>::min());
    EXPECT_EQ(plugin->setupProcessing(veryNegative), kInvalidArgument);
    EXPECT_EQ(plugin->stream.sampleRate.load(), 22050u);
    // 64-bit processing is set up like 32-bit.
    ProcessSetup wide = setupWith(88200.0, 4096, kSample64);
    EXPECT_EQ(plugin->setupProcessing(wide), kResultOk);
    EXPECT_EQ(plugin->stream.sampleRate.load(), 88200u);
}

TEST_F(Lifecycle, OnlyThirtyTwoAndSixtyFourBitSamplesAreProcessed) {
    EXPECT_EQ(plugin->canProcessSampleSize(kSample32), kResultOk);
    EXPECT_EQ(plugin->canProcessSampleSize(kSample64), kResultOk);
    for (int32 size : {2, 3, -1, 100, std::numeric_limits<int32>::min(), std::numeric_limits<int32>::max()})
        EXPECT_EQ(plugin->canProcessSampleSize(size), kResultFalse) << size;
}

// --- activity and meters -----------------------------------------------------

TEST_F(Lifecycle, StoppingProcessingClearsTheMetersStartingOrActivatingDoesNot) {
    auto& s = plugin->stream;
    s.peakLeft.store(0.7f);
    s.peakRight.store(0.3f);
    EXPECT_EQ(plugin->setProcessing(true), kResultOk);
    EXPECT_TRUE(s.active.load());
    EXPECT_EQ(plugin->setActive(false), kResultOk);
    EXPECT_FALSE(s.active.load());
    EXPECT_EQ(plugin->setActive(true), kResultOk);
    EXPECT_TRUE(s.active.load());
    EXPECT_EQ(s.peakLeft.load(), 0.7f);
    EXPECT_EQ(s.peakRight.load(), 0.3f);

    EXPECT_EQ(plugin->setProcessing(false), kResultOk);
    EXPECT_FALSE(s.active.load());
    EXPECT_EQ(s.peakLeft.load(), 0.0f);
    EXPECT_EQ(s.peakRight.load(), 0.0f);

    // Any non-zero state means on.
    s.peakLeft.store(0.5f);
    EXPECT_EQ(plugin->setProcessing(2), kResultOk);
    EXPECT_TRUE(s.active.load());
    EXPECT_EQ(s.peakLeft.load(), 0.5f);
}

}  // namespace
}  // namespace relay
