// The editor's child window: what open makes, what close undoes, how a paint
// scales to the client area, recovers a lost render target, and what a
// closed editor refuses. Pixels come from the editor's own PNG snapshot.
#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <memory>
#include <type_traits>
#include <string>
#include <vector>

#include "editor/snapshot_support.h"
#include "support/editor_windows.h"

namespace {

using namespace relay;
using namespace relay::test;


std::vector<HWND> children(HWND parent) {
    std::vector<HWND> found;
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM list) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

struct WindowDestroyer {
    void operator()(HWND window) const { DestroyWindow(window); }
};


using EditorWindowTest = EditorFixture;

TEST_F(EditorWindowTest, OpenMakesOneVisibleChildOfTheEditorClass) {
    const HWND child = editor.window();
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(children(parent), std::vector<HWND>{child});
    EXPECT_EQ(GetParent(child), parent);

    wchar_t name[64] = {};
    GetClassNameW(child, name, 64);
    EXPECT_EQ(std::wstring(name), kEditorClass);
    EXPECT_EQ(GetClassLongPtrW(child, GCL_STYLE), static_cast<ULONG_PTR>(CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS));
    wchar_t title[64] = {};
    GetWindowTextW(child, title, 64);
    EXPECT_EQ(std::wstring(title), L"VANTREL \u2014 yerel a\u011F dinleme");

    const auto style = static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE));
    EXPECT_EQ(style, static_cast<DWORD>(WS_CHILD | WS_VISIBLE | WS_TABSTOP));
    EXPECT_EQ(GetWindowLongW(child, GWL_EXSTYLE) & ~WS_EX_NOPARENTNOTIFY, 0);
    EXPECT_TRUE(IsWindowVisible(child));

    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 0);
    RECT client{};
    GetClientRect(child, &client);
    EXPECT_EQ(client.right, 960);
    EXPECT_EQ(client.bottom, 640);
    EXPECT_TRUE(editor.d2dFactory && editor.dwriteFactory);
    EXPECT_FALSE(editor.renderTarget) << "the first paint makes the render target";
}

TEST_F(EditorWindowTest, SecondOpenIsRefusedAndMakesNoWindow) {
    const HWND first = editor.window();
    EXPECT_FALSE(editor.open(parent));
    EXPECT_EQ(editor.window(), first);
    EXPECT_EQ(children(parent).size(), 1u);
    EXPECT_TRUE(IsWindow(first));
}

TEST_F(EditorWindowTest, CloseTwiceIsHarmlessAndTheClassGoesWithTheLastEditor) {
    const HWND child = editor.window();
    EXPECT_TRUE(editorClassRegistered());
    editor.close();
    EXPECT_EQ(editor.window(), nullptr);
    EXPECT_FALSE(IsWindow(child));
    EXPECT_TRUE(children(parent).empty());
    EXPECT_FALSE(editor.d2dFactory || editor.dwriteFactory || editor.renderTarget || editor.brush);
    EXPECT_FALSE(editorClassRegistered());
    editor.close();
    EXPECT_EQ(editor.window(), nullptr);
    // A later open registers the class again.
    ASSERT_TRUE(editor.open(parent));
    EXPECT_TRUE(editorClassRegistered());
}

TEST_F(EditorWindowTest, StateSurvivesCloseAndReopen) {
    stream().port.store(41234);
    editor.tab = kTabSettings;
    editor.focusTarget = kFocusCopy;
    ASSERT_FALSE(snapshot(editor).empty());
    const auto* symbol = editor.qrCode.get();
    ASSERT_NE(symbol, nullptr);
    const auto holds = editor.peakHoldDb;
    editor.close();
    ASSERT_TRUE(editor.open(parent));
    EXPECT_EQ(editor.tab, kTabSettings);
    EXPECT_EQ(editor.focusTarget, kFocusCopy);
    EXPECT_EQ(editor.qrCode.get(), symbol);
    EXPECT_EQ(editor.peakHoldDb, holds);
}

TEST(EditorWindowClosed, EveryOperationOnANeverOpenedEditorDoesNothing) {
    PluginPtr plugin = makeQuietPlugin();
    const HWND parent = sharedParent();
    NativeEditor editor(&plugin->stream, nullptr);
    const HWND focused = GetFocus();
    editor.close();
    editor.resize(480, 320);
    editor.focus();
    editor.paint();
    EXPECT_EQ(editor.window(), nullptr);
    EXPECT_FALSE(editor.hasFocus());
    EXPECT_EQ(GetFocus(), focused);
    EXPECT_FALSE(editor.renderTarget || editor.brush || editor.d2dFactory);
    EXPECT_EQ(editor.scaleX, 1.0f);
    EXPECT_EQ(editor.scaleY, 1.0f);
    EXPECT_EQ(editor.peakHoldDb[0], -90.0f) << "a refused paint runs no state step";

    const std::wstring path = snapshotPath("closed");
    EXPECT_FALSE(editor.saveSnapshotPng(path.c_str()));
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << "no file is written";
    EXPECT_TRUE(children(parent).empty());
}

TEST_F(EditorWindowTest, FocusFollowsTheWindowAndIsLostWhenClosed) {
    editor.focus();
    EXPECT_EQ(GetFocus(), editor.window());
    EXPECT_TRUE(editor.hasFocus());
    // Another window of the host takes the keyboard.
    const std::unique_ptr<std::remove_pointer_t<HWND>, WindowDestroyer> other(CreateWindowExW(
        0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 650, 10, 10, parent, nullptr, GetModuleHandleW(nullptr), nullptr));
    ASSERT_NE(other, nullptr);
    SetFocus(other.get());
    EXPECT_FALSE(editor.hasFocus());
    editor.focus();
    EXPECT_TRUE(editor.hasFocus());
    editor.close();
    EXPECT_FALSE(editor.hasFocus());
}

// columns: client size, expected scale, logical landmark points and colours
struct ScaleCase {
    int width, height;
    float scaleX, scaleY;
};

class EditorScaleTest : public EditorFixture, public ::testing::WithParamInterface<ScaleCase> {};

TEST_P(EditorScaleTest, PaintScalesTheLogicalSpaceToTheClientArea) {
    const ScaleCase c = GetParam();
    stream().broadcast.store(true);
    editor.resize(c.width, c.height);
    const Image shot = snapshot(editor, "scale");
    ASSERT_FALSE(shot.empty());
    EXPECT_EQ(shot.width, c.width);
    EXPECT_EQ(shot.height, c.height);
    EXPECT_EQ(editor.scaleX, c.scaleX);
    EXPECT_EQ(editor.scaleY, c.scaleY);
    // Logical points well inside solid shapes, mapped by the scale.
    struct Landmark {
        float x, y;
        std::uint32_t rgb;
    };
    const std::array<Landmark, 4> landmarks{{
        {926, 44, kColorAccent},  // live broadcast button face, right of the label
        {770, 34, kColorAccent},  // same face, left of the dot
        {480, 630, kColorBar},    // footer bar
        {600, 10, kColorBar},     // header bar
    }};
    for (const Landmark& l : landmarks) {
        const int px = static_cast<int>(l.x * c.scaleX), py = static_cast<int>(l.y * c.scaleY);
        EXPECT_EQ(hex(shot.at(px, py)), hex(l.rgb)) << "logical " << l.x << "," << l.y;
    }
    // The button's right edge moves with the horizontal scale only.
    const int edgeY = static_cast<int>(44 * c.scaleY);
    EXPECT_EQ(hex(shot.at(static_cast<int>(934 * c.scaleX), edgeY)), hex(kColorBar));
}

INSTANTIATE_TEST_SUITE_P(Sizes, EditorScaleTest,
                         ::testing::Values(ScaleCase{960, 640, 1.0f, 1.0f}, ScaleCase{480, 320, 0.5f, 0.5f},
                                           ScaleCase{1440, 640, 1.5f, 1.0f}));

TEST_F(EditorWindowTest, EmptyClientAreaDrawsNothingAndKeepsTheScale) {
    editor.resize(480, 320);
    ASSERT_FALSE(snapshot(editor).empty());
    ASSERT_EQ(editor.scaleX, 0.5f);
    const float hold = editor.peakHoldDb[0];
    for (const auto& size : {std::array<int, 2>{0, 0}, std::array<int, 2>{0, 320}, std::array<int, 2>{480, 0}}) {
        editor.resize(size[0], size[1]);
        editor.paint();
        EXPECT_FALSE(editor.renderTarget) << size[0] << "x" << size[1];
        EXPECT_FALSE(editor.brush);
        EXPECT_EQ(editor.scaleX, 0.5f);
        EXPECT_EQ(editor.scaleY, 0.5f);
        EXPECT_EQ(editor.peakHoldDb[0], hold);
        EXPECT_TRUE(snapshot(editor).empty()) << "no picture of an empty window";
    }
}

TEST_F(EditorWindowTest, FailedEndDrawDropsDeviceResourcesAndTheNextPaintRecovers) {
    editor.paint();
    ASSERT_TRUE(editor.renderTarget) << "a paint makes the window's render target";
    ASSERT_TRUE(editor.brush);
    editor.failNextEndDraw();
    editor.paint();
    EXPECT_FALSE(editor.renderTarget);
    EXPECT_FALSE(editor.brush);
    editor.paint();
    EXPECT_TRUE(editor.renderTarget);
    EXPECT_TRUE(editor.brush);

    // A failure during the snapshot's paint leaves the window's own target.
    ID2D1RenderTarget* own = editor.renderTarget.Get();
    editor.failNextEndDraw();
    stream().broadcast.store(true);
    const Image shot = snapshot(editor, "recover");
    ASSERT_FALSE(shot.empty());
    EXPECT_EQ(editor.renderTarget.Get(), own);
    EXPECT_TRUE(editor.brush);
    EXPECT_EQ(hex(shot.at(926, 44)), hex(kColorAccent));
    EXPECT_EQ(hex(shot.at(10, 10)), hex(kColorBar));
}

TEST_F(EditorWindowTest, WindowMessagesPaintThroughTheWindowProcedure) {
    // The timer and WM_PAINT reach the object: a pumped window gets its target.
    UpdateWindow(editor.window());
    pumpMessages(200);
    EXPECT_TRUE(editor.renderTarget);
    const std::uint64_t before = stream().processedBlocks.load();
    feedSignal();
    InvalidateRect(editor.window(), nullptr, FALSE);
    UpdateWindow(editor.window());
    EXPECT_EQ(editor.lastBlockCount, before + 1) << "WM_PAINT ran the paint's state step";
}

}  // namespace
