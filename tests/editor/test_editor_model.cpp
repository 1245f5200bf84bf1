// The editor's pure side: level and number conversions, hit regions, size
// rules, the per-paint state steps, meter and spectrum mappings, the logo
// geometry and the QR symbol. Numbers in, numbers out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "editor/editor_model.h"
#include "editor/qr_code.h"

namespace {

using namespace relay;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// --- levels and numbers ------------------------------------------------------------

TEST(EditorModel, AmplitudeToDb) {
    struct Case {
        float amplitude, db;
    };
    const Case cases[] = {
        {1.0f, 0.0f},        {0.5f, -6.0206f}, {0.1f, -20.0f}, {3.2e-5f, -90.0f},
        {0.0f, -90.0f},      {-1.0f, -90.0f},  {kNaN, -90.0f}, {-kNaN, -90.0f},
        {2.0f, 6.0206f},
    };
    for (const Case& c : cases) EXPECT_NEAR(amplitudeToDb(c.amplitude), c.db, 1e-3f) << c.amplitude;
    // The threshold is exclusive: exactly the threshold is the floor, the next
    // float above it is a real level just above the floor.
    EXPECT_EQ(amplitudeToDb(3.2e-5f), -90.0f);
    const float above = amplitudeToDb(std::nextafter(3.2e-5f, 1.0f));
    EXPECT_GT(above, -90.0f);
    EXPECT_LT(above, -89.8f);
}

TEST(EditorModel, FormatDecimalUsesACommaAndNoGrouping) {
    struct Case {
        float value;
        const wchar_t* text;
    };
    const Case cases[] = {
        {-12.5f, L"-12,5"}, {48.0f, L"48,0"}, {6.0f, L"6,0"},           {-0.04f, L"-0,0"},
        {44.1f, L"44,1"},   {192.0f, L"192,0"}, {1234567.0f, L"1234567,0"}, {0.0f, L"0,0"},
    };
    for (const Case& c : cases) EXPECT_EQ(formatDecimal(c.value, 1), c.text) << c.value;
}

// --- hit testing ---------------------------------------------------------------------

TEST(EditorModel, PointInRectIncludesEveryEdgeAndCorner) {
    const Box b{10.0f, 20.0f, 30.0f, 40.0f};
    struct Case {
        float x, y;
        bool inside;
    };
    const Case cases[] = {
        {10, 20, true},  {30, 20, true},   {10, 40, true},     {30, 40, true},      // corners
        {10, 30, true},  {30, 30, true},   {20, 20, true},     {20, 40, true},      // edges
        {20, 30, true},                                                            // middle
        {9.99f, 30, false}, {30.01f, 30, false}, {20, 19.99f, false}, {20, 40.01f, false},
        {9.99f, 19.99f, false}, {30.01f, 40.01f, false},
        {kNaN, 30, false}, {20, kNaN, false}, {kNaN, kNaN, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pointInRect(c.x, c.y, b.left, b.top, b.right, b.bottom), c.inside) << c.x << "," << c.y;
        EXPECT_EQ(pointInBox(c.x, c.y, b), c.inside) << c.x << "," << c.y;
    }
}

TEST(EditorModel, ClickTargetAtTheEdgesOfEveryRegion) {
    struct Region {
        ClickTarget target;
        Box box;
        bool listeningOnly;
    };
    // The regions as a user meets them, written out rather than read back from
    // the code's own table.
    const Region regions[] = {
        {ClickTarget::TabListening, {224, 25, 313, 65}, false},
        {ClickTarget::TabSettings, {330, 25, 424, 65}, false},
        {ClickTarget::Broadcast, {764, 22, 930, 66}, false},
        {ClickTarget::Mono, {458, 408, 555, 440}, true},
        {ClickTarget::Copy, {740, 468, 918, 502}, false},
        {ClickTarget::OpenInBrowser, {728, 505, 932, 535}, false},
    };
    for (const Region& r : regions) {
        const float mx = (r.box.left + r.box.right) / 2, my = (r.box.top + r.box.bottom) / 2;
        const float inside[][2] = {{r.box.left, r.box.top},    {r.box.right, r.box.top}, {r.box.left, r.box.bottom},
                                   {r.box.right, r.box.bottom}, {mx, my}};
        const float outside[][2] = {
            {r.box.left - 0.5f, my}, {r.box.right + 0.5f, my}, {mx, r.box.top - 0.5f}, {mx, r.box.bottom + 0.5f}};
        for (const auto& p : inside) {
            EXPECT_EQ(clickTarget(p[0], p[1], kTabListening), r.target) << p[0] << "," << p[1];
            const ClickTarget onSettings = r.listeningOnly ? ClickTarget::None : r.target;
            EXPECT_EQ(clickTarget(p[0], p[1], kTabSettings), onSettings) << p[0] << "," << p[1];
        }
        for (const auto& p : outside) {
            EXPECT_EQ(clickTarget(p[0], p[1], kTabListening), ClickTarget::None) << p[0] << "," << p[1];
            EXPECT_EQ(clickTarget(p[0], p[1], kTabSettings), ClickTarget::None) << p[0] << "," << p[1];
        }
    }
    EXPECT_EQ(clickTarget(313.0f, 65.0f, kTabListening), ClickTarget::TabListening);
    EXPECT_EQ(clickTarget(313.5f, 65.0f, kTabListening), ClickTarget::None);
    EXPECT_EQ(clickTarget(kNaN, 45.0f, kTabListening), ClickTarget::None);
    EXPECT_EQ(clickTarget(0.0f, 0.0f, kTabListening), ClickTarget::None);
}

// --- sizes ---------------------------------------------------------------------------

TEST(EditorModel, ConstrainEditorSizeKeepsThreeToTwoWithinLimits) {
    struct Case {
        SizeRect in, out;
    };
    const Case cases[] = {
        {{0, 0, 500, 300}, {0, 0, 720, 480}},
        {{10, 20, 2000, 100}, {10, 20, 1930, 1300}},
        {{0, 0, 1000, 0}, {0, 0, 1000, 666}},
        {{100, 0, 50, 0}, {100, 0, 820, 480}},  // negative width
        {{0, 0, 960, 640}, {0, 0, 960, 640}},
        {{0, 0, 720, 9999}, {0, 0, 720, 480}},
        {{0, 0, 1920, 1}, {0, 0, 1920, 1280}},
        {{-50, -30, 1000, 0}, {-50, -30, 1000, 670}},
    };
    for (const Case& c : cases) {
        const SizeRect r = constrainEditorSize(c.in);
        EXPECT_EQ(r.left, c.out.left);
        EXPECT_EQ(r.top, c.out.top);
        EXPECT_EQ(r.right, c.out.right) << c.in.left << "," << c.in.top << "," << c.in.right << "," << c.in.bottom;
        EXPECT_EQ(r.bottom, c.out.bottom) << c.in.left << "," << c.in.top << "," << c.in.right << "," << c.in.bottom;
    }
}

TEST(EditorModel, ScaledEditorLengthTruncatesTheSinglePrecisionProduct) {
    struct Case {
        float factor;
        std::int32_t width, height;
    };
    const Case cases[] = {
        {0.75f, 720, 480}, {2.0f, 1920, 1280}, {1.05f, 1007, 672}, {1.5f, 1440, 960}, {1.0f, 960, 640},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(scaledEditorLength(c.factor, kEditorWidth), c.width) << c.factor;
        EXPECT_EQ(scaledEditorLength(c.factor, kEditorHeight), c.height) << c.factor;
    }
}

// --- send level ------------------------------------------------------------------------

TEST(EditorModel, LevelStepMovesHalfADecibelWithinTheRange) {
    struct Case {
        float fromDb;
        bool up;
        double toDb;
    };
    const Case cases[] = {
        {5.8f, true, 6.0},   {6.0f, true, 6.0},    {-60.0f, false, -60.0}, {-59.8f, false, -60.0},
        {0.0f, true, 0.5},   {0.0f, false, -0.5},  {-60.0f, true, -59.5},  {6.0f, false, 5.5},
        {-12.5f, true, -12.0},
    };
    for (const Case& c : cases) {
        const double v = levelStep(c.fromDb, c.up);
        EXPECT_GE(v, 0.0);
        EXPECT_LE(v, 1.0);
        EXPECT_NEAR(v * 66.0 - 60.0, c.toDb, 1e-9) << c.fromDb << (c.up ? " up" : " down");
    }
    EXPECT_DOUBLE_EQ(levelStep(0.0f, true), 60.5 / 66.0);
    EXPECT_DOUBLE_EQ(levelStep(0.0f, false), 59.5 / 66.0);
    EXPECT_EQ(levelStep(5.8f, true), 1.0);
    EXPECT_EQ(levelStep(-60.0f, false), 0.0);
}

// --- per-paint state steps -------------------------------------------------------------------

TEST(EditorModel, SignalLastsLessThan600Milliseconds) {
    EXPECT_TRUE(signalPresent(1000, 1000));
    EXPECT_TRUE(signalPresent(1000, 1599));
    EXPECT_FALSE(signalPresent(1000, 1600));
    EXPECT_FALSE(signalPresent(1000, 5000));
    EXPECT_FALSE(signalPresent(0, 0)) << "a counter that never changed is no signal";
    EXPECT_FALSE(signalPresent(0, 100));
}

TEST(EditorModel, PeakHoldJumpsUpAndFallsTwoDecibelsAPaintToTheFloor) {
    float hold = peakHoldStep(-90.0f, 1.0f, true);
    EXPECT_EQ(hold, 0.0f) << "a full-scale peak sets the hold at once";
    for (int n = 1; n <= 45; ++n) {
        hold = peakHoldStep(hold, 0.0f, true);
        EXPECT_NEAR(hold, -2.0f * static_cast<float>(n), 1e-4f) << "paint " << n;
    }
    EXPECT_EQ(hold, -90.0f);
    EXPECT_EQ(peakHoldStep(hold, 0.0f, true), -90.0f) << "the hold stops at the floor";
    EXPECT_EQ(peakHoldStep(-90.0f, 0.0f, false), -90.0f);

    EXPECT_NEAR(peakHoldStep(-40.0f, 0.5f, true), -6.0206f, 1e-3f) << "a louder peak wins over the fall";
    EXPECT_EQ(peakHoldStep(-10.0f, 1.0f, false), -12.0f) << "without signal the peak is ignored";
    EXPECT_EQ(peakHoldStep(-10.0f, 0.01f, true), -12.0f) << "a quieter peak (-40 dB) leaves the fall";
}

TEST(EditorModel, SpectrumApproachesItsTargetGeometrically) {
    for (const float target : {-90.0f, -72.0f, -30.0f, 0.0f, 3.0f}) {
        float shown = -90.0f;
        for (int n = 1; n <= 12; ++n) {
            shown = spectrumStep(shown, target);
            const double expected = target + (-90.0 - target) * std::pow(0.6, n);
            EXPECT_NEAR(shown, expected, 1e-4 * 93.0) << "target " << target << " after " << n;
        }
    }
    // A band at 0 dB after the signal stops.
    float shown = 0.0f;
    for (int n = 0; n < 3; ++n) shown = spectrumStep(shown, -90.0f);
    EXPECT_NEAR(shown, -70.56f, 1e-3f);
    shown = spectrumStep(shown, -90.0f);
    EXPECT_NEAR(shown, -78.336f, 1e-3f);
    EXPECT_EQ(spectrumLevel01(shown), 0.0f) << "below the plot's floor it lies on the bottom edge";
}

// --- meter, readout, spectrum plot -------------------------------------------------------------

TEST(EditorModel, MeterSegmentsAndTheirColours) {
    EXPECT_FLOAT_EQ(meterThreshold(0), -60.0f);
    EXPECT_NEAR(meterThreshold(18), -13.04f, 0.01f);
    EXPECT_NEAR(meterThreshold(19), -10.43f, 0.01f);
    EXPECT_NEAR(meterThreshold(21), -5.22f, 0.01f);
    EXPECT_NEAR(meterThreshold(22), -2.61f, 0.01f);
    for (int k = 0; k < kMeterSegments; ++k) {
        const std::uint32_t expected = k <= 18 ? kColorAccent : k <= 21 ? kColorWarning : kColorAlert;
        EXPECT_EQ(meterSegmentColor(k), expected) << "segment " << k;
        if (k > 0) {
            EXPECT_GT(meterThreshold(k), meterThreshold(k - 1));
        }
    }
    // A hold of -2.6 dB lights every segment.
    EXPECT_GE(-2.6f, meterThreshold(kMeterSegments - 1));
}

TEST(EditorModel, PeakReadout) {
    struct Case {
        float hold;
        const wchar_t* text;
    };
    const Case cases[] = {
        {-75.0f, L"\u2212\u221E"}, {-70.01f, L"\u2212\u221E"}, {-90.0f, L"\u2212\u221E"},
        {-70.0f, L"-70,0"},        {-12.5f, L"-12,5"},         {0.0f, L"0,0"},
        {2.3f, L"2,3"},
    };
    for (const Case& c : cases) EXPECT_EQ(peakReadout(c.hold), c.text) << c.hold;
}

TEST(EditorModel, FrequencyGridLinesAndPlotLevels) {
    struct Case {
        double hz;
        float x;
    };
    const Case cases[] = {{30, 70.56f},    {100, 179.88f},  {300, 279.64f},  {1000, 388.97f},
                          {3000, 488.73f}, {10000, 598.06f}, {25, 54.0f},    {20000, 661.0f}};
    for (const Case& c : cases) EXPECT_NEAR(frequencyGridX(c.hz), c.x, 0.01f) << c.hz;

    EXPECT_EQ(spectrumLevel01(-80.0f), 0.0f);
    EXPECT_EQ(spectrumLevel01(-72.0f), 0.0f);
    EXPECT_EQ(spectrumLevel01(0.0f), 1.0f);
    EXPECT_EQ(spectrumLevel01(3.0f), 1.0f);
    EXPECT_FLOAT_EQ(spectrumLevel01(-36.0f), 0.5f);
}

// --- logo ------------------------------------------------------------------------------------

// Every point the pen visits on one mark's outline, in editor units.
std::vector<Point> logoOutline(float offset) {
    struct Step {
        bool curve;
        Point control, end;
    };
    const Step steps[] = {
        {false, {}, {42, 10}},       {true, {50, 2}, {58, 10}}, {false, {}, {84, 36}},
        {true, {92, 44}, {84, 52}},  {false, {}, {58, 78}},     {true, {50, 86}, {42, 78}},
        {false, {}, {16, 52}},       {true, {8, 44}, {16, 36}},
    };
    std::vector<Point> logo;
    Point pen{16, 36};
    logo.push_back(pen);
    for (const Step& s : steps) {
        if (s.curve) {
            const auto pieces = quadraticPieces(pen, s.control, s.end);
            logo.insert(logo.end(), pieces.begin(), pieces.end());
            EXPECT_EQ(pieces.back().x, s.end.x) << "a curve ends exactly at its end point";
            EXPECT_EQ(pieces.back().y, s.end.y);
        } else {
            logo.push_back(s.end);
        }
        pen = s.end;
    }
    for (Point& p : logo) p = logoPoint(p.x, p.y, offset);
    return logo;
}

TEST(EditorModel, LogoMarksSpanTheirOutlineAndStackVertically) {
    const std::vector<Point> first = logoOutline(0.0f);
    const std::vector<Point> second = logoOutline(40.0f);
    ASSERT_EQ(first.size(), 1u + 4u + 4u * 8u);
    auto [minX, maxX] = std::minmax_element(first.begin(), first.end(), [](Point a, Point b) { return a.x < b.x; });
    auto [minY, maxY] = std::minmax_element(first.begin(), first.end(), [](Point a, Point b) { return a.y < b.y; });
    EXPECT_NEAR(minX->x, 30.56f, 1e-4f);
    EXPECT_NEAR(maxX->x, 59.44f, 1e-4f);
    EXPECT_NEAR(minY->y, 22.28f, 1e-4f);
    EXPECT_NEAR(maxY->y, 51.16f, 1e-4f);
    EXPECT_NEAR(first.front().x, first.back().x, 1e-5f) << "the outline closes";
    EXPECT_NEAR(first.front().y, first.back().y, 1e-5f);
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(second[i].x, first[i].x);
        EXPECT_NEAR(second[i].y - first[i].y, 15.2f, 1e-4f) << "point " << i;
    }
}

// --- QR ----------------------------------------------------------------------------------------

TEST(EditorModel, QrModulePitchFillsTheSquareWithAQuietZone) {
    EXPECT_FLOAT_EQ(qrModulePitch(33), 148.0f / 41.0f);
    EXPECT_FLOAT_EQ(qrModulePitch(37), 148.0f / 45.0f);
    EXPECT_NEAR(qrModulePitch(33), 3.6098f, 1e-4f);
    EXPECT_NEAR(qrModulePitch(37), 3.2889f, 1e-4f);
}

TEST(EditorModel, QrSymbolOfPairingUrls) {
    const std::string key = "0123456789abcdef0123456789abcdef";
    struct Case {
        std::string url;
        int size;
    };
    const Case cases[] = {
        {"http://255.255.255.255:65535/?key=" + key, 37},  // the longest pairing URL
        {"http://10.0.0.2:80/?key=" + key, 33},
    };
    for (const Case& c : cases) {
        const auto qr = qrcodegen::QrCode::encodeText(c.url.c_str(), qrcodegen::QrCode::Ecc::MEDIUM);
        ASSERT_EQ(qr.getSize(), c.size) << c.url;
        const int n = c.size;
        // Finder patterns: dark corners, light separators.
        for (const auto& [x, y] : {std::pair{0, 0}, {n - 1, 0}, {0, n - 1}, {6, 6}, {n - 7, 6}})
            EXPECT_TRUE(qr.getModule(x, y)) << x << "," << y;
        for (const auto& [x, y] : {std::pair{7, 7}, {n - 8, 7}, {7, n - 8}})
            EXPECT_FALSE(qr.getModule(x, y)) << x << "," << y;
        for (const auto& [x, y] : {std::pair{-1, 0}, {0, -1}, {n, 0}, {0, n}, {n, n}, {-1, -1}})
            EXPECT_FALSE(qr.getModule(x, y)) << "outside " << x << "," << y;
    }
    EXPECT_EQ(std::string("http://255.255.255.255:65535/?key=" + key).size(), 66u);
}

TEST(EditorModel, QrTextBeyondTheLargestSymbolThrows) {
    const std::string fits(2331, 'a');  // the byte capacity of the largest symbol at this level
    EXPECT_EQ(qrcodegen::QrCode::encodeText(fits.c_str(), qrcodegen::QrCode::Ecc::MEDIUM).getSize(), 177);
    const std::string tooLong(2332, 'a');
    EXPECT_THROW(qrcodegen::QrCode::encodeText(tooLong.c_str(), qrcodegen::QrCode::Ecc::MEDIUM),
                 qrcodegen::data_too_long);
    EXPECT_THROW(qrcodegen::QrCode::encodeText(std::string(10000, 'a').c_str(), qrcodegen::QrCode::Ecc::MEDIUM),
                 qrcodegen::data_too_long);
}

}  // namespace
