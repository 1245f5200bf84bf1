// Times one editor paint of each tab against a paint that only clears a
// target of the same size, in the same run, and the QR encoding that the
// editor does only when the pairing URL changes. Needs a display (the
// benchmark script starts a virtual one). Prints figures only.
#include <windows.h>

#include <d2d1.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "editor/view.h"
#include "plugin/plugin.h"
#include "tools/testhost/editor_host.h"
#include "tools/testhost/host_objects.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kPaintRuns = 15;
constexpr int kEncodeRuns = 200;
constexpr char kLongestUrl[] = "http://255.255.255.255:65535/?key=0123456789abcdef0123456789abcdef";

// Median of the milliseconds each call of `work` takes.
double medianMs(int runs, const std::function<void()>& work) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    return times[static_cast<std::size_t>(runs / 2)];
}

}  // namespace

int main() {
    auto* plugin = static_cast<relay::Plugin*>(
        static_cast<Steinberg::Vst::IAudioProcessor*>(relay::Plugin::createInstance(nullptr)));
    if (plugin == nullptr) return 1;
    plugin->initialize(testhost::hostContext());
    for (int i = 0; i < 100 && plugin->stream.port.load() == 0; ++i) Sleep(10);
    plugin->stream.broadcast = true;
    for (std::size_t i = 0; i < relay::kSpectrumBands; ++i) plugin->stream.spectrumDb[i] = -30.0f;

    int result = 0;
    {
        testhost::EditorHost host;
        if (!host.open(plugin->createView("editor"))) {
            std::printf("no editor window (is a display set?)\n");
            result = 1;
        } else {
            auto& editor = static_cast<relay::View*>(host.view())->nativeEditor();
            // The baseline: the same size of HWND target, cleared and ended.
            ComPtr<ID2D1HwndRenderTarget> bare;
            editor.d2dFactory->CreateHwndRenderTarget(
                D2D1::RenderTargetProperties(),
                D2D1::HwndRenderTargetProperties(host.hostWindow(), D2D1::SizeU(relay::kEditorWidth, relay::kEditorHeight)),
                bare.GetAddressOf());
            const double clearMs = medianMs(kPaintRuns, [&] {
                bare->BeginDraw();
                bare->Clear(D2D1::ColorF(0x111419));
                bare->EndDraw();
            });
            editor.paint();  // device resources and the QR symbol made once
            editor.tab = relay::kTabListening;
            const double listeningMs = medianMs(kPaintRuns, [&] { editor.paint(); });
            editor.tab = relay::kTabSettings;
            const double settingsMs = medianMs(kPaintRuns, [&] { editor.paint(); });
            std::printf("editor paint at 960 x 640 (median of %d, software renderer under Wine):\n", kPaintRuns);
            std::printf("  clear only      %8.2f ms\n", clearMs);
            std::printf("  listening tab   %8.2f ms  (%.1fx the clear)\n", listeningMs, listeningMs / clearMs);
            std::printf("  settings tab    %8.2f ms  (%.1fx the clear)\n", settingsMs, settingsMs / clearMs);

            const double encodeMs = medianMs(kEncodeRuns, [] {
                const auto symbol = qrcodegen::QrCode::encodeText(kLongestUrl, qrcodegen::QrCode::Ecc::MEDIUM);
                if (symbol.getSize() != 37) std::printf("unexpected symbol size\n");
            });
            const std::string url = plugin->stream.pairingUrl();
            const double compareMs = medianMs(kEncodeRuns, [&] {
                volatile bool same = plugin->stream.pairingUrl() == url;
                (void)same;
            });
            std::printf("QR symbol of the longest pairing URL (37 x 37): encode %.3f ms; the cache's check "
                        "(build the URL, compare) %.4f ms, so each cached paint saves %.3f ms\n",
                        encodeMs, compareMs, encodeMs - compareMs);
        }
    }
    plugin->terminate();
    plugin->release();
    return result;
}
