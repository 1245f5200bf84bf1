#include "server/pairing.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <bcrypt.h>
// clang-format on

#include <array>
#include <stdexcept>
#include <vector>

namespace relay {

namespace {
constexpr ULONG kAdapterBufferBytes = 16384;
constexpr ULONG kAdapterFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
// Any globally routed address: only asked which interface would carry it.
constexpr char kRouteProbeAddress[] = "8.8.8.8";
constexpr char kLinkLocalPrefix[] = "169.254.";
constexpr char kHexDigits[] = "0123456789abcdef";
}  // namespace

std::string hexEncode(const std::uint8_t* bytes, std::size_t size) {
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kHexDigits[bytes[i] >> 4]);
        text.push_back(kHexDigits[bytes[i] & 15]);
    }
    return text;
}

std::string makeSessionKey() {
    std::array<std::uint8_t, kSessionKeyBytes> random{};
    const NTSTATUS status = BCryptGenRandom(nullptr, random.data(), static_cast<ULONG>(random.size()),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status != 0) throw std::runtime_error("Secure session key unavailable");
    return hexEncode(random.data(), random.size());
}

std::string chooseLanAddress(const IP_ADAPTER_ADDRESSES* adapters, unsigned long bestIfIndex) {
    std::string fallback;
    for (const IP_ADAPTER_ADDRESSES* a = adapters; a != nullptr; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
            const sockaddr* sa = u->Address.lpSockaddr;
            if (sa == nullptr || sa->sa_family != AF_INET) continue;
            char text[INET_ADDRSTRLEN] = {};
            const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
            if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)) == nullptr) continue;
            const std::string address(text);
            if (address.rfind(kLinkLocalPrefix, 0) == 0) continue;
            if (a->IfIndex == bestIfIndex) return address;
            if (fallback.empty()) fallback = address;
        }
    }
    return fallback.empty() ? std::string(kLoopbackAddress) : fallback;
}

std::string findLanAddress() {
    std::vector<unsigned char> buffer(kAdapterBufferBytes, 0);
    ULONG size = kAdapterBufferBytes;
    auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    ULONG result = GetAdaptersAddresses(AF_INET, kAdapterFlags, nullptr, list, &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        buffer.assign(size, 0);
        list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
        result = GetAdaptersAddresses(AF_INET, 0, nullptr, list, &size);
    }
    if (result != NO_ERROR) return kLoopbackAddress;
    in_addr probe{};
    inet_pton(AF_INET, kRouteProbeAddress, &probe);
    DWORD best = 0;
    GetBestInterface(probe.s_addr, &best);
    return chooseLanAddress(list, best);
}

}  // namespace relay
