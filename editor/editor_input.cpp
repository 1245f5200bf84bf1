// The editor window's messages: painting, the send-level drag, clicks, the
// keyboard focus cycle and the parameter edits they make.
#include "editor/native_editor.h"  // windows.h first

#include <shellapi.h>
#include <windowsx.h>

#include <cstring>
#include <string>
#include <utility>

#include "plugin/parameters.h"
#include "server/stream_server.h"

namespace relay {

namespace {

// Arrows, Tab and characters come to the editor rather than a host dialog.
constexpr LRESULT kDialogCodes = DLGC_WANTARROWS | DLGC_WANTTAB | DLGC_WANTCHARS;

double toggled(bool on) { return on ? 0.0 : 1.0; }


// Releases an open clipboard.
struct ClipboardGuard {
    bool open;
    explicit ClipboardGuard(HWND owner) : open(OpenClipboard(owner) != FALSE) {}
    ~ClipboardGuard() {
        if (open) CloseClipboard();
    }
    ClipboardGuard(const ClipboardGuard&) = delete;
    ClipboardGuard& operator=(const ClipboardGuard&) = delete;
};

// BeginPaint and its EndPaint, which runs even when the paint throws.
struct PaintGuard {
    HWND window;
    PAINTSTRUCT ps{};
    explicit PaintGuard(HWND w) : window(w) { BeginPaint(window, &ps); }
    ~PaintGuard() { EndPaint(window, &ps); }
    PaintGuard(const PaintGuard&) = delete;
    PaintGuard& operator=(const PaintGuard&) = delete;
};

// Owns a GlobalAlloc block until the clipboard takes it.
struct GlobalBlock {
    HGLOBAL handle;
    explicit GlobalBlock(SIZE_T bytes) : handle(GlobalAlloc(GMEM_MOVEABLE, bytes)) {}
    ~GlobalBlock() {
        if (handle != nullptr) GlobalFree(handle);
    }
    HGLOBAL release() { return std::exchange(handle, nullptr); }
    GlobalBlock(const GlobalBlock&) = delete;
    GlobalBlock& operator=(const GlobalBlock&) = delete;
};

}  // namespace

LRESULT NativeEditor::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    const float x = static_cast<float>(GET_X_LPARAM(lParam)) / scaleX;
    const float y = static_cast<float>(GET_Y_LPARAM(lParam)) / scaleY;
    switch (message) {
        case WM_SIZE:
            if (renderTarget) {
                Microsoft::WRL::ComPtr<ID2D1HwndRenderTarget> hwndTarget;
                if (SUCCEEDED(renderTarget.As(&hwndTarget)))
                    hwndTarget->Resize(D2D1::SizeU(LOWORD(lParam), HIWORD(lParam)));
            }
            return 0;
        case WM_PAINT: {
            PaintGuard guard(hwnd);
            paint();
            return 0;
        }
        case WM_ERASEBKGND: return 1;
        case WM_GETDLGCODE: return kDialogCodes;
        case WM_TIMER: requestRepaint(); return 0;
        case WM_KEYDOWN:
            if (wParam != VK_TAB && wParam != VK_LEFT && wParam != VK_RIGHT && wParam != VK_SPACE &&
                wParam != VK_RETURN)
                return DefWindowProcW(hwnd, message, wParam, lParam);
            onKeyDown(wParam);
            return 0;
        case WM_MOUSEMOVE:
            if (dragging) setLevelFromX(x);
            return 0;
        case WM_LBUTTONDOWN:
            SetFocus(hwnd);
            if (tab == kTabListening && pointInBox(x, y, kDragRegion)) {
                dragging = true;
                SetCapture(hwnd);
                setLevelFromX(x);
            } else {
                onClick(x, y);
            }
            return 0;
        case WM_LBUTTONUP:
            if (dragging) {
                dragging = false;
                ReleaseCapture();
            }
            return 0;
        case WM_LBUTTONDBLCLK:
            if (tab == kTabListening && pointInBox(x, y, kResetRegion)) setParameter(kParamSendLevel, kLevelZeroNormalized);
            return 0;
        case WM_CAPTURECHANGED: dragging = false; return 0;
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

void NativeEditor::onKeyDown(WPARAM key) {
    switch (key) {
        case VK_TAB: {
            const bool back = GetKeyState(VK_SHIFT) < 0;
            focusTarget = (focusTarget + (back ? kFocusTargetCount - 1 : 1)) % kFocusTargetCount;
            requestRepaint();
            return;
        }
        case VK_LEFT:
        case VK_RIGHT:
            if (focusTarget == kFocusSlider && tab == kTabListening)
                setParameter(kParamSendLevel, levelStep(stream->sendLevelDb.load(), key == VK_RIGHT));
            return;
        default: break;  // Space and Enter
    }
    switch (focusTarget) {
        case kFocusBroadcast: setParameter(kParamBroadcast, toggled(stream->broadcast.load())); break;
        case kFocusSlider:
            if (tab == kTabListening) setParameter(kParamSendLevel, kLevelZeroNormalized);
            else switchTab();
            break;
        case kFocusMono:
            if (tab == kTabListening) setParameter(kParamMonoSend, toggled(stream->monoSend.load()));
            else switchTab();
            break;
        case kFocusCopy: copyPairingUrl(); break;
        default: switchTab(); break;
    }
}

void NativeEditor::switchTab() {
    tab = tab == kTabListening ? kTabSettings : kTabListening;
    requestRepaint();
}

void NativeEditor::onClick(float x, float y) {
    switch (clickTarget(x, y, tab)) {
        case ClickTarget::TabListening: tab = kTabListening; break;
        case ClickTarget::TabSettings:
            focusTarget = kFocusTabs;
            tab = kTabSettings;
            break;
        case ClickTarget::Broadcast:
            focusTarget = kFocusBroadcast;
            setParameter(kParamBroadcast, toggled(stream->broadcast.load()));
            break;
        case ClickTarget::Mono:
            focusTarget = kFocusMono;
            setParameter(kParamMonoSend, toggled(stream->monoSend.load()));
            break;
        case ClickTarget::Copy:
            focusTarget = kFocusCopy;
            copyPairingUrl();
            break;
        case ClickTarget::OpenInBrowser: openPairingUrl(); break;
        case ClickTarget::None: break;
    }
    requestRepaint();
}

void NativeEditor::setParameter(std::uint32_t id, double normalized) {
    if (editCallback) {
        editCallback(id, normalized);
    } else {
        // No plug-in behind this editor: write the shared state directly.
        const bool on = normalized >= kSwitchOnThreshold;  // NaN counts as off
        if (id == kParamBroadcast) stream->broadcast.exchange(on);
        else if (id == kParamMonoSend) stream->monoSend.exchange(on);
        else if (id == kParamSendLevel)
            stream->sendLevelDb.exchange(static_cast<float>(sendLevelDbFromNormalized(normalized)));
    }
    requestRepaint();
}

void NativeEditor::setLevelFromX(float x) {
    focusTarget = kFocusSlider;
    setParameter(kParamSendLevel, levelFromSliderX(x));
}

void NativeEditor::copyPairingUrl() {
    const std::uint32_t port = stream->port.load();
    if (port == 0) return;
    const std::wstring url = widenAscii(stream->pairingUrl(port));
    const SIZE_T bytes = (url.size() + 1) * sizeof(wchar_t);
    ClipboardGuard clipboard(hwnd);
    if (!clipboard.open) return;
    GlobalBlock block(bytes);
    if (block.handle == nullptr) return;
    void* memory = GlobalLock(block.handle);
    if (memory == nullptr) return;
    std::memcpy(memory, url.c_str(), bytes);
    GlobalUnlock(block.handle);
    EmptyClipboard();
    if (SetClipboardData(CF_UNICODETEXT, block.handle) == nullptr) return;
    block.release();  // the clipboard owns it now
    copiedUntilMs = static_cast<std::uint64_t>(nowMs()) + kCopiedNoticeMs;
}

void NativeEditor::openPairingUrl() {
    const std::wstring url = widenAscii(stream->pairingUrl());
    ShellExecuteW(hwnd, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void NativeEditor::requestRepaint() {
    if (hwnd != nullptr) InvalidateRect(hwnd, nullptr, FALSE);
}

}  // namespace relay
