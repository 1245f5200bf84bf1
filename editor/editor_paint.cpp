// What one paint draws: the frame, the tab body and the pairing column, all
// from the live stream state, in the logical 960 x 640 space.
#include <algorithm>
#include <string>

#include "editor/native_editor.h"
#include "server/stream_server.h"

namespace relay {

namespace {

constexpr std::int32_t kLeading = 0;
constexpr std::int32_t kTrailing = 1;
constexpr std::int32_t kCentre = 2;

// The logo outline in logo units; the pen starts at (16, 36).
struct LogoStep {
    bool curve;
    Point control;
    Point end;
};
// columns: curve?, control point, end point
constexpr std::array<LogoStep, 8> kLogoOutline{{
    {false, {0, 0}, {42, 10}},
    {true, {50, 2}, {58, 10}},
    {false, {0, 0}, {84, 36}},
    {true, {92, 44}, {84, 52}},
    {false, {0, 0}, {58, 78}},
    {true, {50, 86}, {42, 78}},
    {false, {0, 0}, {16, 52}},
    {true, {8, 44}, {16, 36}},
}};
constexpr Point kLogoStart{16, 36};
constexpr std::array<float, 2> kLogoMarkOffsets{0.0f, 40.0f};
constexpr float kLogoStroke = 3.0f;

// Spectrum plot edges.
constexpr float kPlotLeft = 54, kPlotTop = 198, kPlotRight = 661, kPlotBottom = 345;

struct FrequencyLine {
    double hz;
    const wchar_t* label;
};
constexpr std::array<FrequencyLine, 6> kFrequencyLines{{
    {30, L"30"}, {100, L"100"}, {300, L"300"}, {1000, L"1k"}, {3000, L"3k"}, {10000, L"10k"}}};


std::wstring rateKhz(std::uint32_t rate) { return formatDecimal(static_cast<float>(rate) / 1000.0f, 1); }

}  // namespace

void NativeEditor::paintEditor() {
    // 1. State updates: heartbeat, then peak holds.
    const std::int64_t now = nowMs();
    const std::uint64_t blocks = stream->processedBlocks.load();
    if (blocks != lastBlockCount) {
        lastBlockCount = blocks;
        lastBlockChangeMs = static_cast<std::uint64_t>(now);
    }
    const bool signal = signalPresent(lastBlockChangeMs, now);
    const bool live = stream->broadcast.load() && !stream->disabled.load();
    // One load: the symbol and the footer never show two different ports.
    const std::uint32_t port = stream->port.load();
    peakHoldDb[0] = peakHoldStep(peakHoldDb[0], stream->peakLeft.load(), signal);
    peakHoldDb[1] = peakHoldStep(peakHoldDb[1], stream->peakRight.load(), signal);
    // 2.-6. Header, status strip, tab body, pairing column, footer.
    paintHeader(live);
    paintStatusStrip(live, signal);
    if (tab == kTabListening) paintListeningTab(signal);
    else paintSettingsCard();
    paintPairingColumn(now, port);
    paintFooter(port);
}

void NativeEditor::drawLogoLine(float x, float y) {
    const Point a = logoPoint(penX_, penY_, penOffset_);
    const Point b = logoPoint(x, y, penOffset_);
    drawLine(a.x, a.y, b.x, b.y, kColorLogo, kLogoStroke);
    penX_ = x;
    penY_ = y;
}

void NativeEditor::drawLogoCurve(float cx, float cy, float ex, float ey) {
    for (const Point& p : quadraticPieces({penX_, penY_}, {cx, cy}, {ex, ey})) drawLogoLine(p.x, p.y);
}

void NativeEditor::paintHeader(bool live) {
    fillRoundRect(0, 0, 960, 88, kColorBar, 0);
    drawLine(0, 88, 960, 88, kColorLine, 1);
    for (float offset : kLogoMarkOffsets) {
        penX_ = kLogoStart.x;
        penY_ = kLogoStart.y;
        penOffset_ = offset;
        for (const LogoStep& s : kLogoOutline) {
            if (s.curve) drawLogoCurve(s.control.x, s.control.y, s.end.x, s.end.y);
            else drawLogoLine(s.end.x, s.end.y);
        }
    }
    drawText(L"VANTREL", 75, 19, 140, 35, 24, kColorText, true, kLeading);
    drawText(L"TOBRA AUDIO", 76, 51, 140, 18, 10, kColorMuted, true, kLeading);
    const bool listening = tab == kTabListening;
    drawText(L"Dinleme", 224, 25, 84, 40, 13, listening ? kColorText : kColorMuted, listening, kLeading);
    drawText(L"Ayarlar", 330, 25, 90, 40, 13, listening ? kColorMuted : kColorText, !listening, kLeading);
    if (listening) fillRoundRect(224, 86, 52, 2, kColorAccent, 0);
    else fillRoundRect(330, 86, 58, 2, kColorAccent, 0);
    drawText(L"WINDOWS / VST3", 540, 31, 189, 24, 10, kColorMuted, false, kTrailing);
    fillRoundRect(764, 23, 166, 42, live ? kColorAccent : kColorButtonIdle, 6);
    fillCircle(784, 44, 4, live ? kColorBackground : kColorMuted);
    drawText(live ? L"Yay\u0131n\u0131 durdur" : L"Yay\u0131n\u0131 ba\u015Flat", 796, 23, 126, 42, 12,
             live ? kColorBackground : kColorText, true, kLeading);
    if (hasFocus() && focusTarget == kFocusBroadcast) drawFocusRing();
}

void NativeEditor::paintStatusStrip(bool live, bool signal) {
    drawText(L"ANA \u00C7IKI\u015E", 32, 109, 200, 23, 11, kColorMuted, true, kLeading);
    const bool onAir = live && signal;
    fillCircle(562, 120, 3, onAir ? kColorAccent : kColorWarning);
    const wchar_t* status = stream->disabled.load()    ? L"DEVRE DI\u015EI"
                            : stream->broadcast.load() ? (signal ? L"YAYINDA" : L"SES BEKLEN\u0130YOR")
                                                       : L"HAZIR";
    drawText(status, 575, 109, 125, 23, 10, onAir ? kColorAccent : kColorMuted, true, kLeading);
}

void NativeEditor::paintListeningTab(bool signal) {
    paintSpectrumCard(signal);
    paintSendLevelCard();
    paintPeakCard();
}

void NativeEditor::paintSpectrumCard(bool signal) {
    fillRoundRect(32, 146, 664, 238, kColorWell, 6);
    drawText(L"FREKANS G\u00D6R\u00DCN\u00DCM\u00DC", 49, 156, 250, 23, 10, kColorMuted, true, kLeading);
    drawText(L"G\u00D6NDER\u0130LEN SES", 558, 156, 116, 23, 10, kColorMuted, false, kTrailing);
    // 1. dB grid, 0 to -72 in steps of 24.
    for (int i = 0; i < 4; ++i) {
        const float y = kPlotTop + static_cast<float>(i) * 147.0f / 3.0f;
        drawLine(kPlotLeft, y, kPlotRight, y, kColorGrid, 1);
        drawText(std::to_wstring(-24 * i), 663, y - 8, 26, 16, 9, kColorMuted, false, kLeading);
    }
    // 2. Frequency grid where the bands of those frequencies are drawn.
    for (const FrequencyLine& f : kFrequencyLines) {
        const float x = frequencyGridX(f.hz);
        drawLine(x, kPlotTop, x, kPlotBottom, kColorGrid, 1);
        drawText(f.label, x - 16, 350, 32, 20, 9, kColorMuted, false, kCentre);
    }
    // 3. Smoothing toward the analysis, or toward silence without signal.
    for (std::size_t i = 0; i < spectrumShownDb.size(); ++i) {
        const float target = signal ? stream->spectrumDb[i].load() : kMeterFloorDb;
        spectrumShownDb[i] = spectrumStep(spectrumShownDb[i], target);
    }
    // 4.-5. Area, then the curve over it.
    fillSpectrumArea(kPlotLeft, kPlotTop, kPlotRight, kPlotBottom);
    auto point = [&](std::size_t i) {
        return Point{kPlotLeft + static_cast<float>(i) * 607.0f / 63.0f,
                     kPlotBottom - 147.0f * spectrumLevel01(spectrumShownDb[i])};
    };
    for (std::size_t i = 1; i < spectrumShownDb.size(); ++i) {
        const Point a = point(i - 1), b = point(i);
        drawLine(a.x, a.y, b.x, b.y, kColorAccent, 1.5f);
    }
}

void NativeEditor::paintSendLevelCard() {
    const float v = stream->sendLevelDb.load();
    fillRoundRect(32, 401, 540, 177, kColorCard, 6);
    drawText(L"G\u00D6NDER\u0130M SEV\u0130YES\u0130", 52, 413, 160, 22, 11, kColorMuted, true, kLeading);
    drawText((v > 0.0f ? L"+" : L"") + formatDecimal(v, 1) + L" dB", 52, 440, 200, 39, 28, kColorText, false,
             kLeading);
    fillRoundRect(462, 411, 90, 30, stream->monoSend.load() ? kColorMonoOn : kColorMonoOff, 4);
    drawText(stream->monoSend.load() ? L"MONO A\u00C7IK" : L"MONO", 462, 411, 90, 30, 10,
             stream->monoSend.load() ? kColorAccent : kColorMuted, true, kCentre);
    const float kx = sliderKnobX(v);
    drawLine(kSliderLeft, 507, kSliderRight, 507, kColorSliderTrack, 5);
    drawLine(kSliderLeft, 507, kx, 507, kColorAccent, 5);
    fillRoundRect(kx - 4, 496, 8, 22, kColorText, 2);
    drawText(L"\u221260", 65, 522, 50, 20, 10, kColorMuted, false, kLeading);
    drawText(L"0", 482, 522, 30, 20, 10, kColorMuted, false, kLeading);
    drawText(L"+6 dB", 516, 522, 40, 20, 10, kColorMuted, false, kTrailing);
    drawText(L"Yaln\u0131zca telefona giden sesi ayarlar. Ana \u00E7\u0131k\u0131\u015F de\u011Fi\u015Fmez.", 52, 550,
             495, 18, 11, kColorMuted, false, kLeading);
    if (hasFocus() && focusTarget == kFocusSlider) drawLine(52, 576, 552, 576, kColorAccent, 1);
}

void NativeEditor::paintPeakCard() {
    fillRoundRect(586, 401, 110, 177, kColorCard, 6);
    drawText(L"TEPE", 603, 411, 72, 22, 10, kColorMuted, true, kCentre);
    constexpr std::array<float, 2> kMeterX{605, 635};
    constexpr std::array<const wchar_t*, 2> kChannel{L"L", L"R"};
    for (std::size_t c = 0; c < 2; ++c) {
        const float x = kMeterX[c];
        fillRoundRect(x, 444, 14, 93, kColorWell, 2);
        for (int k = 0; k < kMeterSegments; ++k) {
            const bool lit = peakHoldDb[c] >= meterThreshold(k);
            fillRoundRect(x, 533.0f - 4.0f * static_cast<float>(k), 14, 3, lit ? meterSegmentColor(k) : kColorSegmentOff,
                          0);
        }
        drawText(kChannel[c], x - 2, 539, 18, 15, 9, kColorMuted, false, kCentre);
    }
    const float m = peakHoldDb[1] > peakHoldDb[0] ? peakHoldDb[1] : peakHoldDb[0];
    drawText(peakReadout(m), 590, 553, 102, 20, 12, m >= 0.0f ? kColorAlert : kColorText, false, kCentre);
}

void NativeEditor::paintSettingsCard() {
    fillRoundRect(32, 146, 664, 432, kColorCard, 6);
    drawText(L"Miksini do\u011Frudan dinle.", 56, 168, 610, 48, 28, kColorText, true, kLeading);
    drawText(L"AKTARIM B\u0130\u00C7\u0130M\u0130", 56, 241, 225, 24, 11, kColorMuted, true, kLeading);
    drawText(L"Stereo / 32 bit kayan nokta PCM", 305, 237, 363, 30, 17, kColorText, false, kLeading);
    drawText(L"\u00D6RNEKLEME HIZI", 56, 291, 225, 24, 11, kColorMuted, true, kLeading);
    drawText(rateKhz(stream->sampleRate.load()) + L" kHz \u00B7 projeyle ayn\u0131", 305, 287, 363, 30, 17,
             kColorText, false, kLeading);
    drawText(L"SES YOLU", 56, 341, 225, 24, 11, kColorMuted, true, kLeading);
    drawText(L"Ana \u00E7\u0131k\u0131\u015Fa ek gecikme uygulanmaz", 305, 337, 363, 30, 15, kColorText, false,
             kLeading);
    drawLine(56, 391, 669, 391, kColorLine, 1);
    drawText(L"YEREL A\u011E", 56, 411, 590, 24, 11, kColorAccent, true, kLeading);
    drawText(L"Telefonunu bilgisayarla ayn\u0131 \u00F6zel Wi-Fi a\u011F\u0131na ba\u011Fla.", 56, 446, 610, 24, 14,
             kColorText, false, kLeading);
    drawText(L"QR kodu okutarak e\u015Fle\u015Ftir. Ba\u011Flant\u0131y\u0131 yaln\u0131zca dinleyicinle "
             L"payla\u015F.",
             56, 476, 610, 24, 14, kColorText, false, kLeading);
}

void NativeEditor::updateQrCode(std::uint32_t port) {
    if (port == 0) return;
    std::string url = stream->pairingUrl(port);
    if (url == qrText) return;
    try {
        qrCode = std::make_unique<qrcodegen::QrCode>(
            qrcodegen::QrCode::encodeText(url.c_str(), qrcodegen::QrCode::Ecc::MEDIUM));
        qrText = std::move(url);
    } catch (...) {
        // An empty card for now; the next paint tries again.
        qrCode.reset();
        qrText.clear();
    }
}

void NativeEditor::paintPairingColumn(std::int64_t now, std::uint32_t port) {
    drawLine(716, 109, 716, 578, kColorLine, 1);
    drawText(L"TELEFONDA D\u0130NLE", 740, 109, 190, 23, 10, kColorMuted, true, kLeading);
    drawText(L"Miksin,", 740, 150, 191, 34, 24, kColorText, true, kLeading);
    drawText(L"yan\u0131nda.", 740, 181, 191, 34, 24, kColorText, true, kLeading);
    drawText(L"Telefonunla QR kodu okut.", 740, 227, 190, 21, 12, kColorMuted, false, kLeading);
    drawText(L"Ayn\u0131 Wi-Fi. Kurulum gerekmez.", 740, 249, 190, 21, 12, kColorMuted, false, kLeading);
    updateQrCode(port);
    fillRoundRect(747, 291, 164, 164, kColorQrCard, 4);
    if (qrCode) {
        const int n = qrCode->getSize();
        const float m = qrModulePitch(n);
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x)
                if (qrCode->getModule(x, y))
                    fillRoundRect(755 + 4 * m + static_cast<float>(x) * m, 299 + 4 * m + static_cast<float>(y) * m,
                                  m + 0.05f, m + 0.05f, kColorQrModule, 0);
    }
    fillRoundRect(740, 468, 178, 34, kColorCopyButton, 4);
    const bool copied = copiedUntilMs > static_cast<std::uint64_t>(now);
    drawText(copied ? L"Ba\u011Flant\u0131 kopyaland\u0131" : L"Ba\u011Flant\u0131y\u0131 kopyala", 740, 468, 178,
             34, 12, kColorText, true, kCentre);
    drawText(L"Bu bilgisayarda dinleme ekran\u0131n\u0131 a\u00E7", 728, 505, 204, 23, 10, kColorMuted, false,
             kCentre);
    fillCircle(751, 557, 3, stream->listeners.load() != 0 ? kColorAccent : kColorMuted);
    drawText(std::to_wstring(stream->listeners.load()) + L" / 8 dinleyici", 765, 544, 157, 26, 12,
             stream->listeners.load() != 0 ? kColorText : kColorMuted, false, kLeading);
}

void NativeEditor::paintFooter(std::uint32_t port) {
    fillRoundRect(0, 603, 960, 37, kColorBar, 0);
    drawLine(0, 603, 960, 603, kColorLine, 1);
    const bool failed = stream->serverError.load() != 0;
    fillCircle(32, 621, 3, failed ? kColorAlert : kColorAccent);
    const std::wstring address = failed      ? L"A\u011F ba\u011Flant\u0131s\u0131 a\u00E7\u0131lamad\u0131"
                                 : port != 0 ? widenAscii(stream->hostPort(port))
                                             : L"Yerel ba\u011Flant\u0131 haz\u0131rlan\u0131yor\u2026";
    drawText(address, 43, 606, 310, 30, 11, kColorMuted, false, kLeading);
    drawText(rateKhz(stream->sampleRate.load()) + L" kHz   /   32 bit kayan nokta   /   STEREO", 350, 606, 328, 30,
             10, kColorMuted, false, kCentre);
    drawText(L"WINDOWS VST3   0.2.4", 742, 606, 184, 30, 10, kColorMuted, false, kTrailing);
}

}  // namespace relay
