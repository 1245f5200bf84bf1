#include "editor/editor_model.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

#include "server/clock.h"

namespace relay {

namespace {
constexpr float kAmplitudeFloor = 3.2e-5f;  // 20·log10 of it is about -89.9 dB
constexpr float kPlotRangeDb = 72.0f;
constexpr double kLowestBandHz = 25.0;
constexpr double kBandSpan = 800.0;  // highest band / lowest band
constexpr float kPlotLeft = 54.0f;
constexpr float kPlotWidth = 607.0f;
constexpr float kQrSquare = 148.0f;
constexpr int kQrQuietModules = 4;
}  // namespace

bool pointInRect(float x, float y, float left, float top, float right, float bottom) {
    return left <= x && x <= right && top <= y && y <= bottom;
}

ClickTarget clickTarget(float x, float y, std::int32_t tab) {
    for (const ClickRegion& r : kClickRegions) {
        if (r.listeningOnly && tab != kTabListening) continue;
        if (pointInBox(x, y, r.box)) return r.target;
    }
    return ClickTarget::None;
}

std::int64_t nowMs() { return steadyNowNs() / 1000000; }

float amplitudeToDb(float x) {
    if (!(x > kAmplitudeFloor)) return kMeterFloorDb;
    return std::max(20.0f * std::log10(x), kMeterFloorDb);
}

std::wstring formatDecimal(float value, std::int32_t decimals) {
    std::wostringstream out;
    out << std::fixed << std::setprecision(decimals) << static_cast<double>(value);
    std::wstring text = out.str();
    std::replace(text.begin(), text.end(), L'.', L',');
    return text;
}

SizeRect constrainEditorSize(SizeRect r) {
    const std::int32_t width = std::clamp(r.right - r.left, kMinEditorWidth, kMaxEditorWidth);
    r.right = r.left + width;
    r.bottom = r.top + (2 * width) / 3;
    return r;
}

std::int32_t scaledEditorLength(float factor, std::int32_t length) {
    return static_cast<std::int32_t>(factor * static_cast<float>(length));
}

double levelFromSliderX(float x) {
    const float v = (x - kSliderLeft) / (kSliderRight - kSliderLeft);
    return std::clamp(static_cast<double>(v), 0.0, 1.0);
}

float sliderKnobX(float levelDb) { return kSliderLeft + (levelDb + 60.0f) / 66.0f * (kSliderRight - kSliderLeft); }

double levelStep(float levelDb, bool up) {
    const float s = levelDb + 60.0f;
    const double v = (static_cast<double>(s) + (up ? 0.5 : -0.5)) / 66.0;
    return std::clamp(v, 0.0, 1.0);
}

bool signalPresent(std::uint64_t lastBlockChangeMs, std::int64_t now) {
    return lastBlockChangeMs != 0 && static_cast<std::uint64_t>(now) - lastBlockChangeMs < kSignalTimeoutMs;
}

float peakHoldStep(float holdDb, float peakAmplitude, bool signal) {
    const float fallen = holdDb - kPeakHoldFallDb;
    const float level = signal ? amplitudeToDb(peakAmplitude) : kMeterFloorDb;
    return std::max(fallen, level);
}

float spectrumStep(float shownDb, float targetDb) { return shownDb + (targetDb - shownDb) * kSpectrumSmoothing; }

float meterThreshold(int k) { return static_cast<float>(k) * 60.0f / 23.0f - 60.0f; }

std::uint32_t meterSegmentColor(int k) {
    const float t = meterThreshold(k);
    if (t >= -3.0f) return kColorAlert;
    if (t >= -12.0f) return kColorWarning;
    return kColorAccent;
}

std::wstring peakReadout(float holdDb) {
    if (holdDb < -70.0f) return L"\u2212\u221E";
    return formatDecimal(holdDb, 1);
}

float spectrumLevel01(float db) { return std::clamp((db + kPlotRangeDb) / kPlotRangeDb, 0.0f, 1.0f); }

float frequencyGridX(double hz) {
    const auto r = static_cast<float>(std::log(hz / kLowestBandHz) / std::log(kBandSpan));
    return kPlotLeft + kPlotWidth * r;
}

Point logoPoint(float x, float y, float offset) { return {0.38f * x + 26.0f, 0.38f * (y + offset) + 20.0f}; }

std::array<Point, 8> quadraticPieces(Point p0, Point c, Point e) {
    std::array<Point, 8> out{};
    for (int i = 1; i <= 8; ++i) {
        const float t = static_cast<float>(i) * 0.125f;
        const float u = 1.0f - t;
        out[static_cast<std::size_t>(i - 1)] = {u * u * p0.x + 2.0f * u * t * c.x + t * t * e.x,
                                                u * u * p0.y + 2.0f * u * t * c.y + t * t * e.y};
    }
    return out;
}

float qrModulePitch(int n) { return kQrSquare / static_cast<float>(n + 2 * kQrQuietModules); }

}  // namespace relay
