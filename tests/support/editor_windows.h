// What the editor leaves behind, as the tests count it: windows of this
// thread (top level and nested) and the registration of the editor's class.
#pragma once

#include <windows.h>

#include <cwchar>

namespace relay::test {

inline constexpr wchar_t kEditorClass[] = L"RelayNativeEditor_v01";

// Windows of this thread, top level and children; only those of `cls` when given.
inline int threadWindows(const wchar_t* cls = nullptr) {
    struct Count {
        const wchar_t* cls;
        int n;
    } count{cls, 0};
    static const WNDENUMPROC one = [](HWND w, LPARAM p) -> BOOL {
        auto* c = reinterpret_cast<Count*>(p);
        wchar_t name[64] = {};
        GetClassNameW(w, name, 64);
        if (c->cls == nullptr || std::wcscmp(name, c->cls) == 0) ++c->n;
        return TRUE;
    };
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND w, LPARAM p) -> BOOL {
            one(w, p);
            EnumChildWindows(w, one, p);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&count));
    return count.n;
}

inline int editorWindowsOnThread() { return threadWindows(kEditorClass); }

// The class is registered under the host process's module, as the editor does it.
inline bool editorClassRegistered() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    return GetClassInfoExW(GetModuleHandleW(nullptr), kEditorClass, &wc) != FALSE;
}

}  // namespace relay::test
