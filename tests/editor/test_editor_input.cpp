// The editor's input through real window messages sent to its child window,
// with the plug-in in this process and a host component handler that writes
// down every edit gesture the host would see.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "editor/view.h"
#include "plugin/parameters.h"
#include "server/server_thread.h"
#include "support/edit_recorder.h"
#include "support/failing_allocator.h"
#include "support/plugin_support.h"
#include "tools/testhost/editor_host.h"

namespace relay::test {
namespace {

using namespace Steinberg;

constexpr std::uint32_t kPort = 49731;
constexpr double kZeroDb = 60.0 / 66.0;

LPARAM at(int x, int y) { return MAKELPARAM(static_cast<WORD>(x), static_cast<WORD>(y)); }

std::wstring wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The clipboard's UTF-16 text, or "<none>".
std::wstring clipboardText(HWND owner) {
    std::wstring text = L"<none>";
    if (!OpenClipboard(owner)) return L"<clipboard busy>";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = chars;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

bool putClipboardText(HWND owner, const std::wstring& text) {
    if (!OpenClipboard(owner)) return false;
    EmptyClipboard();
    const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool done = false;
    if (void* memory = block != nullptr ? GlobalLock(block) : nullptr) {
        std::memcpy(memory, text.c_str(), bytes);
        GlobalUnlock(block);
        done = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
    }
    if (!done && block != nullptr) GlobalFree(block);
    CloseClipboard();
    return done;
}

void setShift(bool down) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_SHIFT] = down ? 0x80 : 0;
    keys[VK_LSHIFT] = down ? 0x80 : 0;
    SetKeyboardState(keys);
}

// The test prefix sends every URL that Wine would hand to a desktop browser
// to scripts/test-browser, which only writes it to a log. Clicking the open
// line anywhere else could start a real browser.
bool browserIsTheTestScript() {
    wchar_t value[1024] = {};
    DWORD bytes = sizeof(value);
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Wine\\WineBrowser", L"Browsers", RRF_RT_REG_SZ, nullptr, value,
                     &bytes) != ERROR_SUCCESS)
        return false;
    const std::wstring browsers = value;
    const std::wstring script = L"/scripts/test-browser";
    return browsers.size() > script.size() && browsers.compare(browsers.size() - script.size(), script.size(), script) == 0;
}

// How many lines of the test browser's log are exactly `url`.
int timesOpened(const std::string& url) {
    const char* log = std::getenv("VANTREL_BROWSER_LOG");
    if (log == nullptr) return -1;
    FILE* f = _wfopen(testhost::windowsPath(log).c_str(), L"rb");
    if (f == nullptr) return 0;
    int count = 0;
    char line[1024];
    while (std::fgets(line, sizeof(line), f) != nullptr) {
        std::string s = line;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (s == url) ++count;
    }
    std::fclose(f);
    return count;
}

class EditorInput : public ::testing::Test {
protected:
    // One host window for the suite: under Wine without a window manager,
    // destroying a top-level window waits two seconds for the X server.
    static void SetUpTestSuite() { shared.emplace(); }
    static void TearDownTestSuite() { shared.reset(); }

    void SetUp() override {
        plugin->stream.port.store(kPort);
        ASSERT_EQ(plugin->setComponentHandler(&recorder), kResultOk);
        ASSERT_TRUE(window.open(plugin->createView("editor")));
        editor = &static_cast<View*>(window.view())->nativeEditor();
        hwnd = editor->window();
        ASSERT_NE(hwnd, nullptr);
    }
    void TearDown() override {
        setShift(false);
        EXPECT_EQ(seen.find(" 103"), std::string::npos) << "the editor never edits the bypass";
        window.close();
        plugin->setComponentHandler(nullptr);
        EXPECT_EQ(recorder.references, 0);
    }

    LRESULT send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) { return SendMessageW(hwnd, message, wParam, lParam); }
    void press(int x, int y) { send(WM_LBUTTONDOWN, MK_LBUTTON, at(x, y)); }
    void click(int x, int y) {
        press(x, y);
        send(WM_LBUTTONUP, 0, at(x, y));
    }
    LRESULT key(WPARAM vk) { return send(WM_KEYDOWN, vk, 1); }
    // What the host heard since the last call.
    std::string edits() {
        std::string heard = recorder.take();
        seen += heard;
        return heard;
    }
    // Starts every case from the same place: nothing on, 0 dB, no notice,
    // nothing heard, no pending repaint.
    void reset(std::int32_t tab, std::int32_t focus) {
        plugin->setParamNormalized(kParamBroadcast, 0.0);
        plugin->setParamNormalized(kParamMonoSend, 0.0);
        plugin->setParamNormalized(kParamSendLevel, kZeroDb);
        editor->tab = tab;
        editor->focusTarget = focus;
        editor->copiedUntilMs = 0;
        edits();
        ValidateRect(hwnd, nullptr);
    }
    bool repaintRequested() const { return GetUpdateRect(hwnd, nullptr, FALSE) != FALSE; }
    double level() { return plugin->getParamNormalized(kParamSendLevel); }

    PluginPtr plugin = makeQuietPlugin();
    EditRecorder recorder;
    static inline std::optional<testhost::EditorHost> shared;
    testhost::EditorHost& window = *shared;
    NativeEditor* editor = nullptr;
    HWND hwnd = nullptr;
    std::string seen;
};

// --- clicks ----------------------------------------------------------------------

enum class Hit { None, TabListening, TabSettings, Broadcast, Mono, Copy, Open };

// columns: region, {left, top, right, bottom} in logical units, tab the
// clicks start on, what a click inside does
struct RegionCase {
    const char* name;
    int left, top, right, bottom;
    std::int32_t tab;
    Hit hit;
};
constexpr RegionCase kRegions[] = {
    {"tab Dinleme", 224, 25, 313, 65, kTabSettings, Hit::TabListening},
    {"tab Ayarlar", 330, 25, 424, 65, kTabListening, Hit::TabSettings},
    {"broadcast on listening", 764, 22, 930, 66, kTabListening, Hit::Broadcast},
    {"broadcast on settings", 764, 22, 930, 66, kTabSettings, Hit::Broadcast},
    {"mono on listening", 458, 408, 555, 440, kTabListening, Hit::Mono},
    {"mono on settings", 458, 408, 555, 440, kTabSettings, Hit::None},
    {"copy on listening", 740, 468, 918, 502, kTabListening, Hit::Copy},
    {"copy on settings", 740, 468, 918, 502, kTabSettings, Hit::Copy},
    {"open on listening", 728, 505, 932, 535, kTabListening, Hit::Open},
    {"open on settings", 728, 505, 932, 535, kTabSettings, Hit::Open},
};

TEST_F(EditorInput, EveryClickRegionAtItsEdgesAndJustOutside) {
    ASSERT_TRUE(browserIsTheTestScript()) << "scripts/wine-prefix start routes Wine's browser to the test script";
    const std::string url = plugin->stream.pairingUrl();
    const int openedBefore = timesOpened(url);
    ASSERT_GE(openedBefore, 0) << "VANTREL_BROWSER_LOG names the test browser's log";
    int opens = 0;
    constexpr std::int32_t kUntouchedFocus = kFocusSlider;  // no click moves the focus there
    for (const RegionCase& r : kRegions) {
        const int midX = (r.left + r.right) / 2, midY = (r.top + r.bottom) / 2;
        struct Probe {
            int x, y;
            bool inside;
        };
        const Probe probes[] = {{r.left, r.top, true},       {r.right, r.top, true},     {r.left, r.bottom, true},
                                {r.right, r.bottom, true},   {r.left - 1, midY, false},  {r.right + 1, midY, false},
                                {midX, r.top - 1, false},    {midX, r.bottom + 1, false}};
        for (const Probe& p : probes) {
            SCOPED_TRACE(std::string(r.name) + " at " + std::to_string(p.x) + "," + std::to_string(p.y));
            reset(r.tab, kUntouchedFocus);
            click(p.x, p.y);
            const Hit hit = p.inside ? r.hit : Hit::None;
            std::int32_t tab = r.tab, focus = kUntouchedFocus;
            std::string heard;
            switch (hit) {
                case Hit::TabListening: tab = kTabListening; break;
                case Hit::TabSettings: tab = kTabSettings, focus = kFocusTabs; break;
                case Hit::Broadcast: focus = kFocusBroadcast, heard = EditRecorder::edit(kParamBroadcast, 1.0); break;
                case Hit::Mono: focus = kFocusMono, heard = EditRecorder::edit(kParamMonoSend, 1.0); break;
                case Hit::Copy: focus = kFocusCopy; break;
                case Hit::Open: ++opens; break;
                case Hit::None: break;
            }
            EXPECT_EQ(editor->tab, tab);
            EXPECT_EQ(editor->focusTarget, focus);
            EXPECT_EQ(edits(), heard);
            EXPECT_EQ(editor->copiedUntilMs != 0, hit == Hit::Copy);
            EXPECT_FALSE(editor->dragging);
            EXPECT_TRUE(repaintRequested()) << "every click, hit or miss, repaints";
        }
    }
    EXPECT_EQ(plugin->getParamNormalized(kParamDisabled), 0.0);
    // The browser starts asynchronously: wait for all of them, then make sure
    // no more come.
    EXPECT_TRUE(waitUntil([&] { return timesOpened(url) >= openedBefore + opens; }, 20000ms));
    testhost::EditorHost::pump(500);
    EXPECT_EQ(timesOpened(url), openedBefore + opens);
}

TEST_F(EditorInput, OpenLineOpensThePairingUrlEvenWithoutAPort) {
    ASSERT_TRUE(browserIsTheTestScript()) << "scripts/wine-prefix start routes Wine's browser to the test script";
    plugin->stream.port.store(0);
    const std::string url = plugin->stream.pairingUrl();
    ASSERT_NE(url.find(":0/?key="), std::string::npos) << url;
    const int before = timesOpened(url);
    ASSERT_GE(before, 0);
    reset(kTabListening, kFocusMono);
    click(830, 520);
    EXPECT_EQ(editor->focusTarget, kFocusMono);
    EXPECT_EQ(edits(), "");
    EXPECT_TRUE(waitUntil([&] { return timesOpened(url) == before + 1; }, 20000ms)) << url;
}

// --- the send-level drag and the reset ------------------------------------------------

TEST_F(EditorInput, DragSetsTheLevelUntilReleaseOrCaptureLoss) {
    reset(kTabListening, kFocusBroadcast);
    press(64, 475);  // the drag region's top-left corner, 12 units left of the track
    EXPECT_TRUE(editor->dragging);
    EXPECT_EQ(GetCapture(), hwnd);
    EXPECT_EQ(editor->focusTarget, kFocusSlider);
    EXPECT_EQ(edits(), EditRecorder::edit(kParamSendLevel, 0.0));
    EXPECT_EQ(plugin->stream.sendLevelDb.load(), -60.0f);
    send(WM_MOUSEMOVE, MK_LBUTTON, at(600, 10));  // far right, far above: y does not matter
    EXPECT_EQ(edits(), EditRecorder::edit(kParamSendLevel, 1.0));
    EXPECT_EQ(plugin->stream.sendLevelDb.load(), 6.0f);
    send(WM_MOUSEMOVE, MK_LBUTTON, at(308, 500));  // the track's middle
    EXPECT_EQ(edits(), EditRecorder::edit(kParamSendLevel, 0.5));
    send(WM_MOUSEMOVE, MK_LBUTTON, at(-20, 500));  // left of the window while captured
    EXPECT_EQ(edits(), EditRecorder::edit(kParamSendLevel, 0.0));
    send(WM_LBUTTONUP, 0, at(-20, 500));
    EXPECT_FALSE(editor->dragging);
    EXPECT_EQ(GetCapture(), nullptr);
    send(WM_MOUSEMOVE, 0, at(300, 500));
    EXPECT_EQ(edits(), "") << "moves after the release change nothing";

    press(540, 535);  // bottom-right of the track: +6 dB
    EXPECT_EQ(edits(), EditRecorder::edit(kParamSendLevel, 1.0));
    SetCapture(window.hostWindow());  // another window takes the capture
    EXPECT_FALSE(editor->dragging);
    send(WM_MOUSEMOVE, MK_LBUTTON, at(100, 500));
    EXPECT_EQ(edits(), "");
    ReleaseCapture();

    reset(kTabSettings, kFocusBroadcast);
    press(64, 475);
    EXPECT_FALSE(editor->dragging) << "no slider on the settings tab";
    EXPECT_EQ(GetCapture(), nullptr);
    EXPECT_EQ(editor->focusTarget, kFocusBroadcast);
    EXPECT_EQ(editor->tab, kTabSettings);
    EXPECT_EQ(edits(), "");
    EXPECT_TRUE(repaintRequested());
}

TEST_F(EditorInput, DoubleClickResetsTheLevelOnlyInTheResetRegion) {
    // columns: point, tab, what the first press does, what the double click does
    struct Case {
        int x, y;
        std::int32_t tab;
        std::string firstPress, doubleClick;
    };
    const std::string reset0dB = EditRecorder::edit(kParamSendLevel, kZeroDb);
    const Case cases[] = {
        {300, 450, kTabListening, "", reset0dB},  // above the drag region: a click on nothing
        {500, 440, kTabListening, EditRecorder::edit(kParamMonoSend, 1.0), reset0dB},  // mono's lower edge
        {64, 555, kTabListening, "", reset0dB},  // the reset region's bottom-left corner
        {63, 450, kTabListening, "", ""},
        {300, 556, kTabListening, "", ""},
        {300, 450, kTabSettings, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y) + " tab " + std::to_string(c.tab));
        reset(c.tab, kFocusBroadcast);
        plugin->setParamNormalized(kParamSendLevel, 0.25);
        press(c.x, c.y);
        send(WM_LBUTTONUP, 0, at(c.x, c.y));
        EXPECT_EQ(edits(), c.firstPress);
        EXPECT_FALSE(editor->dragging);
        send(WM_LBUTTONDBLCLK, MK_LBUTTON, at(c.x, c.y));
        send(WM_LBUTTONUP, 0, at(c.x, c.y));
        EXPECT_EQ(edits(), c.doubleClick);
        EXPECT_EQ(level(), c.doubleClick.empty() ? 0.25 : kZeroDb);
    }
}

// --- keys ------------------------------------------------------------------------------

TEST_F(EditorInput, TabAndShiftTabCycleThroughAllFiveTargetsOnBothTabs) {
    for (std::int32_t tab : {kTabListening, kTabSettings}) {
        for (std::int32_t from = 0; from < 5; ++from) {
            SCOPED_TRACE("tab " + std::to_string(tab) + " from " + std::to_string(from));
            reset(tab, from);
            setShift(false);
            EXPECT_EQ(key(VK_TAB), 0);
            EXPECT_EQ(editor->focusTarget, (from + 1) % 5);
            EXPECT_TRUE(repaintRequested());
            reset(tab, from);
            setShift(true);
            ASSERT_LT(GetKeyState(VK_SHIFT), 0) << "SetKeyboardState holds Shift down for this thread";
            EXPECT_EQ(key(VK_TAB), 0);
            EXPECT_EQ(editor->focusTarget, (from + 4) % 5);
            EXPECT_EQ(editor->tab, tab);
            EXPECT_EQ(edits(), "");
        }
    }
    setShift(false);
}

TEST_F(EditorInput, ArrowsStepHalfADecibelAndStopAtTheEnds) {
    // columns: level before (dB), key, normalized value the host hears
    struct Case {
        double db;
        WPARAM vk;
        double heard;
    };
    const Case cases[] = {
        {0.0, VK_RIGHT, 60.5 / 66.0}, {0.0, VK_LEFT, 59.5 / 66.0}, {5.8, VK_RIGHT, 1.0},
        {6.0, VK_RIGHT, 1.0},         {-60.0, VK_LEFT, 0.0},       {-59.75, VK_LEFT, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.db) + (c.vk == VK_RIGHT ? " right" : " left"));
        reset(kTabListening, kFocusSlider);
        plugin->setParamNormalized(kParamSendLevel, (c.db + 60.0) / 66.0);
        EXPECT_EQ(key(c.vk), 0);
        EXPECT_EQ(edits(), EditRecorder::edit(kParamSendLevel, c.heard));
    }
    // Five presses from 0 dB: +2.5 dB exactly.
    reset(kTabListening, kFocusSlider);
    for (int i = 0; i < 5; ++i) key(VK_RIGHT);
    EXPECT_EQ(plugin->stream.sendLevelDb.load(), 2.5f);
}

TEST_F(EditorInput, ArrowsDoNothingOnSettingsOrWithTheFocusElsewhere) {
    const std::pair<std::int32_t, std::int32_t> places[] = {
        {kTabSettings, kFocusSlider}, {kTabListening, kFocusBroadcast}, {kTabListening, kFocusMono},
        {kTabListening, kFocusCopy},  {kTabListening, kFocusTabs}};
    for (const auto& [tab, focus] : places) {
        for (WPARAM vk : {VK_LEFT, VK_RIGHT}) {
            SCOPED_TRACE("tab " + std::to_string(tab) + " focus " + std::to_string(focus));
            reset(tab, focus);
            EXPECT_EQ(key(vk), 0) << "the key is still consumed";
            EXPECT_EQ(edits(), "");
            EXPECT_EQ(editor->focusTarget, focus);
            EXPECT_EQ(editor->tab, tab);
            EXPECT_FALSE(repaintRequested());
        }
    }
}

TEST_F(EditorInput, SpaceAndEnterActOnTheFocusTarget) {
    enum Result { Toggle100, Reset101, Toggle102, Copy, Switch };
    // columns: tab, focus target, what Space or Enter does there
    const struct {
        std::int32_t tab, focus;
        Result result;
    } cases[] = {
        {kTabListening, kFocusBroadcast, Toggle100}, {kTabSettings, kFocusBroadcast, Toggle100},
        {kTabListening, kFocusSlider, Reset101},     {kTabSettings, kFocusSlider, Switch},
        {kTabListening, kFocusMono, Toggle102},      {kTabSettings, kFocusMono, Switch},
        {kTabListening, kFocusCopy, Copy},           {kTabSettings, kFocusCopy, Copy},
        {kTabListening, kFocusTabs, Switch},         {kTabSettings, kFocusTabs, Switch},
    };
    for (const auto& c : cases) {
        for (WPARAM vk : {VK_SPACE, VK_RETURN}) {
            SCOPED_TRACE("tab " + std::to_string(c.tab) + " focus " + std::to_string(c.focus) + " key " +
                         std::to_string(vk));
            reset(c.tab, c.focus);
            plugin->setParamNormalized(kParamSendLevel, 0.25);
            EXPECT_EQ(key(vk), 0);
            std::string heard;
            if (c.result == Toggle100) heard = EditRecorder::edit(kParamBroadcast, 1.0);
            if (c.result == Reset101) heard = EditRecorder::edit(kParamSendLevel, kZeroDb);
            if (c.result == Toggle102) heard = EditRecorder::edit(kParamMonoSend, 1.0);
            EXPECT_EQ(edits(), heard);
            EXPECT_EQ(editor->tab, c.result == Switch ? 1 - c.tab : c.tab);
            EXPECT_EQ(editor->focusTarget, c.focus);
            EXPECT_EQ(editor->copiedUntilMs != 0, c.result == Copy);
            EXPECT_EQ(repaintRequested(), c.result != Copy) << "a keyboard copy waits for the timer's paint";
            if (c.result != Reset101) {
                EXPECT_EQ(level(), 0.25);
            }
        }
    }
    // Auto-repeat: every key-down toggles again.
    reset(kTabListening, kFocusBroadcast);
    for (int i = 0; i < 3; ++i) key(VK_SPACE);
    EXPECT_EQ(edits(), EditRecorder::edit(kParamBroadcast, 1.0) + EditRecorder::edit(kParamBroadcast, 0.0) +
                           EditRecorder::edit(kParamBroadcast, 1.0));
}

TEST_F(EditorInput, MessageResultsAndWhatGoesToTheDefaultProcedure) {
    reset(kTabListening, kFocusSlider);
    EXPECT_EQ(send(WM_GETDLGCODE), 0x83);
    HDC dc = GetDC(hwnd);
    EXPECT_EQ(send(WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc)), 1);
    ReleaseDC(hwnd, dc);
    // columns: message, wParam
    const std::pair<UINT, WPARAM> passed[] = {
        {WM_CHAR, L' '},       {WM_CHAR, L'\t'},      {WM_CHAR, L'a'},       {WM_KEYDOWN, VK_UP},
        {WM_KEYDOWN, VK_DOWN}, {WM_KEYDOWN, VK_ESCAPE}, {WM_KEYDOWN, 'A'},   {WM_KEYDOWN, VK_HOME},
        {WM_KEYUP, VK_SPACE},  {WM_GETTEXTLENGTH, 0},
    };
    for (const auto& [message, wParam] : passed) {
        SCOPED_TRACE(std::to_string(message) + " " + std::to_string(wParam));
        const LRESULT expected = DefWindowProcW(hwnd, message, wParam, 1);
        EXPECT_EQ(send(message, wParam, 1), expected);
        EXPECT_EQ(editor->focusTarget, kFocusSlider);
        EXPECT_EQ(editor->tab, kTabListening);
        EXPECT_EQ(edits(), "");
        EXPECT_FALSE(repaintRequested());
    }
    EXPECT_EQ(send(WM_GETTEXTLENGTH), 26) << "the title goes through the default procedure";
    EXPECT_EQ(send(WM_TIMER, 77), 0);
    EXPECT_TRUE(repaintRequested()) << "any timer repaints";
}

// --- scale -----------------------------------------------------------------------------

TEST_F(EditorInput, MouseCoordinatesUseTheScaleOfTheLastPaint) {
    // columns: client size, device point, whether it selects tab Dinleme
    struct Case {
        int width, height, x, y;
        bool hit;
    };
    const Case cases[] = {
        {480, 320, 115, 22, true},  {480, 320, 111, 22, false},  {480, 320, 156, 32, true},
        {480, 320, 157, 32, false}, {1920, 1280, 626, 130, true}, {1920, 1280, 627, 130, false},  // 313.5
        {1440, 640, 336, 25, true}, {1440, 640, 335, 25, false},  // stretched: 1.5 x 1.0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " at " + std::to_string(c.x) + "," +
                     std::to_string(c.y));
        editor->resize(c.width, c.height);
        editor->paint();
        ASSERT_EQ(editor->scaleX, static_cast<float>(c.width) / 960.0f);
        reset(kTabSettings, kFocusBroadcast);
        click(c.x, c.y);
        EXPECT_EQ(editor->tab, c.hit ? kTabListening : kTabSettings);
    }
    // A resize alone keeps the old scale until the next paint.
    editor->resize(480, 320);
    editor->paint();
    editor->resize(960, 640);
    reset(kTabSettings, kFocusBroadcast);
    click(115, 22);
    EXPECT_EQ(editor->tab, kTabListening);
}

// --- clipboard -------------------------------------------------------------------------

TEST_F(EditorInput, CopyPutsExactlyThePairingUrlOnTheClipboard) {
    for (bool byKey : {false, true}) {
        SCOPED_TRACE(byKey ? "Enter on the copy button" : "click on the copy button");
        ASSERT_TRUE(putClipboardText(window.hostWindow(), L"something else"));
        reset(kTabSettings, kFocusCopy);
        const auto before = static_cast<std::uint64_t>(nowMs());
        if (byKey) key(VK_RETURN);
        else click(829, 485);
        const auto after = static_cast<std::uint64_t>(nowMs());
        EXPECT_EQ(clipboardText(window.hostWindow()), wide(plugin->stream.pairingUrl()));
        EXPECT_GE(editor->copiedUntilMs, before + 2000);
        EXPECT_LE(editor->copiedUntilMs, after + 2000);
        EXPECT_EQ(edits(), "");
    }
}

TEST_F(EditorInput, CopyWithoutAPortLeavesTheClipboardAlone) {
    plugin->stream.port.store(0);
    ASSERT_TRUE(putClipboardText(window.hostWindow(), L"left alone"));
    reset(kTabListening, kFocusBroadcast);
    click(740, 468);
    EXPECT_EQ(editor->focusTarget, kFocusCopy);
    key(VK_SPACE);
    EXPECT_EQ(clipboardText(window.hostWindow()), L"left alone");
    EXPECT_EQ(editor->copiedUntilMs, 0u) << "no notice without a copy";
    EXPECT_EQ(edits(), "");
}

TEST_F(EditorInput, AServerThreadThatFailedOffersNoUrlToCopy) {
    relay::testing::passHook.store([](StreamServer&) { throw 42; });
    plugin->stream.start();
    const bool failed = waitUntil([&] { return plugin->stream.serverError.load() != 0; });
    relay::testing::passHook.store(nullptr);
    ASSERT_TRUE(failed);
    EXPECT_EQ(plugin->stream.port.load(), 0u);
    ASSERT_TRUE(putClipboardText(window.hostWindow(), L"left alone"));
    reset(kTabListening, kFocusCopy);
    click(829, 485);
    EXPECT_EQ(clipboardText(window.hostWindow()), L"left alone");
    EXPECT_EQ(editor->copiedUntilMs, 0u) << "no \"copied\" notice for a dead address";
    plugin->stream.stop();
}

// --- running out of memory inside a message ---------------------------------------------

TEST_F(EditorInput, NoThrowLeavesTheWindowProcedureAndTheNextPaintDrawsTheCard) {
    const std::string url = plugin->stream.pairingUrl();
    const auto paintNow = [&] {
        InvalidateRect(hwnd, nullptr, FALSE);
        UpdateWindow(hwnd);
    };
    const auto forgetSymbol = [&] {
        editor->qrCode.reset();
        editor->qrText.clear();
    };
    // How many allocations one paint with a new symbol and one copy make.
    forgetSymbol();
    constexpr long kPlenty = 1'000'000;
    failAllocationsOn(std::this_thread::get_id(), kPlenty);
    paintNow();
    click(829, 485);
    const long used = kPlenty - allocationFailure.allowed.load();
    stopFailingAllocations();
    ASSERT_GT(used, 0);
    ASSERT_NE(editor->qrCode, nullptr);

    // Every allocation of the paint and of the copy, one after another,
    // is the one that fails.
    for (long allowed = 0; allowed < used; ++allowed) {
        forgetSymbol();
        editor->copiedUntilMs = 0;
        ASSERT_TRUE(putClipboardText(window.hostWindow(), L"left alone"));
        failAllocationsOn(std::this_thread::get_id(), allowed);
        paintNow();
        click(829, 485);
        stopFailingAllocations();
        const std::wstring copied = clipboardText(window.hostWindow());
        EXPECT_TRUE(copied == L"left alone" || copied == wide(url)) << allowed;
        EXPECT_EQ(editor->copiedUntilMs != 0, copied == wide(url)) << "the notice only for a real copy";
        paintNow();
        ASSERT_NE(editor->qrCode, nullptr) << "the paint after the failure draws the card (" << allowed << ")";
        EXPECT_EQ(editor->qrText, url);
        ASSERT_TRUE(editor->renderTarget) << allowed;
    }
}

}  // namespace
}  // namespace relay::test
