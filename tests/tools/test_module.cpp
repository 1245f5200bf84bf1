// The built module as a host sees it: loaded with LoadLibraryW, entered
// through GetPluginFactory, and spoken to only through VST3 interfaces.
#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "plugin/plugin.h"
#include "public.sdk/source/common/memorystream.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "pluginterfaces/vst/ivstunits.h"
#include "tools/testhost/host_objects.h"

namespace {

using namespace Steinberg;
using namespace Steinberg::Vst;

constexpr std::array<std::uint8_t, 16> kClassId = {0x2A, 0x4C, 0x3D, 0x71, 0x8B, 0xEA, 0x75, 0x4C,
                                                   0xAA, 0x4D, 0x75, 0xC9, 0xC1, 0x02, 0xD3, 0x14};

std::uintptr_t address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// The text of a fixed-size 8-bit field, "<unterminated>" without a NUL, and
// "<dirty>" when anything but zeros follows the text.
template <std::size_t N>
std::string field(const char8 (&f)[N]) {
    const std::size_t length = strnlen(f, N);
    if (length == N) return "<unterminated>";
    for (std::size_t i = length; i < N; ++i)
        if (f[i] != 0) return "<dirty>";
    return std::string(f, length);
}

std::u16string text(const TChar* s) {
    std::u16string out;
    while (s != nullptr && *s != 0) out.push_back(static_cast<char16_t>(*s++));
    return out;
}

// Releases an interface when the test ends.
template <typename T>
struct Ref {
    T* p = nullptr;
    Ref() = default;
    explicit Ref(T* q) : p(q) {}
    ~Ref() {
        if (p != nullptr) p->release();
    }
    Ref(Ref&& other) noexcept : p(std::exchange(other.p, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(p, other.p);
        return *this;
    }
    T* operator->() const { return p; }
    void** out() { return reinterpret_cast<void**>(&p); }
};

template <typename T, typename From>
Ref<T> query(From* from) {
    Ref<T> result;
    if (from != nullptr && from->queryInterface(T::iid, result.out()) != kResultOk) result.p = nullptr;
    return result;
}

class ModuleTest : public ::testing::Test {
protected:
    static std::wstring dllPath() {
        const char* path = std::getenv("VANTREL_DLL");
        return path != nullptr ? testhost::windowsPath(path) : std::wstring();
    }
    void SetUp() override {
        ASSERT_FALSE(dllPath().empty()) << "VANTREL_DLL names the built module";
        ASSERT_TRUE(module->loaded());
    }
    // A new instance of the effect through the factory, as `T`.
    template <typename T>
    T* create(IPluginFactory* factory) {
        void* obj = nullptr;
        const tresult result =
            factory->createInstance(reinterpret_cast<FIDString>(kClassId.data()), T::iid, &obj);
        EXPECT_EQ(result, kResultOk);
        return static_cast<T*>(obj);
    }
    std::unique_ptr<testhost::Module> module = std::make_unique<testhost::Module>(dllPath());
};

// --- the factory -------------------------------------------------------------

TEST_F(ModuleTest, SecondCallReturnsTheSameFactoryWithOneMoreReference) {
    IPluginFactory* first = module->factory();
    ASSERT_NE(first, nullptr);
    IPluginFactory* second = module->factory();
    EXPECT_EQ(second, first);
    // Two references from the calls: one more and one less tell the count.
    EXPECT_EQ(first->addRef(), 3u);
    EXPECT_EQ(first->release(), 2u);
    EXPECT_EQ(first->countClasses(), 1) << "a second call must not register the class again";
    EXPECT_EQ(second->release(), 1u);
    EXPECT_EQ(first->countClasses(), 1);
    EXPECT_EQ(first->release(), 0u);
}

TEST_F(ModuleTest, AfterTheLastReleaseANewFactoryHoldsTheOneClass) {
    IPluginFactory* first = module->factory();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->release(), 0u);

    IPluginFactory* again = module->factory();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->addRef(), 2u) << "a fresh factory starts with the caller's one reference";
    EXPECT_EQ(again->release(), 1u);
    EXPECT_EQ(again->countClasses(), 1);
    PClassInfo info{};
    ASSERT_EQ(again->getClassInfo(0, &info), kResultOk);
    EXPECT_EQ(std::memcmp(info.cid, kClassId.data(), 16), 0);
    EXPECT_EQ(again->release(), 0u);
}

TEST_F(ModuleTest, FactoryInfoNamesTheVendorAndUnicodeFlag) {
    Ref<IPluginFactory> factory(module->factory());
    ASSERT_NE(factory.p, nullptr);
    PFactoryInfo info{};
    ASSERT_EQ(factory->getFactoryInfo(&info), kResultOk);
    EXPECT_EQ(field(info.vendor), "Tobra Audio");
    EXPECT_EQ(field(info.url), "");
    EXPECT_NE(field(info.email), "<unterminated>");
    EXPECT_NE(field(info.email), "<dirty>");
    EXPECT_EQ(info.flags, 16);
    EXPECT_EQ(info.flags, PFactoryInfo::kUnicode);
    EXPECT_EQ(factory->getFactoryInfo(nullptr), kInvalidArgument);
}

TEST_F(ModuleTest, TheOneClassEntry) {
    Ref<IPluginFactory> factory(module->factory());
    ASSERT_NE(factory.p, nullptr);
    ASSERT_EQ(factory->countClasses(), 1);
    auto factory2 = query<IPluginFactory2>(factory.p);
    ASSERT_NE(factory2.p, nullptr);

    PClassInfo2 info{};
    std::memset(static_cast<void*>(&info), 0x5A, sizeof(info));  // so unwritten padding would show
    ASSERT_EQ(factory2->getClassInfo2(0, &info), kResultOk);
    EXPECT_EQ(std::memcmp(info.cid, kClassId.data(), 16), 0);
    EXPECT_EQ(info.cardinality, 0x7FFFFFFF);
    EXPECT_EQ(info.classFlags, 0u);
    EXPECT_EQ(field(info.category), "Audio Module Class");
    EXPECT_EQ(field(info.name), "VANTREL");
    EXPECT_EQ(field(info.subCategories), "Fx|Network");
    EXPECT_EQ(field(info.vendor), "");
    EXPECT_EQ(field(info.version), "0.2.4");
    EXPECT_EQ(field(info.sdkVersion), "VST 3.8.1");

    PClassInfo plain{};
    ASSERT_EQ(factory->getClassInfo(0, &plain), kResultOk);
    EXPECT_EQ(std::memcmp(plain.cid, kClassId.data(), 16), 0);
    EXPECT_EQ(plain.cardinality, PClassInfo::kManyInstances);
    EXPECT_EQ(field(plain.category), "Audio Module Class");
    EXPECT_EQ(field(plain.name), "VANTREL");

    EXPECT_NE(factory->getClassInfo(1, &plain), kResultOk);
    EXPECT_NE(factory->getClassInfo(-1, &plain), kResultOk);
    EXPECT_NE(factory2->getClassInfo2(1, &info), kResultOk);

    // Hosts that read the UTF-16 entry see the same class.
    auto factory3 = query<IPluginFactory3>(factory.p);
    ASSERT_NE(factory3.p, nullptr);
    PClassInfoW wide{};
    ASSERT_EQ(factory3->getClassInfoUnicode(0, &wide), kResultOk);
    EXPECT_EQ(std::memcmp(wide.cid, kClassId.data(), 16), 0);
    EXPECT_EQ(std::wstring(wide.name), L"VANTREL");
    EXPECT_EQ(std::wstring(wide.version), L"0.2.4");
    EXPECT_EQ(std::wstring(wide.sdkVersion), L"VST 3.8.1");
    EXPECT_EQ(field(wide.subCategories), "Fx|Network");
    EXPECT_NE(factory3->getClassInfoUnicode(1, &wide), kResultOk);
}

TEST_F(ModuleTest, UnknownClassOrMissingArgumentsCreateNothing) {
    Ref<IPluginFactory> factory(module->factory());
    ASSERT_NE(factory.p, nullptr);
    std::array<std::uint8_t, 16> other = kClassId;
    other[15] ^= 1;
    void* obj = reinterpret_cast<void*>(1);
    EXPECT_NE(factory->createInstance(reinterpret_cast<FIDString>(other.data()), IComponent::iid, &obj),
              kResultOk);
    EXPECT_EQ(obj, nullptr);
    EXPECT_NE(factory->createInstance(reinterpret_cast<FIDString>(kClassId.data()), IComponent::iid, nullptr),
              kResultOk);
    obj = reinterpret_cast<void*>(1);
    EXPECT_NE(factory->createInstance(nullptr, IComponent::iid, &obj), kResultOk);
    EXPECT_EQ(obj, nullptr);
}

// --- instances -----------------------------------------------------------------

// The complete object behind an interface pointer, whatever the interface's
// offset inside it.
const void* objectOf(FUnknown* face) { return dynamic_cast<const void*>(face); }

TEST_F(ModuleTest, InstancesAreDistinctAndAlignedTo64Bytes) {
    Ref<IPluginFactory> factory(module->factory());
    ASSERT_NE(factory.p, nullptr);
    Ref<IComponent> a(create<IComponent>(factory.p));
    Ref<IComponent> b(create<IComponent>(factory.p));
    ASSERT_NE(a.p, nullptr);
    ASSERT_NE(b.p, nullptr);
    EXPECT_NE(objectOf(a.p), objectOf(b.p));
    EXPECT_EQ(address(objectOf(a.p)) % 64, 0u) << objectOf(a.p);
    EXPECT_EQ(address(objectOf(b.p)) % 64, 0u) << objectOf(b.p);

    // One object behind every face: the COM identity and the object agree.
    auto processor = query<IAudioProcessor>(a.p);
    auto controller = query<IEditController>(a.p);
    auto identityA = query<FUnknown>(a.p);
    auto identityViaController = query<FUnknown>(controller.p);
    ASSERT_NE(processor.p, nullptr);
    ASSERT_NE(controller.p, nullptr);
    ASSERT_NE(identityA.p, nullptr);
    EXPECT_EQ(identityA.p, identityViaController.p);
    EXPECT_EQ(objectOf(processor.p), objectOf(a.p));
    EXPECT_EQ(objectOf(controller.p), objectOf(a.p));
    auto identityB = query<FUnknown>(b.p);
    EXPECT_NE(identityA.p, identityB.p);
}

// The same create function, linked into this test: its result is an object
// of the plug-in's type at a 64-byte boundary, for any context value.
TEST(CreateFunction, GivesDistinctAlignedPluginsForAnyContext) {
    static_assert(alignof(relay::Plugin) == 64);
    int someContext = 0;
    FUnknown* made[3] = {relay::Plugin::createInstance(nullptr), relay::Plugin::createInstance(&someContext),
                         relay::Plugin::createInstance(reinterpret_cast<void*>(0x1234))};
    for (FUnknown* unknown : made) {
        ASSERT_NE(unknown, nullptr);
        auto* plugin = dynamic_cast<relay::Plugin*>(unknown);
        ASSERT_NE(plugin, nullptr) << "the create function returns a relay::Plugin";
        EXPECT_EQ(static_cast<const void*>(plugin), objectOf(unknown));
        EXPECT_EQ(address(plugin) % 64, 0u) << static_cast<void*>(plugin);
        EXPECT_EQ(address(&plugin->stream) % 64, 0u);
        // The face handed out is the audio processor's.
        void* processor = nullptr;
        ASSERT_EQ(unknown->queryInterface(IAudioProcessor::iid, &processor), kResultOk);
        EXPECT_EQ(processor, static_cast<void*>(unknown));
        static_cast<FUnknown*>(processor)->release();
        EXPECT_FALSE(plugin->stream.thread.joinable()) << "creating starts no server";
    }
    EXPECT_NE(made[0], made[1]);
    EXPECT_NE(made[1], made[2]);
    EXPECT_NE(made[0], made[2]);
    EXPECT_NE(dynamic_cast<relay::Plugin*>(made[0])->stream.sessionKey,
              dynamic_cast<relay::Plugin*>(made[1])->stream.sessionKey);
    for (FUnknown* unknown : made) EXPECT_EQ(unknown->release(), 0u);
}

// --- what the host reads after initialize --------------------------------------

class InitializedInstance : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        factory.p = module->factory();
        ASSERT_NE(factory.p, nullptr);
        component.p = create<IComponent>(factory.p);
        ASSERT_NE(component.p, nullptr);
        ASSERT_EQ(component->initialize(testhost::hostContext()), kResultOk);
        controller = query<IEditController>(component.p);
        ASSERT_NE(controller.p, nullptr);
    }
    void TearDown() override {
        if (component.p != nullptr) component->terminate();
    }
    // Declared in release order: controller, component, factory.
    Ref<IPluginFactory> factory;
    Ref<IComponent> component;
    Ref<IEditController> controller;
};

TEST_F(InitializedInstance, ParametersAsTheHostSeesThem) {
    struct Expected {
        ParamID id;
        std::u16string title;
        std::u16string units;
        int32 stepCount;
        double defaultNormalized;
        int32 flags;
    };
    // columns: id, title, units, steps, default, flags
    const Expected expected[] = {
        {100, u"Yayın", u"", 1, 0.0, 0x1},
        {101, u"Gönderim seviyesi", u"dB", 0, 60.0 / 66.0, 0x1},
        {102, u"Mono gönderim", u"", 1, 0.0, 0x1},
        {103, u"Devre dışı", u"", 1, 0.0, 0x10001},
    };
    ASSERT_EQ(controller->getParameterCount(), 4);
    for (int32 i = 0; i < 4; ++i) {
        const Expected& want = expected[i];
        SCOPED_TRACE(want.id);
        ParameterInfo info{};
        ASSERT_EQ(controller->getParameterInfo(i, info), kResultOk);
        EXPECT_EQ(info.id, want.id);
        EXPECT_EQ(text(info.title), want.title);
        EXPECT_EQ(text(info.units), want.units);
        EXPECT_EQ(info.stepCount, want.stepCount);
        EXPECT_NEAR(info.defaultNormalizedValue, want.defaultNormalized, 1e-12);
        EXPECT_EQ(info.flags, want.flags);
        EXPECT_EQ(info.unitId, kRootUnitId);
        EXPECT_NEAR(controller->getParamNormalized(want.id), want.defaultNormalized, 1e-12);
    }
}

// A host that asks past the end gets a result code, never an exception
// thrown across the module boundary.
TEST_F(InitializedInstance, IndexPastTheEndIsAnsweredWithAResultCode) {
    for (int32 index : {4, 5, -1}) {
        ParameterInfo none{};
        tresult result = kInternalError;  // stays so when the call throws
        EXPECT_NO_THROW(result = controller->getParameterInfo(index, none)) << "parameter index " << index;
        EXPECT_NE(result, kResultOk) << "parameter index " << index;
    }
    auto units = query<IUnitInfo>(component.p);
    ASSERT_NE(units.p, nullptr);
    const int32 count = units->getUnitCount();
    for (int32 index : {count, -1}) {
        UnitInfo none{};
        tresult result = kInternalError;  // stays so when the call throws
        EXPECT_NO_THROW(result = units->getUnitInfo(index, none)) << "unit index " << index;
        EXPECT_NE(result, kResultOk) << "unit index " << index;
    }
}

TEST_F(InitializedInstance, BussesAsTheHostSeesThem) {
    EXPECT_EQ(component->getBusCount(kAudio, kInput), 1);
    EXPECT_EQ(component->getBusCount(kAudio, kOutput), 1);
    EXPECT_EQ(component->getBusCount(kEvent, kInput), 0);
    EXPECT_EQ(component->getBusCount(kEvent, kOutput), 0);

    BusInfo in{};
    ASSERT_EQ(component->getBusInfo(kAudio, kInput, 0, in), kResultOk);
    EXPECT_EQ(text(in.name), u"Stereo giriş");
    EXPECT_EQ(in.mediaType, kAudio);
    EXPECT_EQ(in.direction, kInput);
    EXPECT_EQ(in.channelCount, 2);
    EXPECT_EQ(in.busType, kMain);
    EXPECT_EQ(in.flags, static_cast<uint32>(BusInfo::kDefaultActive));

    BusInfo out{};
    ASSERT_EQ(component->getBusInfo(kAudio, kOutput, 0, out), kResultOk);
    EXPECT_EQ(text(out.name), u"Ana çıkış");
    EXPECT_EQ(out.direction, kOutput);
    EXPECT_EQ(out.channelCount, 2);
    EXPECT_EQ(out.busType, kMain);
    EXPECT_EQ(out.flags, static_cast<uint32>(BusInfo::kDefaultActive));

    BusInfo none{};
    EXPECT_NE(component->getBusInfo(kAudio, kInput, 1, none), kResultOk);
    EXPECT_NE(component->getBusInfo(kEvent, kInput, 0, none), kResultOk);
}

// --- saved state: the component's record, the controller's own pair -------------

using Bytes = std::vector<std::uint8_t>;

// What getState of `face` wrote, after checking its result.
template <typename Face>
Bytes savedBy(Face* face, tresult expected) {
    MemoryStream stream;
    EXPECT_EQ(face->getState(&stream), expected);
    const char* data = stream.getData();
    return data != nullptr ? Bytes(data, data + stream.getSize()) : Bytes{};
}

template <typename Face>
tresult loadInto(Face* face, Bytes bytes) {
    MemoryStream stream(bytes.data(), static_cast<TSize>(bytes.size()));
    return face->setState(&stream);
}

// The 24-byte component record, little-endian.
Bytes componentRecord(double level, std::int32_t mono, std::int32_t streaming, std::int32_t bypass) {
    Bytes b(24);
    const std::int32_t version = 1;
    std::memcpy(b.data(), &version, 4);
    std::memcpy(b.data() + 4, &level, 8);
    std::memcpy(b.data() + 12, &mono, 4);
    std::memcpy(b.data() + 16, &streaming, 4);
    std::memcpy(b.data() + 20, &bypass, 4);
    return b;
}

// Controller values of parameters 100..103.
std::array<double, 4> controllerValues(IEditController* c) {
    return {c->getParamNormalized(100), c->getParamNormalized(101), c->getParamNormalized(102),
            c->getParamNormalized(103)};
}

void setControllerValues(IEditController* c, const std::array<double, 4>& v) {
    for (ParamID i = 0; i < 4; ++i) ASSERT_EQ(c->setParamNormalized(100 + i, v[i]), kResultOk);
}

TEST_F(InitializedInstance, ComponentStateIsTheRecordAndTheControllerPairTouchesNothing) {
    setControllerValues(controller.p, {1.0, 0.25, 1.0, 0.0});
    const Bytes record = savedBy(component.p, kResultOk);
    EXPECT_EQ(record, componentRecord(0.25, 1, 1, 0));

    // The controller has no state of its own: nothing written, nothing read.
    EXPECT_EQ(savedBy(controller.p, kNotImplemented), Bytes{});
    const Bytes other = componentRecord(0.0, 0, 0, 1);
    EXPECT_EQ(loadInto(controller.p, other), kNotImplemented);
    EXPECT_EQ(loadInto(controller.p, Bytes{}), kNotImplemented);
    EXPECT_EQ(savedBy(component.p, kResultOk), record);
    EXPECT_EQ(controllerValues(controller.p), (std::array<double, 4>{1.0, 0.25, 1.0, 0.0}));

    // The component face applies a record to both sides.
    EXPECT_EQ(loadInto(component.p, other), kResultOk);
    EXPECT_EQ(savedBy(component.p, kResultOk), other);
    EXPECT_EQ(controllerValues(controller.p), (std::array<double, 4>{0.0, 0.0, 0.0, 1.0}));
    EXPECT_EQ(component->getState(nullptr), kInvalidArgument);
}

TEST_F(InitializedInstance, HostRestoreInItsUsualOrderEndsWithTheComponentsValues) {
    // The host saves the component, the user edits, then it saves the controller.
    setControllerValues(controller.p, {1.0, 0.25, 1.0, 0.0});
    const Bytes componentState = savedBy(component.p, kResultOk);
    setControllerValues(controller.p, {0.0, 0.75, 0.0, 1.0});
    MemoryStream controllerState;
    controller->getState(&controllerState);
    setControllerValues(controller.p, {0.0, 0.5, 1.0, 1.0});

    // Restore: component, controller's copy of the component state, controller.
    EXPECT_EQ(loadInto(component.p, componentState), kResultOk);
    MemoryStream forController(const_cast<std::uint8_t*>(componentState.data()),
                               static_cast<TSize>(componentState.size()));
    controller->setComponentState(&forController);
    controllerState.seek(0, IBStream::kIBSeekSet, nullptr);
    controller->setState(&controllerState);

    EXPECT_EQ(savedBy(component.p, kResultOk), componentState);
    EXPECT_EQ(controllerValues(controller.p), (std::array<double, 4>{1.0, 0.25, 1.0, 0.0}));
}

}  // namespace
