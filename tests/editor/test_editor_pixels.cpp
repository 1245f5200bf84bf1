// What a paint shows for each state that matters, read from the editor's own
// PNG snapshot at scale 1.0. Solid fills are compared exactly; text is only
// compared between states.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "editor/snapshot_support.h"

namespace {

using namespace relay;
using namespace relay::test;

constexpr std::uint32_t kSpectrumAreaOnWell = 0x172324;  // accent at 0.09 over the well

struct Pixel {
    int x, y;
};

// Pixels of a rectangle, row by row.
std::vector<std::uint32_t> region(const Image& image, int left, int top, int right, int bottom) {
    std::vector<std::uint32_t> out;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) out.push_back(image.at(x, y));
    return out;
}

class EditorPixelsTest : public EditorFixture {
protected:
    // 0: the counter moves now; > 0: it last moved that long ago; < 0: never.
    void setSignalAge(std::int64_t ms) {
        if (ms == 0) feedSignal();
        else if (ms > 0) editor.lastBlockChangeMs = static_cast<std::uint64_t>(nowMs() - ms);
    }
    Image shot(const char* name) {
        Image image = snapshot(editor, name);
        EXPECT_EQ(image.width, 960);
        EXPECT_EQ(image.height, 640);
        return image;
    }
};

// --- header button and status dot ---------------------------------------------

// columns: broadcast, bypass, signal age, button face, button dot, status dot
struct LiveCase {
    bool broadcast, disabled;
    std::int64_t signalAgeMs;
    std::uint32_t face, buttonDot, statusDot;
};

class LiveStateTest : public EditorPixelsTest, public ::testing::WithParamInterface<LiveCase> {};

TEST_P(LiveStateTest, ButtonFaceAndStatusDotFollowLiveAndSignal) {
    const LiveCase c = GetParam();
    stream().broadcast.store(c.broadcast);
    stream().disabled.store(c.disabled);
    setSignalAge(c.signalAgeMs);
    const Image image = shot("live");
    ASSERT_FALSE(image.empty());
    for (Pixel p : {Pixel{926, 44}, Pixel{770, 34}, Pixel{850, 26}})
        EXPECT_EQ(hex(image.at(p.x, p.y)), hex(c.face)) << "button face at " << p.x << "," << p.y;
    EXPECT_EQ(hex(image.at(784, 44)), hex(c.buttonDot));
    EXPECT_EQ(hex(image.at(562, 120)), hex(c.statusDot));
}

INSTANTIATE_TEST_SUITE_P(
    States, LiveStateTest,
    ::testing::Values(LiveCase{true, false, 0, kColorAccent, kColorBackground, kColorAccent},
                      LiveCase{true, false, -1, kColorAccent, kColorBackground, kColorWarning},
                      LiveCase{true, false, 5000, kColorAccent, kColorBackground, kColorWarning},
                      LiveCase{true, false, 100, kColorAccent, kColorBackground, kColorAccent},
                      LiveCase{true, true, 0, kColorButtonIdle, kColorMuted, kColorWarning},
                      LiveCase{false, false, 0, kColorButtonIdle, kColorMuted, kColorWarning},
                      LiveCase{false, true, -1, kColorButtonIdle, kColorMuted, kColorWarning}));

// --- send-level card -------------------------------------------------------------

// Coverage-weighted centre of the knob's columns on a row above the track.
float knobCentre(const Image& image, int row) {
    const float span = static_cast<float>(channel(kColorText, 8) - channel(kColorCard, 8));
    float weight = 0, sum = 0;
    for (int x = 60; x < 560; ++x) {
        const float cover =
            std::clamp(static_cast<float>(channel(image.at(x, row), 8) - channel(kColorCard, 8)) / span, 0.0f, 1.0f);
        weight += cover;
        sum += cover * (static_cast<float>(x) + 0.5f);
    }
    return weight > 0 ? sum / weight : -1.0f;
}

// columns: send level dB, knob centre x, mono, switch face
struct LevelCase {
    float levelDb, knobX;
    bool mono;
    std::uint32_t monoFace;
};

class SendLevelTest : public EditorPixelsTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(SendLevelTest, KnobSitsAtTheLevelAndMonoSwitchShowsItsState) {
    const LevelCase c = GetParam();
    stream().sendLevelDb.store(c.levelDb);
    stream().monoSend.store(c.mono);
    const Image image = shot("level");
    ASSERT_FALSE(image.empty());
    EXPECT_NEAR(knobCentre(image, 500), c.knobX, 0.35f);
    EXPECT_NEAR(knobCentre(image, 512), c.knobX, 0.35f);
    EXPECT_EQ(hex(image.at(static_cast<int>(c.knobX), 500)), hex(kColorText));
    // The fill runs from the left end to the knob, the track beyond it.
    if (c.knobX > 90) {
        EXPECT_EQ(hex(image.at(80, 507)), hex(kColorAccent));
    }
    if (c.knobX < 530) {
        EXPECT_EQ(hex(image.at(535, 507)), hex(kColorSliderTrack));
    }
    for (Pixel p : {Pixel{468, 426}, Pixel{546, 426}, Pixel{507, 414}})
        EXPECT_EQ(hex(image.at(p.x, p.y)), hex(c.monoFace)) << "mono switch at " << p.x << "," << p.y;
}

INSTANTIATE_TEST_SUITE_P(Levels, SendLevelTest,
                         ::testing::Values(LevelCase{-60.0f, 76.0f, false, kColorMonoOff},
                                           LevelCase{0.0f, 497.82f, true, kColorMonoOn},
                                           LevelCase{6.0f, 540.0f, false, kColorMonoOff},
                                           LevelCase{-12.5f, 409.94f, true, kColorMonoOn}));

// --- peak meters -------------------------------------------------------------------

std::uint32_t litColor(int k) {
    if (k == 22) return kColorAlert;
    if (k >= 19) return kColorWarning;
    return kColorAccent;
}

// columns: hold before the paint L/R, stream peaks L/R with signal, lit segments L/R
struct MeterCase {
    float holdL, holdR;
    bool signal;
    float peakL, peakR;
    int litL, litR;
};

class MeterTest : public EditorPixelsTest, public ::testing::WithParamInterface<MeterCase> {};

TEST_P(MeterTest, SegmentsLightUpToTheHold) {
    const MeterCase c = GetParam();
    // A paint first lets the hold fall 2 dB or rise to the new peak.
    editor.peakHoldDb = {c.holdL, c.holdR};
    stream().peakLeft.store(c.peakL);
    stream().peakRight.store(c.peakR);
    if (c.signal) feedSignal();
    const Image image = shot("meter");
    ASSERT_FALSE(image.empty());
    const std::array<int, 2> meterX{612, 642}, lit{c.litL, c.litR};
    for (int ch = 0; ch < 2; ++ch) {
        for (int k = 0; k < kMeterSegments; ++k) {
            const std::uint32_t want = k < lit[ch] ? litColor(k) : kColorSegmentOff;
            EXPECT_EQ(hex(image.at(meterX[ch], 534 - 4 * k)), hex(want)) << "channel " << ch << " segment " << k;
        }
        // Between segments the well shows.
        EXPECT_EQ(hex(image.at(meterX[ch], 532)), hex(kColorWell));
    }
}

INSTANTIATE_TEST_SUITE_P(Holds, MeterTest,
                         ::testing::Values(MeterCase{-0.6f, -88.0f, false, 0, 0, 23, 0},
                                           MeterCase{-58.0f, -8.0f, false, 0, 0, 1, 20},
                                           MeterCase{-90.0f, -90.0f, false, 1.0f, 1.0f, 0, 0},
                                           MeterCase{-90.0f, -90.0f, true, 1.0f, 0.0011f, 23, 1}));

// --- tabs, corners, spectrum -------------------------------------------------------

TEST_F(EditorPixelsTest, UnderlineMarksTheActiveTab) {
    // Points on the underline's upper row; its lower row covers the bar edge.
    const std::array<int, 2> left{224, 330}, right{276, 388};
    for (int t : {kTabListening, kTabSettings}) {
        editor.tab = t;
        const Image image = shot("tab");
        ASSERT_FALSE(image.empty());
        for (int u = 0; u < 2; ++u) {
            const bool active = u == t;
            for (int x : {left[u], (left[u] + right[u]) / 2, right[u] - 1}) {
                EXPECT_EQ(hex(image.at(x, 86)), hex(active ? kColorAccent : kColorBar)) << "tab " << t << " x " << x;
                EXPECT_EQ(hex(image.at(x, 87)), hex(active ? kColorAccent : kColorLine)) << "tab " << t << " x " << x;
            }
            // Past the underline's ends and above it only the bar shows.
            for (Pixel p : {Pixel{left[u] - 1, 86}, Pixel{right[u], 86}, Pixel{left[u] + 10, 85}})
                EXPECT_EQ(hex(image.at(p.x, p.y)), hex(kColorBar)) << "tab " << t << " at " << p.x << "," << p.y;
        }
    }
}

TEST_F(EditorPixelsTest, BarsHaveSharpCornersAndCardsRoundedOnes) {
    const Image image = shot("corners");
    ASSERT_FALSE(image.empty());
    // columns: x, y, colour
    struct Expect {
        int x, y;
        std::uint32_t rgb;
    };
    const std::array<Expect, 10> expects{{
        {0, 0, kColorBar},             // header bar corners
        {959, 0, kColorBar},
        {0, 639, kColorBar},           // footer bar corners
        {959, 639, kColorBar},
        {32, 146, kColorBackground},   // spectrum card corners, cut by the radius
        {695, 146, kColorBackground},
        {32, 383, kColorBackground},
        {40, 190, kColorWell},         // spectrum card inside
        {32, 401, kColorBackground},   // send-level card corner
        {40, 470, kColorCard},         // send-level card inside
    }};
    for (const Expect& e : expects) EXPECT_EQ(hex(image.at(e.x, e.y)), hex(e.rgb)) << e.x << "," << e.y;
}

// columns: every band's level, signal, colour inside the plot, below the top edge
struct SpectrumCase {
    float db;
    bool signal;
    std::uint32_t inside;
    int tolerance;
};

class SpectrumTest : public EditorPixelsTest, public ::testing::WithParamInterface<SpectrumCase> {};

TEST_P(SpectrumTest, AreaFillsUnderTheCurve) {
    const SpectrumCase c = GetParam();
    for (auto& band : stream().spectrumDb) band.store(c.db);
    if (c.signal) feedSignal();
    const Image image = shot("spectrum");
    ASSERT_FALSE(image.empty());
    for (Pixel p : {Pixel{130, 270}, Pixel{330, 220}, Pixel{630, 330}, Pixel{60, 205}})
        EXPECT_LE(colorDistance(image.at(p.x, p.y), c.inside), c.tolerance)
            << hex(image.at(p.x, p.y)) << " at " << p.x << "," << p.y << " want " << hex(c.inside);
    // Above the plot the well stays untouched.
    EXPECT_EQ(hex(image.at(130, 192)), hex(kColorWell));
}

INSTANTIATE_TEST_SUITE_P(Levels, SpectrumTest,
                         ::testing::Values(SpectrumCase{-90.0f, false, kColorWell, 0},
                                           SpectrumCase{3.0f, true, kSpectrumAreaOnWell, 2}));

// --- focus ----------------------------------------------------------------------

TEST_F(EditorPixelsTest, FocusRingShowsOnlyWithFocusOnTheButton) {
    // columns: focused, focus target, ring drawn, slider focus line drawn
    struct Case {
        bool focused;
        std::int32_t target;
        bool ring, sliderLine;
    };
    for (const Case c : {Case{false, kFocusBroadcast, false, false}, Case{true, kFocusBroadcast, true, false},
                         Case{true, kFocusSlider, false, true}}) {
        if (c.focused) editor.focus();
        ASSERT_EQ(editor.hasFocus(), c.focused);
        editor.focusTarget = c.target;
        const Image image = shot("focus");
        ASSERT_FALSE(image.empty());
        // The ring's 1-unit stroke straddles x 762; outside it the bar is untouched.
        const int ring = std::max(colorDistance(image.at(761, 44), kColorBar),
                                  colorDistance(image.at(762, 44), kColorBar));
        if (c.ring) {
            EXPECT_GT(ring, 0x40) << "ring pixel " << hex(image.at(762, 44));
        } else {
            EXPECT_EQ(ring, 0);
        }
        EXPECT_EQ(hex(image.at(759, 44)), hex(kColorBar));
        const int line = std::max(colorDistance(image.at(300, 575), kColorCard),
                                  colorDistance(image.at(300, 576), kColorCard));
        if (c.sliderLine) {
            EXPECT_GT(line, 0x20);
        } else {
            EXPECT_EQ(line, 0);
        }
    }
}

// --- pairing column ----------------------------------------------------------------

constexpr int kQrLeft = 755, kQrTop = 299, kQrSide = 148;

TEST_F(EditorPixelsTest, QrCardStaysEmptyUntilAPortIsKnown) {
    const Image image = shot("qr_empty");
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(editor.qrCode, nullptr);
    const auto card = region(image, kQrLeft - 6, kQrTop - 6, kQrLeft + kQrSide + 6, kQrTop + kQrSide + 6);
    const auto odd = std::find_if(card.begin(), card.end(), [](std::uint32_t p) { return p != kColorQrCard; });
    EXPECT_TRUE(odd == card.end()) << "first odd pixel " << hex(*odd);
}

TEST_F(EditorPixelsTest, QrModulesMatchTheSymbolOfThePairingUrl) {
    stream().port.store(41234);
    const Image image = shot("qr");
    ASSERT_FALSE(image.empty());
    ASSERT_NE(editor.qrCode, nullptr);
    EXPECT_EQ(editor.qrText, stream().pairingUrl());
    const auto reference = qrcodegen::QrCode::encodeText(stream().pairingUrl().c_str(), qrcodegen::QrCode::Ecc::MEDIUM);
    const int n = editor.qrCode->getSize();
    ASSERT_EQ(n, reference.getSize());
    const float m = static_cast<float>(kQrSide) / static_cast<float>(n + 8);
    int wrong = 0;
    // The quiet zone too: getModule is false outside the symbol.
    for (int y = -4; y < n + 4; ++y) {
        for (int x = -4; x < n + 4; ++x) {
            const bool dark = reference.getModule(x, y);
            ASSERT_EQ(editor.qrCode->getModule(x, y), dark);
            const int px = static_cast<int>(kQrLeft + (static_cast<float>(x + 4) + 0.5f) * m);
            const int py = static_cast<int>(kQrTop + (static_cast<float>(y + 4) + 0.5f) * m);
            const std::uint32_t got = image.at(px, py);
            if (got != (dark ? kColorQrModule : kColorQrCard)) {
                ++wrong;
                ADD_FAILURE() << "module " << x << "," << y << " at " << px << "," << py << " is " << hex(got);
                if (wrong > 5) return;
            }
        }
    }
}

TEST_F(EditorPixelsTest, QrSymbolIsRebuiltOnlyWhenTheUrlChanges) {
    stream().port.store(41234);
    const Image first = shot("qr1");
    const qrcodegen::QrCode* symbol = editor.qrCode.get();
    ASSERT_NE(symbol, nullptr);
    const auto column = [](const Image& i) { return region(i, 720, 100, 960, 600); };

    editor.tab = kTabSettings;
    const Image settings = shot("qr2");
    EXPECT_EQ(editor.qrCode.get(), symbol) << "a tab switch keeps the symbol";
    EXPECT_TRUE(column(settings) == column(first)) << "the pairing column looks the same on both tabs";

    stream().port.store(41235);
    const Image moved = shot("qr3");
    EXPECT_NE(editor.qrCode.get(), symbol);
    EXPECT_NE(editor.qrText.find(":41235/"), std::string::npos) << editor.qrText;
    EXPECT_FALSE(column(moved) == column(first));
    const auto* rebuilt = editor.qrCode.get();

    // A stopped server leaves the last symbol cached and drawn.
    stream().port.store(0);
    const Image stopped = shot("qr4");
    EXPECT_EQ(editor.qrCode.get(), rebuilt);
    EXPECT_TRUE(region(stopped, kQrLeft, kQrTop, kQrLeft + kQrSide, kQrTop + kQrSide) ==
                region(moved, kQrLeft, kQrTop, kQrLeft + kQrSide, kQrTop + kQrSide));
}

// --- footer ------------------------------------------------------------------------

TEST_F(EditorPixelsTest, FooterShowsAddressOrNetworkError) {
    // columns: port, server error, server dot
    struct Case {
        std::uint32_t port, error, dot;
    };
    const std::array<Case, 4> cases{{{0, 0, kColorAccent}, {41234, 0, kColorAccent}, {41234, 2, kColorAlert},
                                     {0, 1, kColorAlert}}};
    std::vector<std::vector<std::uint32_t>> texts;
    for (const Case& c : cases) {
        stream().port.store(c.port);
        stream().serverError.store(c.error);
        const Image image = shot("footer");
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(hex(image.at(32, 621)), hex(c.dot)) << "port " << c.port << " error " << c.error;
        texts.push_back(region(image, 43, 606, 353, 636));
        EXPECT_TRUE(std::any_of(texts.back().begin(), texts.back().end(),
                                [](std::uint32_t p) { return colorDistance(p, kColorBar) > 0x30; }))
            << "some text is drawn";
    }
    EXPECT_FALSE(texts[0] == texts[1]) << "the address replaces the waiting text";
    EXPECT_FALSE(texts[1] == texts[2]) << "the error replaces the address";
    EXPECT_TRUE(texts[2] == texts[3]) << "the error reads the same whatever the port";
}

}  // namespace
