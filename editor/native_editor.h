// relay::NativeEditor: the editor's Win32 child window, drawn with Direct2D
// and DirectWrite, and the editor state that lives between paints. Every
// member runs on the host's user-interface thread.
#pragma once

#include <windows.h>

#include <d2d1.h>
#include <dwrite.h>
#include <wrl/client.h>

// MinGW's d2d1.h declares this interface without its id.
__CRT_UUID_DECL(ID2D1HwndRenderTarget, 0x2cd90698, 0x12e2, 0x11dc, 0x9f, 0xed, 0x00, 0x11, 0x43, 0xa0, 0x55, 0xf9)

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "editor/editor_model.h"
#include "editor/qr_code.h"
#include "plugin/plugin.h"

namespace relay {

class StreamServer;

class NativeEditor {
public:
    // Keeps the stream state (not owned) and takes over the edit callback;
    // makes no window.
    NativeEditor(StreamServer* stream, ParameterEditFn editFn);
    ~NativeEditor();
    NativeEditor(const NativeEditor&) = delete;
    NativeEditor& operator=(const NativeEditor&) = delete;

    // A 960 x 640 child of `parent` with its factories and repaint timer;
    // false when already open or anything could not be made (nothing is
    // left behind then).
    bool open(HWND parent);
    // Window, timer and graphics objects go; the editor state stays. Safe at
    // any time, any number of times.
    void close();

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    // One paint of the whole editor, scaled from the logical 960 x 640 space
    // to the client area.
    void paint();
    void discardDeviceResources();
    void resize(std::int32_t width, std::int32_t height);
    void focus();
    bool hasFocus() const;

    // Renders one paint into a PNG the size of the client area (a test
    // oracle; nothing in the product calls it). False when closed or on any
    // failure.
    bool saveSnapshotPng(const wchar_t* path);

    // Input actions.
    void onClick(float x, float y);
    void setParameter(std::uint32_t id, double normalized);
    void setLevelFromX(float x);
    void copyPairingUrl();

    // Test seam: the next EndDraw is taken as failed, as a lost device is.
    void failNextEndDraw() { failNextEndDraw_ = true; }

    HWND window() const { return hwnd; }

    // Fields, in order.
    StreamServer* stream;
    ParameterEditFn editCallback;
    HWND hwnd = nullptr;
    Microsoft::WRL::ComPtr<ID2D1Factory> d2dFactory;
    Microsoft::WRL::ComPtr<ID2D1RenderTarget> renderTarget;
    Microsoft::WRL::ComPtr<ID2D1SolidColorBrush> brush;
    Microsoft::WRL::ComPtr<IDWriteFactory> dwriteFactory;
    float scaleX = 1.0f;
    float scaleY = 1.0f;
    std::array<float, 2> peakHoldDb{kMeterFloorDb, kMeterFloorDb};
    std::array<float, 64> spectrumShownDb{};
    std::unique_ptr<qrcodegen::QrCode> qrCode;
    std::string qrText;
    bool dragging = false;
    std::int32_t tab = kTabListening;
    std::int32_t focusTarget = kFocusBroadcast;
    std::uint64_t lastBlockCount = 0;
    std::uint64_t lastBlockChangeMs = 0;
    std::uint64_t copiedUntilMs = 0;

private:
    // Primitives, in logical units (paint's transform scales them).
    void fillRoundRect(float x, float y, float w, float h, std::uint32_t rgb, float radius);
    void fillCircle(float cx, float cy, float r, std::uint32_t rgb);
    void drawLine(float x0, float y0, float x1, float y1, std::uint32_t rgb, float width);
    void drawText(const std::wstring& text, float x, float y, float w, float h, float size, std::uint32_t rgb,
                  bool semibold, std::int32_t align);
    void fillSpectrumArea(float left, float top, float right, float bottom);
    void drawFocusRing();
    void setBrushColor(std::uint32_t rgb, float alpha = 1.0f);

    // The paint's pieces, in paint order.
    void paintEditor();
    void paintHeader(bool live);
    void drawLogoLine(float x, float y);
    void drawLogoCurve(float cx, float cy, float ex, float ey);
    void paintStatusStrip(bool live, bool signal);
    void paintListeningTab(bool signal);
    void paintSpectrumCard(bool signal);
    void paintSendLevelCard();
    void paintPeakCard();
    void paintSettingsCard();
    void paintPairingColumn(std::int64_t now, std::uint32_t port);
    void updateQrCode(std::uint32_t port);
    void paintFooter(std::uint32_t port);

    void requestRepaint();
    void switchTab();
    void openPairingUrl();
    void onKeyDown(WPARAM key);

    // The logo pen: lives only for the logo step of one paint.
    float penX_ = 0.0f, penY_ = 0.0f, penOffset_ = 0.0f;
    bool failNextEndDraw_ = false;
};

}  // namespace relay
