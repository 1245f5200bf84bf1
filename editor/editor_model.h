// The editor's pure side: its logical space, palette, hit regions, number
// formatting and the per-paint state steps. Nothing here touches a window,
// so all of it is tested with numbers.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace relay {

// Logical editor space; the window is scaled to it at every paint.
inline constexpr std::int32_t kEditorWidth = 960;
inline constexpr std::int32_t kEditorHeight = 640;
inline constexpr std::int32_t kMinEditorWidth = 720;
inline constexpr std::int32_t kMaxEditorWidth = 1920;
inline constexpr float kMinContentScale = 0.75f;
inline constexpr float kMaxContentScale = 2.0f;

inline constexpr std::uintptr_t kRepaintTimerId = 1;
inline constexpr std::uint32_t kRepaintIntervalMs = 33;
inline constexpr std::uint64_t kSignalTimeoutMs = 600;
inline constexpr std::uint64_t kCopiedNoticeMs = 2000;
inline constexpr float kPeakHoldFallDb = 2.0f;
inline constexpr float kSpectrumSmoothing = 0.4f;
inline constexpr float kMeterFloorDb = -90.0f;
inline constexpr int kMeterSegments = 23;

// Colours are 0xRRGGBB; the top byte is ignored.
inline constexpr std::uint32_t kColorBackground = 0x111419;
inline constexpr std::uint32_t kColorBar = 0x181C22;
inline constexpr std::uint32_t kColorLine = 0x30363F;
inline constexpr std::uint32_t kColorCard = 0x191D23;
inline constexpr std::uint32_t kColorWell = 0x0D1014;
inline constexpr std::uint32_t kColorGrid = 0x222831;
inline constexpr std::uint32_t kColorText = 0xEEF0F3;
inline constexpr std::uint32_t kColorMuted = 0x959EAC;
inline constexpr std::uint32_t kColorAccent = 0x7FE2C2;
inline constexpr std::uint32_t kColorWarning = 0xF3B86B;
inline constexpr std::uint32_t kColorAlert = 0xEF7377;
inline constexpr std::uint32_t kColorLogo = 0xC98563;
// Colours of one element each.
inline constexpr std::uint32_t kColorButtonIdle = 0x303741;
inline constexpr std::uint32_t kColorMonoOn = 0x324A43;
inline constexpr std::uint32_t kColorMonoOff = 0x262D35;
inline constexpr std::uint32_t kColorSliderTrack = 0x353D47;
inline constexpr std::uint32_t kColorSegmentOff = 0x29313B;
inline constexpr std::uint32_t kColorCopyButton = 0x29313A;
inline constexpr std::uint32_t kColorQrCard = 0xF0F1ED;
inline constexpr std::uint32_t kColorQrModule = 0x10171A;

// One channel of a colour as Direct2D wants it: 0..1.
inline float colorChannel(std::uint32_t rgb, int shift) {
    return static_cast<float>((rgb >> shift) & 0xFFu) / 255.0f;
}

enum EditorTab : std::int32_t { kTabListening = 0, kTabSettings = 1 };
enum FocusTarget : std::int32_t {
    kFocusBroadcast = 0,
    kFocusSlider = 1,
    kFocusMono = 2,
    kFocusCopy = 3,
    kFocusTabs = 4,
    kFocusTargetCount = 5,
};

// An axis-aligned box by its edges, in logical units.
struct Box {
    float left, top, right, bottom;
};

// Every bound inclusive, compared in f32; NaN is never inside.
bool pointInRect(float x, float y, float left, float top, float right, float bottom);
inline bool pointInBox(float x, float y, const Box& b) { return pointInRect(x, y, b.left, b.top, b.right, b.bottom); }

// Mouse regions; they are wider than what is drawn, on purpose.
inline constexpr Box kDragRegion{64, 475, 556, 535};
inline constexpr Box kResetRegion{64, 440, 556, 555};

enum class ClickTarget { None, TabListening, TabSettings, Broadcast, Mono, Copy, OpenInBrowser };

// The click regions in the order they are tested; the first that holds wins.
struct ClickRegion {
    ClickTarget target;
    Box box;
    bool listeningOnly;
};
// columns: target, {left, top, right, bottom}, listening tab only
inline constexpr std::array<ClickRegion, 6> kClickRegions{{
    {ClickTarget::TabListening, {224, 25, 313, 65}, false},
    {ClickTarget::TabSettings, {330, 25, 424, 65}, false},
    {ClickTarget::Broadcast, {764, 22, 930, 66}, false},
    {ClickTarget::Mono, {458, 408, 555, 440}, true},
    {ClickTarget::Copy, {740, 468, 918, 502}, false},
    {ClickTarget::OpenInBrowser, {728, 505, 932, 535}, false},
}};

// What a left click at the logical point hits on the given tab.
ClickTarget clickTarget(float x, float y, std::int32_t tab);

// Steady-clock milliseconds (UI thread).
std::int64_t nowMs();

// Linear amplitude to dB: 20·log10 above 3.2e-5, never below -90.
float amplitudeToDb(float x);

// Network text (URL, address) as editor text: it is ASCII, one unit a byte.
inline std::wstring widenAscii(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Fixed notation with `decimals` digits and a decimal comma ("-12,5").
std::wstring formatDecimal(float value, std::int32_t decimals);

// The host's size request held to 720..1920 wide at 3:2, left/top kept.
struct SizeRect {
    std::int32_t left, top, right, bottom;
};
SizeRect constrainEditorSize(SizeRect r);
// Window size for a content scale: the f32 product truncated.
std::int32_t scaledEditorLength(float factor, std::int32_t length);

// Send level: dB to normalized and the slider's mappings.
inline constexpr double kLevelZeroNormalized = 60.0 / 66.0;  // 0 dB
inline constexpr float kSliderLeft = 76.0f;                  // -60 dB
inline constexpr float kSliderRight = 540.0f;                // +6 dB
double levelFromSliderX(float x);
float sliderKnobX(float levelDb);
// One 0.5 dB step from the current level, clamped to the range.
double levelStep(float levelDb, bool up);

// Per-paint state steps.
// True while the processed-block counter changed less than 600 ms ago.
bool signalPresent(std::uint64_t lastBlockChangeMs, std::int64_t now);
// The hold after one paint: falls 2 dB, jumps up to a new peak, floor -90.
float peakHoldStep(float holdDb, float peakAmplitude, bool signal);
// One smoothing step of a shown spectrum band toward its target.
float spectrumStep(float shownDb, float targetDb);

// Meter segment k's threshold in dB and its lit colour.
float meterThreshold(int k);
std::uint32_t meterSegmentColor(int k);
// The peak readout text and colour for the larger hold.
std::wstring peakReadout(float holdDb);

// Spectrum plot mapping: level to 0..1 of the plot's height.
float spectrumLevel01(float db);
// x of a frequency grid line in the plot 54..661.
float frequencyGridX(double hz);

// Logo: a point of a mark in logo units to editor units.
struct Point {
    float x, y;
};
Point logoPoint(float x, float y, float offset);
// The 8 points of a quadratic curve piecewise from p0 via c to e.
std::array<Point, 8> quadraticPieces(Point p0, Point c, Point e);

// QR layout: module pitch for a symbol of n modules and the origin of the
// first module.
float qrModulePitch(int n);

}  // namespace relay
