// The effect's four parameters, one table for registration, state and tests.
#pragma once

#include <array>
#include <cstdint>

namespace relay {

inline constexpr std::uint32_t kParamBroadcast = 100;
inline constexpr std::uint32_t kParamSendLevel = 101;
inline constexpr std::uint32_t kParamMonoSend = 102;
inline constexpr std::uint32_t kParamDisabled = 103;

inline constexpr double kSendLevelMinDb = -60.0;
inline constexpr double kSendLevelMaxDb = 6.0;
inline constexpr double kSendLevelSpanDb = kSendLevelMaxDb - kSendLevelMinDb;  // 66 dB
inline constexpr double kSwitchOnThreshold = 0.5;  // normalized value from which a switch is on

inline constexpr std::int32_t kFlagCanAutomate = 1;
inline constexpr std::int32_t kFlagIsBypass = 1 << 16;

struct ParameterSpec {
    std::uint32_t id;
    const wchar_t* title;      // UTF-16 on Windows
    const wchar_t* units;      // null: none
    std::int32_t stepCount;    // 1: on/off, 0: continuous
    double defaultNormalized;
    std::int32_t flags;
};

// columns: id, title, units, stepCount, default (normalized), flags
inline constexpr std::array<ParameterSpec, 4> kParameters{{
    {kParamBroadcast, L"Yayın", nullptr, 1, 0.0, kFlagCanAutomate},
    {kParamSendLevel, L"Gönderim seviyesi", L"dB", 0, -kSendLevelMinDb / kSendLevelSpanDb, kFlagCanAutomate},
    {kParamMonoSend, L"Mono gönderim", nullptr, 1, 0.0, kFlagCanAutomate},
    {kParamDisabled, L"Devre dışı", nullptr, 1, 0.0, kFlagCanAutomate | kFlagIsBypass},
}};

// Send level in dB for a normalized value in 0..1 (the range's linear mapping).
inline double sendLevelDbFromNormalized(double v) { return v * kSendLevelSpanDb + kSendLevelMinDb; }
inline double normalizedFromSendLevelDb(double db) { return (db - kSendLevelMinDb) / kSendLevelSpanDb; }

}  // namespace relay
