// The plug-in view as a host drives it: in-process on a quiet plug-in, and
// through the built module as a host loads it. Observed through return
// codes, reference counts, the child windows under the host's window and
// the editor's window class.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "editor/view.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "support/editor_windows.h"
#include "support/plugin_support.h"
#include "tools/testhost/editor_host.h"
#include "tools/testhost/host_objects.h"

namespace {

using namespace Steinberg;

using relay::test::editorClassRegistered;
using relay::test::editorWindowsOnThread;
using relay::test::kEditorClass;

int editorWindowsUnder(HWND parent) {
    int n = 0;
    EnumChildWindows(
        parent,
        [](HWND w, LPARAM count) -> BOOL {
            wchar_t name[64] = {};
            if (GetClassNameW(w, name, 64) > 0 && std::wcscmp(name, kEditorClass) == 0)
                ++*reinterpret_cast<int*>(count);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&n));
    return n;
}

// The host's window stays hidden: showing a top-level window under Wine
// without a window manager costs seconds.
bool hasStyle(HWND w, LONG style) { return (GetWindowLongW(w, GWL_STYLE) & style) == style; }

HWND editorUnder(HWND parent) { return FindWindowExW(parent, nullptr, kEditorClass, nullptr); }

// Sizes as text, so that one check compares all of them.
std::string client(HWND w) {
    RECT r{};
    GetClientRect(w, &r);
    return std::to_string(r.right) + "x" + std::to_string(r.bottom);
}
std::string text(const ViewRect& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}
std::string sizeOf(IPlugView* view) {
    ViewRect r{};
    EXPECT_EQ(view->getSize(&r), kResultTrue);
    return text(r);
}

// A host frame that records what the view asks of it and the references
// it holds; its count starts at 1, the host's own.
struct RecordingFrame : IPlugFrame {
    uint32 refs = 1;
    tresult answer = kResultOk;
    int calls = 0;
    IPlugView* view = nullptr;
    ViewRect rect{};
    tresult PLUGIN_API resizeView(IPlugView* v, ViewRect* r) override {
        ++calls;
        view = v;
        if (r != nullptr) rect = *r;
        return answer;
    }
    tresult PLUGIN_API queryInterface(const TUID, void** obj) override {
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 PLUGIN_API addRef() override { return ++refs; }
    uint32 PLUGIN_API release() override { return --refs; }
};

// The count an object holds now, read through one more and one less.
template <typename T>
uint32 countOf(T* object) {
    const uint32 raised = object->addRef();
    object->release();
    return raised - 1;
}

struct ReleaseView {
    void operator()(IPlugView* v) const { v->release(); }
};
using ViewPtr = std::unique_ptr<IPlugView, ReleaseView>;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// --- in-process --------------------------------------------------------------------

class ViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(parent(), nullptr);
        ASSERT_EQ(countOf(plugin.get()), 1u);
    }
    void TearDown() override {
        EXPECT_EQ(editorWindowsOnThread(), 0);
        EXPECT_FALSE(editorClassRegistered()) << "the class goes with the last editor";
        EXPECT_EQ(countOf(plugin.get()), 1u) << "every view gave its plug-in reference back";
    }
    ViewPtr create() { return ViewPtr(plugin->createView(Vst::ViewType::kEditor)); }
    static relay::View* object(IPlugView* v) { return static_cast<relay::View*>(v); }
    HWND parent() const { return host.hostWindow(); }

    relay::test::PluginPtr plugin = relay::test::makeQuietPlugin();
    testhost::EditorHost host;
};

TEST_F(ViewTest, CreateViewOnlyForTheEditorNameAndOnlyHwnd) {
    for (const char* name : {"Editor", "", "editor ", "other"}) EXPECT_EQ(plugin->createView(name), nullptr) << name;
    EXPECT_EQ(plugin->createView(nullptr), nullptr);
    EXPECT_EQ(countOf(plugin.get()), 1u);
    ViewPtr view = create();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(countOf(plugin.get()), 2u) << "a view keeps its plug-in";
    EXPECT_EQ(countOf(view.get()), 1u);
    EXPECT_EQ(sizeOf(view.get()), "0,0,960,640");
    EXPECT_EQ(view->canResize(), kResultTrue);
    EXPECT_EQ(view->getSize(nullptr), kInvalidArgument);

    EXPECT_EQ(view->isPlatformTypeSupported("HWND"), kResultTrue);
    EXPECT_EQ(view->isPlatformTypeSupported(nullptr), kResultFalse);
    for (const char* type : {"hwnd", "", "HWND ", kPlatformTypeNSView, kPlatformTypeX11EmbedWindowID})
        EXPECT_EQ(view->isPlatformTypeSupported(type), kResultFalse) << type;
}

TEST_F(ViewTest, RefusedAttachCreatesNoWindow) {
    ViewPtr view = create();
    struct Case {
        void* parent;
        const char* type;
    };
    HWND gone = nullptr;  // a parent that no longer exists: no window can be made in it
    {
        testhost::EditorHost shortLived;
        gone = shortLived.hostWindow();
    }
    const Case cases[] = {{parent(), nullptr}, {parent(), "NSView"}, {parent(), "hwnd"},
                          {nullptr, "HWND"},   {nullptr, nullptr},   {gone, "HWND"}};
    for (const Case& c : cases) {
        EXPECT_EQ(view->attached(c.parent, c.type), kResultFalse) << (c.type ? c.type : "null type");
        EXPECT_EQ(editorWindowsOnThread(), 0);
        EXPECT_FALSE(editorClassRegistered());
        EXPECT_EQ(object(view.get())->nativeEditor().window(), nullptr);
    }
    // Nothing half-done stands in the way of a proper attach.
    ASSERT_EQ(view->attached(parent(), kPlatformTypeHWND), kResultOk);
    const HWND w = editorUnder(parent());
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w, object(view.get())->nativeEditor().window());
    EXPECT_EQ(editorWindowsUnder(parent()), 1);
    EXPECT_TRUE(hasStyle(w, WS_VISIBLE | WS_CHILD | WS_TABSTOP));
    EXPECT_EQ(GetParent(w), parent());
    EXPECT_EQ(client(w), "960x640");
    EXPECT_TRUE(editorClassRegistered());
    EXPECT_EQ(view->removed(), kResultOk);
}

TEST_F(ViewTest, SecondAttachIsRefusedAndLeavesTheFirstWindow) {
    ViewPtr view = create();
    ASSERT_EQ(view->attached(parent(), kPlatformTypeHWND), kResultOk);
    ViewRect size(0, 0, 1200, 800);
    ASSERT_EQ(view->onSize(&size), kResultOk);
    const HWND first = editorUnder(parent());
    ASSERT_NE(first, nullptr);

    testhost::EditorHost other;
    EXPECT_EQ(view->attached(parent(), kPlatformTypeHWND), kResultFalse);
    EXPECT_EQ(view->attached(other.hostWindow(), kPlatformTypeHWND), kResultFalse);
    EXPECT_EQ(editorWindowsUnder(other.hostWindow()), 0);
    EXPECT_EQ(editorWindowsUnder(parent()), 1);
    EXPECT_EQ(editorUnder(parent()), first);
    EXPECT_EQ(object(view.get())->nativeEditor().window(), first);
    EXPECT_TRUE(hasStyle(first, WS_VISIBLE | WS_CHILD));
    EXPECT_EQ(client(first), "1200x800");

    EXPECT_EQ(view->removed(), kResultOk);
    EXPECT_FALSE(IsWindow(first));
}

TEST_F(ViewTest, RemovedThenAttachedKeepsTabAndFocusTarget) {
    ViewPtr view = create();
    relay::NativeEditor& editor = object(view.get())->nativeEditor();
    ASSERT_EQ(view->attached(parent(), kPlatformTypeHWND), kResultOk);
    const HWND first = editorUnder(parent());
    // A click on the settings tab, as the mouse sends it.
    SendMessageW(first, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(380, 45));
    SendMessageW(first, WM_LBUTTONUP, 0, MAKELPARAM(380, 45));
    ASSERT_EQ(editor.tab, relay::kTabSettings);
    ASSERT_EQ(editor.focusTarget, relay::kFocusTabs);
    editor.peakHoldDb = {-20.0f, -30.0f};

    ASSERT_EQ(view->removed(), kResultOk);
    EXPECT_FALSE(IsWindow(first));
    EXPECT_EQ(editorWindowsUnder(parent()), 0);
    EXPECT_FALSE(editorClassRegistered());

    ASSERT_EQ(view->attached(parent(), kPlatformTypeHWND), kResultOk);
    EXPECT_EQ(editorWindowsUnder(parent()), 1);
    EXPECT_EQ(editor.tab, relay::kTabSettings);
    EXPECT_EQ(editor.focusTarget, relay::kFocusTabs);
    EXPECT_EQ(editor.peakHoldDb[0], -20.0f);
    EXPECT_EQ(editor.peakHoldDb[1], -30.0f);
    EXPECT_EQ(view->removed(), kResultOk);
}

TEST_F(ViewTest, OnSizeBeforeAttachOnlyStoresTheSize) {
    ViewPtr view = create();
    EXPECT_EQ(view->onSize(nullptr), kInvalidArgument);
    EXPECT_EQ(sizeOf(view.get()), "0,0,960,640") << "a null size changes nothing";
    ViewRect size(0, 0, 1200, 800);
    EXPECT_EQ(view->onSize(&size), kResultOk);
    EXPECT_EQ(sizeOf(view.get()), "0,0,1200,800");
    EXPECT_EQ(editorWindowsOnThread(), 0);

    ASSERT_EQ(view->attached(parent(), kPlatformTypeHWND), kResultOk);
    const HWND w = editorUnder(parent());
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(client(w), "1200x800");

    ViewRect smaller(0, 0, 720, 480);
    EXPECT_EQ(view->onSize(&smaller), kResultOk);
    EXPECT_EQ(client(w), "720x480") << "while attached the window follows at once";
    EXPECT_EQ(view->onSize(nullptr), kInvalidArgument);
    EXPECT_EQ(client(w), "720x480");
    EXPECT_EQ(view->removed(), kResultOk);
}

TEST_F(ViewTest, OnFocusTrueTakesTheFocusFalseLeavesIt) {
    ViewPtr view = create();
    ASSERT_EQ(view->attached(parent(), kPlatformTypeHWND), kResultOk);
    const HWND w = editorUnder(parent());
    relay::NativeEditor& editor = object(view.get())->nativeEditor();
    EXPECT_EQ(view->onFocus(true), kResultOk);
    EXPECT_EQ(GetFocus(), w);
    EXPECT_TRUE(editor.hasFocus());

    SetFocus(parent());
    ASSERT_EQ(GetFocus(), parent());
    EXPECT_EQ(view->onFocus(false), kResultOk);
    EXPECT_EQ(GetFocus(), parent()) << "false must not move the focus";
    EXPECT_FALSE(editor.hasFocus());
    EXPECT_EQ(view->removed(), kResultOk);
    EXPECT_FALSE(editor.hasFocus());
}

TEST_F(ViewTest, CheckSizeConstraint) {
    ViewPtr view = create();
    struct Case {
        ViewRect in, out;
    };
    const Case cases[] = {
        {{0, 0, 500, 300}, {0, 0, 720, 480}},
        {{10, 20, 2000, 100}, {10, 20, 1930, 1300}},
        {{0, 0, 1000, 0}, {0, 0, 1000, 666}},
        {{100, 0, 50, 0}, {100, 0, 820, 480}},
        {{0, 0, 960, 640}, {0, 0, 960, 640}},
    };
    for (const Case& c : cases) {
        ViewRect r = c.in;
        EXPECT_EQ(view->checkSizeConstraint(&r), kResultOk);
        EXPECT_EQ(text(r), text(c.out)) << text(c.in);
    }
    EXPECT_EQ(view->checkSizeConstraint(nullptr), kInvalidArgument);
    EXPECT_EQ(sizeOf(view.get()), "0,0,960,640") << "checking does not resize";
}

TEST_F(ViewTest, ContentScaleWithoutFrameResizesAtOnce) {
    ViewPtr view = create();
    ASSERT_EQ(view->attached(parent(), kPlatformTypeHWND), kResultOk);
    const HWND w = editorUnder(parent());
    FUnknownPtr<IPlugViewContentScaleSupport> scale(view.get());
    ASSERT_TRUE(scale);
    struct Case {
        float factor;
        std::string size, window;
    };
    const Case cases[] = {{0.75f, "720,480", "720x480"},
                          {2.0f, "1920,1280", "1920x1280"},
                          {1.05f, "1007,672", "1007x672"},
                          {1.5f, "1440,960", "1440x960"}};
    for (const Case& c : cases) {
        EXPECT_EQ(scale->setContentScaleFactor(c.factor), kResultOk) << c.factor;
        EXPECT_EQ(sizeOf(view.get()), "0,0," + c.size) << c.factor;
        EXPECT_EQ(client(w), c.window) << c.factor;
    }
    for (const float bad : {0.7499f, 2.0001f, kNaN, 0.0f, -1.0f, kInf}) {
        EXPECT_EQ(scale->setContentScaleFactor(bad), kInvalidArgument) << bad;
        EXPECT_EQ(sizeOf(view.get()), "0,0,1440,960") << bad;
        EXPECT_EQ(client(w), "1440x960") << bad;
    }
    EXPECT_EQ(view->removed(), kResultOk);
}

TEST_F(ViewTest, ContentScaleWithFrameAsksTheHost) {
    ViewPtr view = create();
    RecordingFrame frame;
    ASSERT_EQ(view->setFrame(&frame), kResultTrue);
    ASSERT_EQ(view->attached(parent(), kPlatformTypeHWND), kResultOk);
    const HWND w = editorUnder(parent());
    FUnknownPtr<IPlugViewContentScaleSupport> scale(view.get());
    ASSERT_TRUE(scale);

    for (const tresult answer : {kResultFalse, kResultOk, kInvalidArgument}) {
        frame.answer = answer;
        frame.view = nullptr;
        EXPECT_EQ(scale->setContentScaleFactor(1.5f), answer) << "the host's answer comes back unchanged";
        EXPECT_EQ(frame.view, view.get()) << "resizeView is given the IPlugView face";
        EXPECT_EQ(text(frame.rect), "0,0,1440,960");
        EXPECT_EQ(sizeOf(view.get()), "0,0,960,640") << "the size waits for the host's onSize";
        EXPECT_EQ(client(w), "960x640");
    }
    const int calls = frame.calls;
    EXPECT_EQ(scale->setContentScaleFactor(2.0001f), kInvalidArgument);
    EXPECT_EQ(frame.calls, calls) << "a refused factor does not reach the host";

    ViewRect granted = frame.rect;
    EXPECT_EQ(view->onSize(&granted), kResultOk);
    EXPECT_EQ(sizeOf(view.get()), "0,0,1440,960");
    EXPECT_EQ(client(w), "1440x960");
    EXPECT_EQ(view->removed(), kResultOk);
    view->setFrame(nullptr);
}

TEST_F(ViewTest, TheViewHoldsTheHostsFrame) {
    RecordingFrame first, second;
    {
        ViewPtr view = create();
        EXPECT_EQ(view->setFrame(&first), kResultTrue);
        EXPECT_EQ(first.refs, 2u);
        EXPECT_EQ(view->setFrame(&first), kResultTrue) << "the same frame again";
        EXPECT_EQ(first.refs, 2u);
        EXPECT_EQ(view->setFrame(nullptr), kResultTrue);
        EXPECT_EQ(first.refs, 1u);
        EXPECT_EQ(view->setFrame(&first), kResultTrue);
        EXPECT_EQ(view->setFrame(&second), kResultTrue);
        EXPECT_EQ(first.refs, 1u) << "a replaced frame is released";
        EXPECT_EQ(second.refs, 2u);
        ASSERT_EQ(view->attached(parent(), kPlatformTypeHWND), kResultOk);
    }
    EXPECT_EQ(second.refs, 1u) << "the last release lets go of a frame still set";
    EXPECT_EQ(second.calls, 0);
}

TEST_F(ViewTest, QueryInterfaceFacesShareOneCount) {
    ViewPtr view = create();
    relay::View* v = object(view.get());
    IPlugView* face = view.get();
    ASSERT_EQ(countOf(face), 1u);

    void* obj = nullptr;
    ASSERT_EQ(face->queryInterface(IPlugViewContentScaleSupport::iid, &obj), kResultOk);
    auto* scaleFace = static_cast<IPlugViewContentScaleSupport*>(obj);
    EXPECT_EQ(scaleFace, static_cast<IPlugViewContentScaleSupport*>(v));
    EXPECT_NE(static_cast<void*>(scaleFace), static_cast<void*>(face));
    EXPECT_EQ(countOf(face), 2u) << "one more reference, on the shared count";
    EXPECT_EQ(countOf(scaleFace), 2u);

    obj = nullptr;
    ASSERT_EQ(scaleFace->queryInterface(IPlugView::iid, &obj), kResultOk);
    EXPECT_EQ(obj, static_cast<void*>(face));
    EXPECT_EQ(countOf(face), 3u);
    EXPECT_EQ(static_cast<IPlugView*>(obj)->release(), 2u);
    EXPECT_EQ(scaleFace->release(), 1u);

    const void* objectFace = static_cast<Steinberg::FObject*>(v);
    for (const auto* iid : {&FUnknown::iid, &IDependent::iid}) {
        obj = nullptr;
        ASSERT_EQ(face->queryInterface(*iid, &obj), kResultOk);
        EXPECT_EQ(obj, objectFace);
        EXPECT_EQ(countOf(face), 2u);
        static_cast<FUnknown*>(obj)->release();
    }
    obj = nullptr;
    ASSERT_EQ(face->queryInterface(Steinberg::FObject::iid, &obj), kResultOk);
    EXPECT_EQ(obj, objectFace);
    static_cast<FUnknown*>(obj)->release();

    for (const auto* iid : {&Vst::IEditController::iid, &IPlugFrame::iid, &Vst::IComponent::iid}) {
        obj = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(face->queryInterface(*iid, &obj), kNoInterface);
        EXPECT_EQ(obj, nullptr);
    }
    EXPECT_EQ(countOf(face), 1u);
}

TEST_F(ViewTest, ClassIdQueries) {
    ViewPtr view = create();
    const relay::View* v = object(view.get());
    EXPECT_STREQ(v->isA(), "View");
    EXPECT_TRUE(v->isA("View"));
    EXPECT_FALSE(v->isA("CPluginView"));
    EXPECT_FALSE(v->isA("view"));
    EXPECT_FALSE(v->isA(nullptr));
    EXPECT_TRUE(v->isTypeOf("View", false));
    EXPECT_FALSE(v->isTypeOf("CPluginView", false));
    EXPECT_TRUE(v->isTypeOf("CPluginView", true));
    EXPECT_TRUE(v->isTypeOf("FObject", true));
    EXPECT_FALSE(v->isTypeOf("FObject", false));
    EXPECT_FALSE(v->isTypeOf("Plugin", true));
    EXPECT_FALSE(v->isTypeOf(nullptr, true));
}

TEST_F(ViewTest, ReleaseToZeroClosesTheWindowAndLetsGoOfThePlugin) {
    IPlugView* view = plugin->createView(Vst::ViewType::kEditor);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(countOf(plugin.get()), 2u);
    ASSERT_EQ(view->attached(parent(), kPlatformTypeHWND), kResultOk);
    const HWND w = editorUnder(parent());
    EXPECT_EQ(view->addRef(), 2u);
    EXPECT_EQ(view->release(), 1u);
    EXPECT_TRUE(IsWindow(w));
    EXPECT_EQ(countOf(plugin.get()), 2u) << "the view holds its plug-in until the last release";
    EXPECT_EQ(view->release(), 0u) << "released while attached, as a careless host does";
    EXPECT_FALSE(IsWindow(w));
    EXPECT_FALSE(editorClassRegistered());
    EXPECT_EQ(countOf(plugin.get()), 1u);
}

TEST_F(ViewTest, TheClassGoesOnlyWithTheLastEditor) {
    ViewPtr a = create(), b = create();
    EXPECT_EQ(countOf(plugin.get()), 3u);
    ASSERT_EQ(a->attached(parent(), kPlatformTypeHWND), kResultOk);
    ASSERT_EQ(b->attached(parent(), kPlatformTypeHWND), kResultOk);
    EXPECT_EQ(editorWindowsUnder(parent()), 2);
    const HWND wb = object(b.get())->nativeEditor().window();
    EXPECT_EQ(a->removed(), kResultOk);
    EXPECT_TRUE(editorClassRegistered()) << "the other editor still uses it";
    EXPECT_TRUE(IsWindow(wb));
    // The remaining editor can close and open again on the same class.
    EXPECT_EQ(a->attached(parent(), kPlatformTypeHWND), kResultOk);
    EXPECT_EQ(editorWindowsUnder(parent()), 2);
    a.reset();
    EXPECT_TRUE(editorClassRegistered());
    EXPECT_EQ(b->removed(), kResultOk);
    EXPECT_FALSE(editorClassRegistered());
}

// Host call orders, sane and not; each must leave no window, no class and
// no reference behind once the view is released.
TEST_F(ViewTest, AnyCallOrderLeavesNothingBehind) {
    using Step = std::function<void(IPlugView*, HWND)>;
    const Step attach = [](IPlugView* v, HWND p) { v->attached(p, kPlatformTypeHWND); };
    const Step remove = [](IPlugView* v, HWND) { EXPECT_EQ(v->removed(), kResultOk); };
    const Step size = [](IPlugView* v, HWND) {
        ViewRect r(0, 0, 1000, 700);
        v->onSize(&r);
    };
    const Step focus = [](IPlugView* v, HWND) { EXPECT_EQ(v->onFocus(true), kResultOk); };
    const Step scale = [](IPlugView* v, HWND) {
        FUnknownPtr<IPlugViewContentScaleSupport> s(v);
        s->setContentScaleFactor(1.25f);
    };
    const Step nulls = [](IPlugView* v, HWND) {
        EXPECT_EQ(v->attached(nullptr, nullptr), kResultFalse);
        EXPECT_EQ(v->onSize(nullptr), kInvalidArgument);
        EXPECT_EQ(v->checkSizeConstraint(nullptr), kInvalidArgument);
        EXPECT_EQ(v->getSize(nullptr), kInvalidArgument);
        EXPECT_EQ(v->setFrame(nullptr), kResultTrue);
        v->isPlatformTypeSupported(nullptr);
    };
    // The host drops its window before it calls removed.
    const Step lostParent = [](IPlugView* v, HWND) {
        testhost::EditorHost doomed;
        EXPECT_EQ(v->attached(doomed.hostWindow(), kPlatformTypeHWND), kResultOk);
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"nothing", {}},
        {"removed twice", {remove, remove}},
        {"attach, removed twice", {attach, remove, remove}},
        {"attach twice, removed", {attach, attach, remove}},
        {"removed, attach", {remove, attach}},
        {"attach only", {attach}},
        {"attach, removed, attach", {attach, remove, attach}},
        {"calls after removed", {attach, remove, size, focus, scale, focus, remove}},
        {"calls before attach", {size, scale, focus, attach, remove}},
        {"null arguments", {nulls, attach, nulls, remove, nulls}},
        {"parent gone first", {lostParent, focus, size, remove, attach, remove}},
        {"parent gone, no removed", {lostParent}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IPlugView* view = plugin->createView(Vst::ViewType::kEditor);
        ASSERT_NE(view, nullptr);
        for (const Step& step : c.steps) step(view, parent());
        EXPECT_LE(editorWindowsUnder(parent()), 1);
        EXPECT_EQ(view->release(), 0u);
        EXPECT_EQ(editorWindowsOnThread(), 0);
        EXPECT_FALSE(editorClassRegistered());
        EXPECT_EQ(countOf(plugin.get()), 1u);
    }
}

// --- through the built module ------------------------------------------------------------

constexpr std::uint8_t kClassId[16] = {0x2A, 0x4C, 0x3D, 0x71, 0x8B, 0xEA, 0x75, 0x4C,
                                       0xAA, 0x4D, 0x75, 0xC9, 0xC1, 0x02, 0xD3, 0x14};

class ModuleViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* path = std::getenv("VANTREL_DLL");
        ASSERT_NE(path, nullptr) << "VANTREL_DLL names the built module";
        module = std::make_unique<testhost::Module>(testhost::windowsPath(path));
        ASSERT_TRUE(module->loaded());
        factory = module->factory();
        ASSERT_NE(factory, nullptr);
        void* obj = nullptr;
        ASSERT_EQ(factory->createInstance(reinterpret_cast<FIDString>(kClassId), Vst::IComponent::iid, &obj),
                  kResultOk);
        component = static_cast<Vst::IComponent*>(obj);
        ASSERT_EQ(component->initialize(testhost::hostContext()), kResultOk);
        ASSERT_EQ(component->queryInterface(Vst::IEditController::iid, &obj), kResultOk);
        controller = static_cast<Vst::IEditController*>(obj);
        baseline = countOf(controller);
    }
    void TearDown() override {
        EXPECT_EQ(editorWindowsOnThread(), 0);
        EXPECT_FALSE(editorClassRegistered()) << "no class may outlive the module's editors";
        if (controller != nullptr) {
            EXPECT_EQ(countOf(controller), baseline) << "every view gave its plug-in reference back";
            controller->release();
        }
        if (component != nullptr) {
            component->terminate();
            EXPECT_EQ(component->release(), 0u);
        }
        if (factory != nullptr) factory->release();
        module.reset();
    }
    HWND parent() const { return host.hostWindow(); }

    testhost::EditorHost host;
    std::unique_ptr<testhost::Module> module;
    IPluginFactory* factory = nullptr;
    Vst::IComponent* component = nullptr;
    Vst::IEditController* controller = nullptr;
    uint32 baseline = 0;
};

TEST_F(ModuleViewTest, AHostsWholeCycle) {
    EXPECT_EQ(controller->createView(nullptr), nullptr);
    EXPECT_EQ(controller->createView("other"), nullptr);
    EXPECT_EQ(countOf(controller), baseline);
    IPlugView* view = controller->createView("editor");
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(countOf(controller), baseline + 1) << "a view keeps its plug-in";
    EXPECT_EQ(view->isPlatformTypeSupported("HWND"), kResultTrue);
    EXPECT_EQ(view->isPlatformTypeSupported(nullptr), kResultFalse);
    EXPECT_EQ(view->attached(parent(), nullptr), kResultFalse);
    EXPECT_EQ(view->attached(parent(), "NSView"), kResultFalse);
    EXPECT_EQ(view->attached(nullptr, "HWND"), kResultFalse);
    EXPECT_EQ(editorWindowsUnder(parent()), 0);
    EXPECT_FALSE(editorClassRegistered());

    ASSERT_EQ(view->attached(parent(), "HWND"), kResultOk);
    const HWND first = editorUnder(parent());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(client(first), "960x640");
    EXPECT_TRUE(editorClassRegistered());
    EXPECT_EQ(view->attached(parent(), "HWND"), kResultFalse);
    EXPECT_EQ(editorWindowsUnder(parent()), 1);
    EXPECT_EQ(editorUnder(parent()), first);

    ViewRect size(0, 0, 1200, 800);
    EXPECT_EQ(view->onSize(&size), kResultOk);
    EXPECT_EQ(client(first), "1200x800");
    EXPECT_EQ(view->onSize(nullptr), kInvalidArgument);
    EXPECT_EQ(view->onFocus(true), kResultOk);
    EXPECT_EQ(GetFocus(), first);

    EXPECT_EQ(view->removed(), kResultOk);
    EXPECT_FALSE(IsWindow(first));
    EXPECT_FALSE(editorClassRegistered());
    EXPECT_EQ(view->removed(), kResultOk);

    ASSERT_EQ(view->attached(parent(), "HWND"), kResultOk);
    const HWND second = editorUnder(parent());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(client(second), "1200x800") << "a new window at the size the host gave";
    EXPECT_EQ(view->release(), 0u) << "released while attached";
    EXPECT_FALSE(IsWindow(second));
}

TEST_F(ModuleViewTest, ContentScaleFace) {
    IPlugView* view = controller->createView("editor");
    ASSERT_NE(view, nullptr);
    void* obj = nullptr;
    ASSERT_EQ(view->queryInterface(IPlugViewContentScaleSupport::iid, &obj), kResultOk);
    auto* scale = static_cast<IPlugViewContentScaleSupport*>(obj);
    ASSERT_NE(scale, nullptr);
    EXPECT_NE(obj, static_cast<void*>(view));
    EXPECT_EQ(countOf(view), 2u);

    obj = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(view->queryInterface(IPlugFrame::iid, &obj), kNoInterface);
    EXPECT_EQ(obj, nullptr);

    ASSERT_EQ(view->attached(parent(), "HWND"), kResultOk);
    const HWND w = editorUnder(parent());
    EXPECT_EQ(scale->setContentScaleFactor(0.7499f), kInvalidArgument);
    EXPECT_EQ(scale->setContentScaleFactor(kNaN), kInvalidArgument);
    EXPECT_EQ(scale->setContentScaleFactor(0.75f), kResultOk);
    EXPECT_EQ(client(w), "720x480");

    EXPECT_EQ(scale->release(), 1u);
    EXPECT_EQ(view->removed(), kResultOk);
    EXPECT_EQ(view->release(), 0u);
}

// This program and the module each hold a copy of the editor, and both name
// their class under the host's instance. An editor must never run its window
// on the other copy's procedure, which knows nothing of its object and goes
// away with its module: the second copy to open is refused.
TEST_F(ModuleViewTest, AnEditorNeverRunsOnAnotherCopysWindowProcedure) {
    relay::test::PluginPtr local = relay::test::makeQuietPlugin();
    ViewPtr localView(local->createView("editor"));
    ViewPtr moduleView(controller->createView("editor"));
    for (const bool moduleFirst : {true, false}) {
        IPlugView* first = moduleFirst ? moduleView.get() : localView.get();
        IPlugView* second = moduleFirst ? localView.get() : moduleView.get();
        ASSERT_EQ(first->attached(parent(), "HWND"), kResultOk);
        const auto proc = GetWindowLongPtrW(editorUnder(parent()), GWLP_WNDPROC);
        EXPECT_EQ(proc == reinterpret_cast<LONG_PTR>(&relay::NativeEditor::windowProc), !moduleFirst);
        EXPECT_EQ(second->attached(parent(), "HWND"), kResultFalse);
        EXPECT_EQ(editorWindowsUnder(parent()), 1) << "a refusal leaves no window";
        EXPECT_EQ(second->removed(), kResultOk);
        EXPECT_EQ(first->removed(), kResultOk);
        EXPECT_FALSE(editorClassRegistered());
    }
}

}  // namespace
