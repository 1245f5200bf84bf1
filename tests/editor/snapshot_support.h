// Helpers for the editor suites: a parent window to open the editor in, a
// quiet plug-in whose stream state the test sets by hand, and the editor's
// own PNG snapshot decoded back into pixels with WIC.
#pragma once

#include <windows.h>

#include <wincodec.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "editor/native_editor.h"
#include "server/stream_server.h"
#include "support/plugin_support.h"

namespace relay::test {

// A decoded snapshot: 0xRRGGBB per pixel, row-major.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;

    std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
    bool empty() const { return pixels.empty(); }
};

inline int channel(std::uint32_t rgb, int shift) { return static_cast<int>((rgb >> shift) & 0xFFu); }

// Largest per-channel difference of two colours.
inline int colorDistance(std::uint32_t a, std::uint32_t b) {
    int worst = 0;
    for (int shift : {0, 8, 16}) worst = std::max(worst, std::abs(channel(a, shift) - channel(b, shift)));
    return worst;
}

// "0xRRGGBB" for failure messages.
inline std::string hex(std::uint32_t rgb) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", static_cast<unsigned>(rgb & 0xFFFFFFu));
    return text;
}

// Reads a PNG through WIC as 32-bit BGRA; an empty image on any failure.
inline Image decodePng(const std::wstring& path) {
    using Microsoft::WRL::ComPtr;
    Image image;
    const bool comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    {
        ComPtr<IWICImagingFactory> factory;
        ComPtr<IWICBitmapDecoder> decoder;
        ComPtr<IWICBitmapFrameDecode> frame;
        ComPtr<IWICFormatConverter> converter;
        UINT width = 0, height = 0;
        if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_PPV_ARGS(factory.GetAddressOf()))) &&
            SUCCEEDED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                         WICDecodeMetadataCacheOnDemand, decoder.GetAddressOf())) &&
            SUCCEEDED(decoder->GetFrame(0, frame.GetAddressOf())) &&
            SUCCEEDED(factory->CreateFormatConverter(converter.GetAddressOf())) &&
            SUCCEEDED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGRA, WICBitmapDitherTypeNone,
                                            nullptr, 0.0, WICBitmapPaletteTypeCustom)) &&
            SUCCEEDED(converter->GetSize(&width, &height))) {
            std::vector<std::uint32_t> bgra(static_cast<std::size_t>(width) * height);
            if (SUCCEEDED(converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(bgra.size() * 4),
                                                reinterpret_cast<BYTE*>(bgra.data())))) {
                image.width = static_cast<int>(width);
                image.height = static_cast<int>(height);
                // Little-endian BGRA read as a u32 is 0xAARRGGBB: drop alpha.
                for (std::uint32_t& p : bgra) p &= 0xFFFFFFu;
                image.pixels = std::move(bgra);
            }
        }
    }
    if (comStarted) CoUninitialize();
    return image;
}

// A file name in the temp folder unique to this process and call; the
// folder given by VANTREL_SNAPSHOT_DIR keeps the files for a look.
inline std::wstring snapshotPath(const char* name) {
    static int counter = 0;
    std::wstring dir;
    if (const char* keep = std::getenv("VANTREL_SNAPSHOT_DIR")) {
        dir = testhost::windowsPath(keep) + L"\\";
    } else {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        dir = temp;
    }
    return dir + L"vantrel_" + std::wstring(name, name + std::strlen(name)) + L"_" +
           std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter) + L".png";
}

// One snapshot of the editor's current state, decoded; empty on failure.
inline Image snapshot(NativeEditor& editor, const char* name = "shot") {
    const std::wstring path = snapshotPath(name);
    if (!editor.saveSnapshotPng(path.c_str())) return {};
    Image image = decodePng(path);
    if (std::getenv("VANTREL_SNAPSHOT_DIR") == nullptr) DeleteFileW(path.c_str());
    return image;
}

// A shown top-level window that holds the editor as a host's would.
// Destroying a shown top-level window costs Wine about 2 s, so the suites
// share one per process (see sharedParent).
class ParentWindow {
public:
    ParentWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kClass;
        RegisterClassW(&wc);  // a second fixture finds it registered: fine
        hwnd_ = CreateWindowExW(0, kClass, L"parent", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, 1000, 700, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
        ShowWindow(hwnd_, SW_SHOWNORMAL);
        SetForegroundWindow(hwnd_);
    }
    ~ParentWindow() {
        if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    }
    ParentWindow(const ParentWindow&) = delete;
    ParentWindow& operator=(const ParentWindow&) = delete;
    HWND get() const { return hwnd_; }

private:
    static constexpr wchar_t kClass[] = L"VantrelTestParent";
    HWND hwnd_ = nullptr;
};

// The process's parent window, made on first use and destroyed at exit.
inline HWND sharedParent() {
    static ParentWindow parent;
    return parent.get();
}

// Handles this thread's window messages for about `ms` milliseconds; bound
// by time because a slow paint keeps the repaint timer's queue from draining.
inline void pumpMessages(int ms) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (GetTickCount64() >= end) return;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (GetTickCount64() < end);
}

// A quiet plug-in, a parent window and an editor on its stream state, open.
class EditorFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(parent, nullptr);
        ASSERT_TRUE(editor.open(parent));
    }
    void TearDown() override { editor.close(); }

    // The next paint sees the processed-block counter move: audio present.
    void feedSignal() { stream().processedBlocks.fetch_add(1); }
    StreamServer& stream() { return plugin->stream; }

    PluginPtr plugin = makeQuietPlugin();
    HWND parent = sharedParent();
    NativeEditor editor{&plugin->stream, nullptr};
};

}  // namespace relay::test
