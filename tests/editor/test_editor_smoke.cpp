// The whole editor as a host meets it: the built module, a processing thread
// feeding a chord, a component handler that hears every edit, and a host
// window that opens, clicks, resizes and closes the plug-in's view.
#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "support/edit_recorder.h"
#include "support/editor_windows.h"
#include "tools/testhost/editor_host.h"
#include "tools/testhost/host_objects.h"
#include "tools/testhost/realtime.h"

namespace relay::test {
namespace {

using namespace Steinberg;
using namespace Steinberg::Vst;

constexpr std::array<std::uint8_t, 16> kClassId = {0x2A, 0x4C, 0x3D, 0x71, 0x8B, 0xEA, 0x75, 0x4C,
                                                   0xAA, 0x4D, 0x75, 0xC9, 0xC1, 0x02, 0xD3, 0x14};
constexpr double kRate = 48000.0;
constexpr int32 kFrames = 512;

std::wstring clipboardText() {
    std::wstring text;
    if (!OpenClipboard(nullptr)) return L"<clipboard busy>";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) text = chars;
        GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
}

// The reference count of an interface, read without changing it.
uint32 references(FUnknown* unknown) {
    const uint32 count = unknown->addRef() - 1;
    unknown->release();
    return count;
}

template <typename T>
T* query(FUnknown* from) {
    void* obj = nullptr;
    return from->queryInterface(T::iid, &obj) == kResultOk ? static_cast<T*>(obj) : nullptr;
}

// A host's audio thread: the chord, one block per block time.
class AudioThread {
public:
    explicit AudioThread(IAudioProcessor* processor)
        : thread_([this, processor] {
              testhost::BusBuffers<float> buffers(2, kFrames);
              std::uint64_t n = 0;
              auto next = std::chrono::steady_clock::now();
              while (!stop_.load()) {
                  for (int32 i = 0; i < kFrames; ++i, ++n)
                      testhost::testSignal("chord", n, kRate, buffers.in[0][i], buffers.in[1][i]);
                  Vst::ProcessData data = testhost::makeProcessData(buffers, kFrames);
                  if (processor->process(data) != kResultOk || buffers.out[0] != buffers.in[0]) failures_++;
                  blocks_++;
                  next += std::chrono::microseconds(static_cast<int>(kFrames * 1e6 / kRate));
                  std::this_thread::sleep_until(next);
              }
          }) {}
    ~AudioThread() { stop(); }
    void stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    int blocks() const { return blocks_.load(); }
    int failures() const { return failures_.load(); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> blocks_{0}, failures_{0};
    std::thread thread_;
};

TEST(EditorSmoke, OpenClickResizeAndCloseWhileAudioRuns) {
    // 1. The module, one instance, processing a chord on its own thread.
    const char* dll = std::getenv("VANTREL_DLL");
    ASSERT_NE(dll, nullptr);
    testhost::Module module(testhost::windowsPath(dll));
    ASSERT_TRUE(module.loaded());
    IPluginFactory* factory = module.factory();
    ASSERT_NE(factory, nullptr);
    void* obj = nullptr;
    ASSERT_EQ(factory->createInstance(reinterpret_cast<FIDString>(kClassId.data()), IComponent::iid, &obj), kResultOk);
    auto* component = static_cast<IComponent*>(obj);
    ASSERT_EQ(component->initialize(testhost::hostContext()), kResultOk);
    IAudioProcessor* processor = query<IAudioProcessor>(component);
    IEditController* controller = query<IEditController>(component);
    ASSERT_NE(processor, nullptr);
    ASSERT_NE(controller, nullptr);
    EditRecorder recorder;
    ASSERT_EQ(controller->setComponentHandler(&recorder), kResultOk);
    SpeakerArrangement stereo = SpeakerArr::kStereo;
    ASSERT_EQ(processor->setBusArrangements(&stereo, 1, &stereo, 1), kResultOk);
    ProcessSetup setup{kRealtime, kSample32, kFrames, kRate};
    ASSERT_EQ(processor->setupProcessing(setup), kResultOk);
    ASSERT_EQ(component->setActive(true), kResultOk);
    processor->setProcessing(true);
    AudioThread audio(processor);

    // 2. The host window, and what exists before the view.
    testhost::EditorHost host;
    testhost::EditorHost::pump(100);
    const int windowsBefore = threadWindows();
    const DWORD gdiBefore = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    const DWORD userBefore = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    const uint32 pluginRefsBefore = references(controller);
    EXPECT_FALSE(editorClassRegistered());

    // 3. Open the editor and let it paint while the chord streams.
    ASSERT_TRUE(host.open(controller->createView("editor")));
    EXPECT_EQ(references(controller), pluginRefsBefore + 1) << "the view keeps the plug-in alive";
    EXPECT_EQ(threadWindows(kEditorClass), 1);
    EXPECT_TRUE(editorClassRegistered());
    testhost::EditorHost::pump(800);

    // 4. Click every region; the host must hear each edit, nothing else.
    std::string heard;
    bool broadcast = false, mono = false;
    double level = 60.0 / 66.0;
    const auto clickBroadcast = [&] {
        host.click(847, 44);
        broadcast = !broadcast;
        heard += EditRecorder::edit(100, broadcast ? 1.0 : 0.0);
    };
    const auto clickMono = [&] {
        host.click(506, 424);
        mono = !mono;
        heard += EditRecorder::edit(102, mono ? 1.0 : 0.0);
    };
    clickBroadcast();
    clickMono();
    host.click(308, 500);  // the middle of the slider's track
    level = 0.5;
    heard += EditRecorder::edit(101, level);
    host.click(300, 450);
    host.click(300, 450, true);  // double click above the track: 0 dB
    level = 60.0 / 66.0;
    heard += EditRecorder::edit(101, level);
    host.key(VK_LEFT);  // the slider has the focus after the drag
    level = 59.5 / 66.0;
    heard += EditRecorder::edit(101, level);
    host.click(377, 45);  // tab "Ayarlar"
    host.click(506, 424);  // where mono is on the other tab: nothing
    testhost::EditorHost::pump(300);
    host.click(829, 485);  // copy
    const std::wstring copied = clipboardText();
    EXPECT_EQ(copied.rfind(L"http://", 0), 0u) << "the pairing URL is on the clipboard";
    EXPECT_NE(copied.find(L"/?key="), std::wstring::npos);
    host.click(268, 45);  // tab "Dinleme"
    clickBroadcast();
    host.key(VK_SPACE);  // the broadcast button has the focus
    broadcast = !broadcast;
    heard += EditRecorder::edit(100, broadcast ? 1.0 : 0.0);
    testhost::EditorHost::pump(300);

    // 5. Resize through the whole range, by size and by content scale, and
    // click at each size once its paint has taken the new scale.
    for (int32 width : {720, 840, 960, 1280, 1600, 1920, 500, 2400}) {
        SCOPED_TRACE("width " + std::to_string(width));
        const ViewRect taken = host.resizeTo(width, 100);
        const int32 expected = width < 720 ? 720 : width > 1920 ? 1920 : width;
        EXPECT_EQ(taken.getWidth(), expected);
        EXPECT_EQ(taken.getHeight(), expected * 2 / 3);
        RECT client{};
        GetClientRect(host.editorWindow(), &client);
        EXPECT_EQ(client.right, expected);
        EXPECT_EQ(client.bottom, expected * 2 / 3);
        UpdateWindow(host.editorWindow());
        clickMono();
        testhost::EditorHost::pump(150);
    }
    for (float factor : {0.75f, 1.0f, 1.25f, 1.5f, 2.0f}) {
        SCOPED_TRACE("content scale " + std::to_string(factor));
        ASSERT_EQ(host.setContentScale(factor), kResultOk);
        RECT client{};
        GetClientRect(host.editorWindow(), &client);
        EXPECT_EQ(client.right, static_cast<LONG>(factor * 960.0f));
        UpdateWindow(host.editorWindow());
        clickBroadcast();
        testhost::EditorHost::pump(150);
    }
    EXPECT_EQ(host.setContentScale(0.5f), kInvalidArgument);
    EXPECT_EQ(host.setContentScale(2.5f), kInvalidArgument);
    testhost::EditorHost::pump(1000);

    // 6. What the host sees matches what was clicked; the bypass stays off.
    EXPECT_EQ(recorder.take(), heard);
    EXPECT_EQ(controller->getParamNormalized(100), broadcast ? 1.0 : 0.0);
    EXPECT_EQ(controller->getParamNormalized(101), level);
    EXPECT_EQ(controller->getParamNormalized(102), mono ? 1.0 : 0.0);
    EXPECT_EQ(controller->getParamNormalized(103), 0.0);

    // 7. Close: no editor window, no class, no extra windows or handles, and
    // the plug-in's count as before the view.
    host.close();
    testhost::EditorHost::pump(200);
    EXPECT_EQ(threadWindows(kEditorClass), 0);
    EXPECT_FALSE(editorClassRegistered());
    EXPECT_EQ(threadWindows(), windowsBefore);
    // Wine answers 0 for both counts; on Windows they show leaked handles.
    EXPECT_LE(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), gdiBefore + 4);
    EXPECT_LE(GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS), userBefore + 2);
    EXPECT_EQ(references(controller), pluginRefsBefore);

    // 8. The audio ran throughout, untouched by the editor.
    audio.stop();
    EXPECT_GT(audio.blocks(), 300) << "about four seconds of blocks";
    EXPECT_EQ(audio.failures(), 0) << "every block processed and passed through unchanged";
    processor->setProcessing(false);
    component->setActive(false);
    controller->setComponentHandler(nullptr);
    EXPECT_EQ(recorder.references, 0);
    component->terminate();
    controller->release();
    processor->release();
    EXPECT_EQ(component->release(), 0u);
    factory->release();
}

}  // namespace
}  // namespace relay::test
