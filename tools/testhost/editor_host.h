// The host's side of an editor: a top-level window that holds a plug-in
// view, driven as a DAW drives one (createView, isPlatformTypeSupported,
// attached, onSize, setContentScaleFactor, removed, release), and a frame
// that follows the view's resize requests. UI thread only.
#pragma once

#include <windows.h>

#include <string>

#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/gui/iplugviewcontentscalesupport.h"

namespace testhost {

using namespace Steinberg;

class EditorHost : public IPlugFrame {
public:
    EditorHost();
    ~EditorHost();
    EditorHost(const EditorHost&) = delete;
    EditorHost& operator=(const EditorHost&) = delete;

    // Takes over one reference to `view`, asks for "HWND", sets itself as the
    // frame, sizes its window to the view and attaches it. False (and the
    // view released) when any step is refused.
    bool open(IPlugView* view, bool withFrame = true);
    // removed, then release.
    void close();

    // Handles this thread's window messages for about `ms` milliseconds.
    static void pump(int ms);

    // The editor's child window (first child of the host window), or null.
    HWND editorWindow() const;
    HWND hostWindow() const { return window_; }
    IPlugView* view() const { return view_; }

    // Asks the view for a content scale as a host does on a DPI change.
    tresult setContentScale(float factor);
    // Resizes to a size the view accepts; returns the size taken.
    ViewRect resizeTo(int32 width, int32 height);
    // A left click at a point in the editor's logical 960 x 640 space.
    void click(float x, float y, bool doubleClick = false);
    void key(WPARAM virtualKey);

    // IPlugFrame: the host resizes its window to the rect, then onSize.
    tresult PLUGIN_API resizeView(IPlugView* view, ViewRect* newSize) override;
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) override;
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }

private:
    void fitWindow(int32 width, int32 height);
    HWND window_ = nullptr;
    IPlugView* view_ = nullptr;
};

}  // namespace testhost
