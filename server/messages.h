// The two JSON texts a web player receives: the status message and the config
// message. Built by concatenating fixed pieces and numbers; every value is a
// number or a boolean, so nothing ever needs escaping.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace relay {

// The values of one status message, already derived from the stream state.
struct StatusValues {
    bool enabled = false;        // broadcast set and disabled clear
    bool active = false;         // the host is processing
    std::uint32_t listeners = 0;
    std::uint32_t sampleRate = 0;  // Hz
    std::uint64_t drops = 0;       // blocks lost to a full ring
    bool supportedRate = false;    // sampleRate within the streamable range
    bool preview = false;
};

/* "enabled" of the status message: broadcast set and disabled clear. Loads
   `disabled` only when `broadcast` is set. Sequentially consistent loads;
   any thread. */
bool streamingEnabled(const std::atomic<bool>& broadcast, const std::atomic<bool>& disabled);

/* The status message: one line of JSON with the keys type, enabled, active,
   listeners, sampleRate, drops, supportedRate, preview in that order and no
   whitespace; numbers in plain unsigned decimal (drops over the full 64-bit
   range). 125 to 162 bytes for realistic to extreme values. Server thread. */
std::string formatStatusJson(const StatusValues& values);

/* The config message announcing the PCM format for a rate in Hz: always two
   channels of float32. 67 to 69 bytes for 8000 to 192000 Hz. Server thread. */
std::string buildConfigJson(std::uint32_t sampleRate);

}  // namespace relay
