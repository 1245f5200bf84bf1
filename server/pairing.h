// Pairing: the session key and the LAN address that identify an instance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct _IP_ADAPTER_ADDRESSES_LH;

namespace relay {

inline constexpr std::size_t kSessionKeyBytes = 16;
inline constexpr char kLoopbackAddress[] = "127.0.0.1";

// 32 lower-case hex characters of 16 secure random bytes (high nibble
// first). Throws std::runtime_error("Secure session key unavailable").
std::string makeSessionKey();

// Lower-case hex of a byte range, high nibble first.
std::string hexEncode(const std::uint8_t* bytes, std::size_t size);

// The machine's IPv4 LAN address as text; "127.0.0.1" when none is usable.
std::string findLanAddress();

// The adapter walk behind findLanAddress, over a list already fetched: the
// first usable address on the default-route interface (bestIfIndex) wins,
// else the first usable one in list order; down, loopback and link-local
// are skipped; "127.0.0.1" as the last resort.
std::string chooseLanAddress(const _IP_ADAPTER_ADDRESSES_LH* adapters, unsigned long bestIfIndex);

}  // namespace relay
