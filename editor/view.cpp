#include "editor/view.h"

#include <cstring>

#include "plugin/plugin.h"

using namespace Steinberg;

namespace relay {

View::View(Plugin* owner) : CPluginView(nullptr), plugin(owner), editor(&owner->stream, owner->makeEditFn()) {
    plugin->addRef();
    rect = ViewRect(0, 0, kEditorWidth, kEditorHeight);
}

View::~View() {
    editor.close();
    plugin->release();
    setFrame(nullptr);
}

tresult PLUGIN_API View::isPlatformTypeSupported(FIDString type) {
    return type != nullptr && std::strcmp(type, kPlatformTypeHWND) == 0 ? kResultTrue : kResultFalse;
}

tresult PLUGIN_API View::attached(void* parent, FIDString type) {
    if (type == nullptr || std::strcmp(type, kPlatformTypeHWND) != 0 || parent == nullptr) return kResultFalse;
    if (!editor.open(static_cast<HWND>(parent))) return kResultFalse;
    editor.resize(rect.getWidth(), rect.getHeight());
    return CPluginView::attached(parent, type);
}

tresult PLUGIN_API View::removed() {
    editor.close();
    CPluginView::removed();
    return kResultOk;
}

tresult PLUGIN_API View::onSize(ViewRect* newSize) {
    if (newSize == nullptr) return kInvalidArgument;
    editor.resize(newSize->getWidth(), newSize->getHeight());
    CPluginView::onSize(newSize);
    return kResultOk;
}

tresult PLUGIN_API View::onFocus(TBool state) {
    if (state) editor.focus();
    return kResultOk;
}

tresult PLUGIN_API View::setFrame(IPlugFrame* frame) {
    if (frame != nullptr) frame->addRef();
    if (plugFrame != nullptr) plugFrame->release();
    plugFrame = frame;
    return kResultTrue;
}

tresult PLUGIN_API View::checkSizeConstraint(ViewRect* r) {
    if (r == nullptr) return kInvalidArgument;
    const SizeRect c = constrainEditorSize({r->left, r->top, r->right, r->bottom});
    r->right = c.right;
    r->bottom = c.bottom;
    return kResultOk;
}

tresult PLUGIN_API View::setContentScaleFactor(ScaleFactor factor) {
    // Written so that a NaN factor is refused too.
    if (!(factor >= kMinContentScale && factor <= kMaxContentScale)) return kInvalidArgument;
    ViewRect size(0, 0, scaledEditorLength(factor, kEditorWidth), scaledEditorLength(factor, kEditorHeight));
    if (plugFrame != nullptr) return plugFrame->resizeView(this, &size);
    rect = size;
    editor.resize(size.getWidth(), size.getHeight());
    return kResultOk;
}

}  // namespace relay
