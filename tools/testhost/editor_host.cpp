#include "tools/testhost/editor_host.h"

#include <chrono>
#include <cstring>

namespace testhost {

namespace {
constexpr wchar_t kHostClass[] = L"VantrelTestHostWindow";
constexpr DWORD kHostStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;

void registerHostClass() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = kHostClass;
    RegisterClassW(&wc);  // already registered by an earlier host: fine
}

LPARAM pointParam(int x, int y) { return MAKELPARAM(static_cast<WORD>(x), static_cast<WORD>(y)); }
}  // namespace

EditorHost::EditorHost() {
    registerHostClass();
    window_ = CreateWindowExW(0, kHostClass, L"Vantrel test host", kHostStyle, 40, 40, 960, 640, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
}

EditorHost::~EditorHost() {
    close();
    if (window_ != nullptr) DestroyWindow(window_);
}

bool EditorHost::open(IPlugView* view, bool withFrame) {
    if (view == nullptr || window_ == nullptr) {
        if (view != nullptr) view->release();
        return false;
    }
    view_ = view;
    if (view_->isPlatformTypeSupported(kPlatformTypeHWND) != kResultTrue) {
        close();
        return false;
    }
    if (withFrame) view_->setFrame(this);
    ViewRect size{};
    view_->getSize(&size);
    fitWindow(size.getWidth(), size.getHeight());
    ShowWindow(window_, SW_SHOWNORMAL);
    if (view_->attached(window_, kPlatformTypeHWND) != kResultOk) {
        close();
        return false;
    }
    view_->onFocus(true);
    return true;
}

void EditorHost::close() {
    if (view_ == nullptr) return;
    view_->removed();
    view_->setFrame(nullptr);
    view_->release();
    view_ = nullptr;
}

void EditorHost::pump(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    // Bounded by time: a software-rendered paint can take longer than the
    // repaint timer, so the queue may never run dry.
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (std::chrono::steady_clock::now() >= end) return;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (std::chrono::steady_clock::now() < end);
}

HWND EditorHost::editorWindow() const { return window_ != nullptr ? GetWindow(window_, GW_CHILD) : nullptr; }

tresult EditorHost::setContentScale(float factor) {
    FUnknownPtr<IPlugViewContentScaleSupport> scale(view_);
    return scale ? scale->setContentScaleFactor(factor) : kNoInterface;
}

ViewRect EditorHost::resizeTo(int32 width, int32 height) {
    ViewRect r(0, 0, width, height);
    if (view_ == nullptr) return r;
    view_->checkSizeConstraint(&r);
    resizeView(view_, &r);
    return r;
}

void EditorHost::click(float x, float y, bool doubleClick) {
    const HWND child = editorWindow();
    RECT client{};
    GetClientRect(child, &client);
    const int px = static_cast<int>(x * static_cast<float>(client.right) / 960.0f + 0.5f);
    const int py = static_cast<int>(y * static_cast<float>(client.bottom) / 640.0f + 0.5f);
    SendMessageW(child, doubleClick ? WM_LBUTTONDBLCLK : WM_LBUTTONDOWN, MK_LBUTTON, pointParam(px, py));
    SendMessageW(child, WM_LBUTTONUP, 0, pointParam(px, py));
}

void EditorHost::key(WPARAM virtualKey) { SendMessageW(editorWindow(), WM_KEYDOWN, virtualKey, 0); }

tresult PLUGIN_API EditorHost::resizeView(IPlugView* view, ViewRect* newSize) {
    if (view == nullptr || newSize == nullptr) return kInvalidArgument;
    fitWindow(newSize->getWidth(), newSize->getHeight());
    return view->onSize(newSize);
}

tresult PLUGIN_API EditorHost::queryInterface(const TUID iid, void** obj) {
    if (FUnknownPrivate::iidEqual(iid, IPlugFrame::iid) || FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
        *obj = static_cast<IPlugFrame*>(this);
        return kResultOk;
    }
    *obj = nullptr;
    return kNoInterface;
}

void EditorHost::fitWindow(int32 width, int32 height) {
    RECT r{0, 0, width, height};
    AdjustWindowRectEx(&r, kHostStyle, FALSE, 0);
    SetWindowPos(window_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
}

}  // namespace testhost
