#include "editor/native_editor.h"

#include <wincodec.h>

#include <cstring>
#include <utility>

#include "server/stream_server.h"

using Microsoft::WRL::ComPtr;

namespace relay {

namespace {

constexpr wchar_t kWindowClass[] = L"RelayNativeEditor_v01";
constexpr wchar_t kWindowTitle[] = L"VANTREL \u2014 yerel a\u011F dinleme";
constexpr UINT kClassStyle = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
constexpr DWORD kWindowStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
constexpr float kDpi = 96.0f;

// Open editors of this module. The class names a procedure in this module,
// so it goes when the last editor closes: an unloaded plug-in leaves no
// class behind pointing into freed code.
int openEditors = 0;

D2D1_COLOR_F toColor(std::uint32_t rgb, float alpha) {
    return D2D1::ColorF(colorChannel(rgb, 16), colorChannel(rgb, 8), colorChannel(rgb, 0), alpha);
}

}  // namespace

NativeEditor::NativeEditor(StreamServer* streamState, ParameterEditFn editFn)
    : stream(streamState), editCallback(std::move(editFn)) {
    spectrumShownDb.fill(kMeterFloorDb);
}

NativeEditor::~NativeEditor() {
    close();
    qrText.clear();
    qrCode.reset();
    editCallback = nullptr;
}

bool NativeEditor::open(HWND parent) {
    if (hwnd != nullptr) return false;
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc{};
    wc.style = kClassStyle;
    wc.lpfnWndProc = &NativeEditor::windowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kWindowClass;
    if (RegisterClassW(&wc) == 0) {
        // Registered already: fine when by an editor of this module. Another
        // copy of this code (a second module in the process) would run our
        // window on its procedure, which dies with that module.
        WNDCLASSW existing{};
        if (GetClassInfoW(instance, kWindowClass, &existing) == FALSE ||
            existing.lpfnWndProc != &NativeEditor::windowProc)
            return false;
    }
    HWND created = CreateWindowExW(0, kWindowClass, kWindowTitle, kWindowStyle, 0, 0, kEditorWidth, kEditorHeight,
                                   parent, nullptr, instance, this);
    if (created == nullptr) {
        // WM_NCCREATE may have bound a window that creation then destroyed.
        hwnd = nullptr;
        if (openEditors == 0) UnregisterClassW(kWindowClass, instance);
        return false;
    }
    hwnd = created;
    ++openEditors;
    if (FAILED(D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                                 reinterpret_cast<void**>(d2dFactory.ReleaseAndGetAddressOf())))) {
        close();
        return false;
    }
    if (FAILED(DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                   reinterpret_cast<IUnknown**>(dwriteFactory.ReleaseAndGetAddressOf())))) {
        close();
        return false;
    }
    SetTimer(hwnd, kRepaintTimerId, kRepaintIntervalMs, nullptr);
    return true;
}

void NativeEditor::close() {
    if (hwnd != nullptr) {
        KillTimer(hwnd, kRepaintTimerId);
        DestroyWindow(hwnd);
        hwnd = nullptr;
        if (--openEditors == 0) UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
    }
    brush.Reset();
    renderTarget.Reset();
    dwriteFactory.Reset();
    d2dFactory.Reset();
}

LRESULT CALLBACK NativeEditor::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* editor = reinterpret_cast<NativeEditor*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        editor = static_cast<NativeEditor*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(editor));
        editor->hwnd = window;
    }
    if (editor == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    try {
        return editor->handleMessage(message, wParam, lParam);
    } catch (...) {
        // Nothing may unwind through user32 into the host's message loop.
        // The message counts as handled; the next paint starts afresh.
        return 0;
    }
}

void NativeEditor::paint() {
    if (!d2dFactory || !dwriteFactory || hwnd == nullptr) return;
    RECT client{};
    GetClientRect(hwnd, &client);
    const LONG width = client.right, height = client.bottom;
    if (width <= 0 || height <= 0) return;
    if (!renderTarget) {
        ComPtr<ID2D1HwndRenderTarget> target;
        const D2D1_SIZE_U pixels = D2D1::SizeU(static_cast<UINT32>(width), static_cast<UINT32>(height));
        if (FAILED(d2dFactory->CreateHwndRenderTarget(D2D1::RenderTargetProperties(),
                                                      D2D1::HwndRenderTargetProperties(hwnd, pixels),
                                                      target.GetAddressOf())))
            return;
        target->SetDpi(kDpi, kDpi);
        target->CreateSolidColorBrush(toColor(kColorText, 1.0f), brush.ReleaseAndGetAddressOf());
        if (!brush) return;  // the new target goes with `target`
        renderTarget = std::move(target);
    }
    scaleX = static_cast<float>(width) / static_cast<float>(kEditorWidth);
    scaleY = static_cast<float>(height) / static_cast<float>(kEditorHeight);
    renderTarget->BeginDraw();
    renderTarget->SetTransform(D2D1::Matrix3x2F::Scale(scaleX, scaleY));
    renderTarget->Clear(toColor(kColorBackground, 1.0f));
    try {
        paintEditor();
    } catch (...) {
        // A target left inside BeginDraw refuses every later paint.
        renderTarget->EndDraw();
        throw;
    }
    HRESULT ended = renderTarget->EndDraw();
    if (std::exchange(failNextEndDraw_, false)) ended = D2DERR_RECREATE_TARGET;
    if (FAILED(ended)) discardDeviceResources();
}

void NativeEditor::discardDeviceResources() {
    brush.Reset();
    renderTarget.Reset();
}

void NativeEditor::resize(std::int32_t width, std::int32_t height) {
    if (hwnd != nullptr) MoveWindow(hwnd, 0, 0, width, height, TRUE);
}

void NativeEditor::focus() {
    if (hwnd != nullptr) SetFocus(hwnd);
}

bool NativeEditor::hasFocus() const { return hwnd != nullptr && GetFocus() == hwnd; }

bool NativeEditor::saveSnapshotPng(const wchar_t* path) {
    if (hwnd == nullptr || !d2dFactory || path == nullptr) return false;
    // 1. The picture shows the current spectrum, not the smoothed one.
    for (std::size_t i = 0; i < spectrumShownDb.size(); ++i) spectrumShownDb[i] = stream->spectrumDb[i].load();
    // 2. COM for the imaging factory, undone only if this call did it.
    const bool comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    bool saved = false;
    {
        RECT client{};
        GetClientRect(hwnd, &client);
        const auto width = static_cast<UINT>(client.right), height = static_cast<UINT>(client.bottom);
        // Declared in the reverse of their release order.
        ComPtr<IWICImagingFactory> factory;
        ComPtr<IWICBitmap> bitmap;
        ComPtr<ID2D1RenderTarget> target;
        ComPtr<ID2D1SolidColorBrush> snapshotBrush;
        ComPtr<IWICStream> file;
        ComPtr<IWICBitmapEncoder> encoder;
        ComPtr<IWICBitmapFrameEncode> frame;
        const auto props = D2D1::RenderTargetProperties(
            D2D1_RENDER_TARGET_TYPE_SOFTWARE,
            D2D1::PixelFormat(DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED), kDpi, kDpi);
        bool ready = client.right > 0 && client.bottom > 0 &&
                     SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                                                IID_PPV_ARGS(factory.GetAddressOf()))) &&
                     SUCCEEDED(factory->CreateBitmap(width, height, GUID_WICPixelFormat32bppPBGRA,
                                                     WICBitmapCacheOnLoad, bitmap.GetAddressOf())) &&
                     SUCCEEDED(d2dFactory->CreateWicBitmapRenderTarget(bitmap.Get(), props, target.GetAddressOf())) &&
                     SUCCEEDED(target->CreateSolidColorBrush(toColor(kColorText, 1.0f), snapshotBrush.GetAddressOf()));
        if (ready) {
            // 3. Lend the bitmap target to one complete paint. Our own
            // references keep it alive even if that paint discards it.
            ComPtr<ID2D1RenderTarget> ownTarget = std::exchange(renderTarget, target);
            ComPtr<ID2D1SolidColorBrush> ownBrush = std::exchange(brush, snapshotBrush);
            paint();
            renderTarget = std::move(ownTarget);
            brush = std::move(ownBrush);
            WICRect all{0, 0, static_cast<INT>(width), static_cast<INT>(height)};
            WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
            saved = SUCCEEDED(factory->CreateStream(file.GetAddressOf())) &&
                    SUCCEEDED(file->InitializeFromFilename(path, GENERIC_WRITE)) &&
                    SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.GetAddressOf())) &&
                    SUCCEEDED(encoder->Initialize(file.Get(), WICBitmapEncoderNoCache)) &&
                    SUCCEEDED(encoder->CreateNewFrame(frame.GetAddressOf(), nullptr)) &&
                    SUCCEEDED(frame->Initialize(nullptr)) && SUCCEEDED(frame->SetSize(width, height)) &&
                    SUCCEEDED(frame->SetPixelFormat(&format)) &&
                    SUCCEEDED(frame->WriteSource(bitmap.Get(), &all)) && SUCCEEDED(frame->Commit()) &&
                    SUCCEEDED(encoder->Commit());
        }
        // 4. Released here: frame, encoder, stream, brush, target, bitmap, factory.
    }
    if (comStarted) CoUninitialize();
    return saved;
}

// --- primitives ---------------------------------------------------------------

void NativeEditor::setBrushColor(std::uint32_t rgb, float alpha) { brush->SetColor(toColor(rgb, alpha)); }

void NativeEditor::fillRoundRect(float x, float y, float w, float h, std::uint32_t rgb, float radius) {
    setBrushColor(rgb);
    const D2D1_RECT_F r = D2D1::RectF(x, y, x + w, y + h);
    if (radius == 0.0f) renderTarget->FillRectangle(r, brush.Get());
    else renderTarget->FillRoundedRectangle(D2D1::RoundedRect(r, radius, radius), brush.Get());
}

void NativeEditor::fillCircle(float cx, float cy, float r, std::uint32_t rgb) {
    setBrushColor(rgb);
    renderTarget->FillEllipse(D2D1::Ellipse(D2D1::Point2F(cx, cy), r, r), brush.Get());
}

void NativeEditor::drawLine(float x0, float y0, float x1, float y1, std::uint32_t rgb, float width) {
    setBrushColor(rgb);
    renderTarget->DrawLine(D2D1::Point2F(x0, y0), D2D1::Point2F(x1, y1), brush.Get(), width);
}

void NativeEditor::drawText(const std::wstring& text, float x, float y, float w, float h, float size,
                            std::uint32_t rgb, bool semibold, std::int32_t align) {
    ComPtr<IDWriteTextFormat> format;
    if (FAILED(dwriteFactory->CreateTextFormat(
            L"Segoe UI", nullptr, semibold ? DWRITE_FONT_WEIGHT_SEMI_BOLD : DWRITE_FONT_WEIGHT_NORMAL,
            DWRITE_FONT_STYLE_NORMAL, DWRITE_FONT_STRETCH_NORMAL, size, L"tr-TR", format.GetAddressOf())))
        return;
    format->SetTextAlignment(static_cast<DWRITE_TEXT_ALIGNMENT>(align));
    format->SetParagraphAlignment(DWRITE_PARAGRAPH_ALIGNMENT_CENTER);
    format->SetWordWrapping(DWRITE_WORD_WRAPPING_NO_WRAP);
    setBrushColor(rgb);
    renderTarget->DrawText(text.c_str(), static_cast<UINT32>(text.size()), format.Get(),
                           D2D1::RectF(x, y, x + w, y + h), brush.Get(), D2D1_DRAW_TEXT_OPTIONS_CLIP,
                           DWRITE_MEASURING_MODE_NATURAL);
}

void NativeEditor::fillSpectrumArea(float left, float top, float right, float bottom) {
    ComPtr<ID2D1PathGeometry> geometry;
    if (FAILED(d2dFactory->CreatePathGeometry(geometry.GetAddressOf())) || !geometry) return;
    ComPtr<ID2D1GeometrySink> sink;
    if (FAILED(geometry->Open(sink.GetAddressOf())) || !sink) return;
    sink->BeginFigure(D2D1::Point2F(left, bottom), D2D1_FIGURE_BEGIN_FILLED);
    for (std::size_t i = 0; i < spectrumShownDb.size(); ++i) {
        const float v = spectrumLevel01(spectrumShownDb[i]);
        const float x = left + (static_cast<float>(i) * (right - left)) / 63.0f;
        const float y = bottom - (bottom - top) * v;
        sink->AddLine(D2D1::Point2F(x, y));
    }
    sink->AddLine(D2D1::Point2F(right, bottom));
    sink->EndFigure(D2D1_FIGURE_END_CLOSED);
    sink->Close();
    sink.Reset();
    setBrushColor(kColorAccent, 0.09f);
    renderTarget->FillGeometry(geometry.Get(), brush.Get(), nullptr);
}

void NativeEditor::drawFocusRing() {
    setBrushColor(kColorText);
    renderTarget->DrawRoundedRectangle(D2D1::RoundedRect(D2D1::RectF(762, 21, 932, 67), 8, 8), brush.Get(), 1.0f);
}

}  // namespace relay
