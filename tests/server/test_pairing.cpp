#include "server/pairing.h"

#include <gtest/gtest.h>

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// clang-format on

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "server/stream_server.h"

namespace relay {
namespace {

bool isLowerHex(const std::string& s) {
    return s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// --- session key -------------------------------------------------------------

TEST(SessionKey, IsThirtyTwoLowerHexCharactersAndNeverRepeats) {
    std::set<std::string> seen;
    std::set<char> digits;
    for (int i = 0; i < 300; ++i) {
        const std::string key = makeSessionKey();
        ASSERT_EQ(key.size(), 32u) << key;
        ASSERT_TRUE(isLowerHex(key)) << key;
        digits.insert(key.begin(), key.end());
        EXPECT_TRUE(seen.insert(key).second) << "repeated key " << key;
    }
    // 9600 random hex digits: every one of the 16 shows up (both nibbles are used).
    EXPECT_EQ(digits.size(), 16u);
}

TEST(SessionKey, EveryInstanceDrawsItsOwn) {
    auto a = std::make_unique<StreamServer>();
    auto b = std::make_unique<StreamServer>();
    EXPECT_EQ(a->sessionKey.size(), 32u);
    EXPECT_TRUE(isLowerHex(a->sessionKey));
    EXPECT_TRUE(isLowerHex(b->sessionKey));
    EXPECT_NE(a->sessionKey, b->sessionKey);
}

TEST(HexEncode, HighNibbleComesFirst) {
    const std::uint8_t fifteen = 15;
    const std::uint8_t oneSixty = 160;
    EXPECT_EQ(hexEncode(&fifteen, 1), "0f");
    EXPECT_EQ(hexEncode(&oneSixty, 1), "a0");
    const std::uint8_t bytes[] = {0x00, 0xFF, 0x12, 0xAB, 0x9C, 0x0E};
    EXPECT_EQ(hexEncode(bytes, sizeof(bytes)), "00ff12ab9c0e");
    EXPECT_EQ(hexEncode(bytes, 0), "");
}

// --- host, port and pairing URL ----------------------------------------------

TEST(PairingUrl, PortZeroIsWrittenAsOneDigit) {
    auto s = std::make_unique<StreamServer>();
    ASSERT_EQ(s->port.load(), 0u);
    EXPECT_EQ(s->hostPort(), s->lanAddress + ":0");
    EXPECT_EQ(s->pairingUrl(), "http://" + s->lanAddress + ":0/?key=" + s->sessionKey);
}

TEST(PairingUrl, FollowsThePortAndKeepsKeyAndAddress) {
    auto s = std::make_unique<StreamServer>();
    s->port.store(65535);
    EXPECT_EQ(s->hostPort(), s->lanAddress + ":65535");
    EXPECT_EQ(s->pairingUrl(), "http://" + s->lanAddress + ":65535/?key=" + s->sessionKey);
    s->port.store(8);
    EXPECT_EQ(s->pairingUrl(), "http://" + s->lanAddress + ":8/?key=" + s->sessionKey);
}

// --- adapter walk ------------------------------------------------------------

constexpr unsigned long kNoRoute = 0;

// An adapter list as GetAdaptersAddresses lays it out, built in memory: the
// records, their addresses and the socket addresses are owned here and linked
// in the order they were added.
class AdapterList {
public:
    struct Adapter {
        unsigned long ifIndex;
        IF_OPER_STATUS status;
        unsigned long type;
        std::vector<const char*> addresses;  // dotted IPv4, or "v6" for an IPv6 entry
    };

    explicit AdapterList(std::vector<Adapter> adapters) {
        IP_ADAPTER_ADDRESSES* previous = nullptr;
        for (const Adapter& entry : adapters) {
            IP_ADAPTER_ADDRESSES& a = adapters_.emplace_back();
            a.Length = sizeof(a);
            a.IfIndex = entry.ifIndex;
            a.OperStatus = entry.status;
            a.IfType = entry.type;
            IP_ADAPTER_UNICAST_ADDRESS* last = nullptr;
            for (const char* text : entry.addresses) {
                IP_ADAPTER_UNICAST_ADDRESS& u = unicast_.emplace_back();
                u.Length = sizeof(u);
                if (std::string(text) == "v6") {
                    sockaddr_in6& sa = v6_.emplace_back();
                    sa.sin6_family = AF_INET6;
                    sa.sin6_addr.s6_addr[15] = 1;
                    u.Address.lpSockaddr = reinterpret_cast<sockaddr*>(&sa);
                    u.Address.iSockaddrLength = sizeof(sa);
                } else {
                    sockaddr_in& sa = v4_.emplace_back();
                    sa.sin_family = AF_INET;
                    EXPECT_EQ(inet_pton(AF_INET, text, &sa.sin_addr), 1) << text;
                    u.Address.lpSockaddr = reinterpret_cast<sockaddr*>(&sa);
                    u.Address.iSockaddrLength = sizeof(sa);
                }
                if (last != nullptr) last->Next = &u;
                else a.FirstUnicastAddress = &u;
                last = &u;
            }
            if (previous != nullptr) previous->Next = &a;
            previous = &a;
        }
    }
    AdapterList(const AdapterList&) = delete;
    AdapterList& operator=(const AdapterList&) = delete;

    const IP_ADAPTER_ADDRESSES* head() const { return adapters_.empty() ? nullptr : &adapters_.front(); }
    std::string choose(unsigned long bestIfIndex) const { return chooseLanAddress(head(), bestIfIndex); }

private:
    // deques: elements never move, so the links stay valid.
    std::deque<IP_ADAPTER_ADDRESSES> adapters_;
    std::deque<IP_ADAPTER_UNICAST_ADDRESS> unicast_;
    std::deque<sockaddr_in> v4_;
    std::deque<sockaddr_in6> v6_;
};

constexpr IF_OPER_STATUS kUp = IfOperStatusUp;
constexpr IF_OPER_STATUS kDown = IfOperStatusDown;
constexpr unsigned long kEthernet = IF_TYPE_ETHERNET_CSMACD;  // 6
constexpr unsigned long kWifi = IF_TYPE_IEEE80211;            // 71
constexpr unsigned long kLoopback = IF_TYPE_SOFTWARE_LOOPBACK;

TEST(LanAddressWalk, DefaultRouteInterfaceWinsEvenWhenSecond) {
    const AdapterList list({{4, kUp, kEthernet, {"192.168.1.20", "192.168.1.21"}},
                            {9, kUp, kWifi, {"10.0.0.5", "10.0.0.6"}}});
    EXPECT_EQ(list.choose(9), "10.0.0.5");
    EXPECT_EQ(list.choose(4), "192.168.1.20");
}

TEST(LanAddressWalk, FirstQualifyingAddressWhenNoAdapterCarriesTheRoute) {
    const AdapterList list({{4, kUp, kEthernet, {"192.168.1.20", "192.168.1.21"}},
                            {9, kUp, kWifi, {"10.0.0.5"}}});
    EXPECT_EQ(list.choose(kNoRoute), "192.168.1.20");
    EXPECT_EQ(list.choose(77), "192.168.1.20");
}

TEST(LanAddressWalk, DownAdaptersAreSkippedEvenOnTheRouteInterface) {
    const AdapterList list({{4, kDown, kEthernet, {"192.168.1.20"}},
                            {5, IfOperStatusDormant, kEthernet, {"192.168.2.20"}},
                            {6, IfOperStatusUnknown, kEthernet, {"192.168.3.20"}},
                            {9, kUp, kWifi, {"10.0.0.5"}}});
    EXPECT_EQ(list.choose(4), "10.0.0.5");
    EXPECT_EQ(list.choose(kNoRoute), "10.0.0.5");
}

TEST(LanAddressWalk, LoopbackAdaptersAreSkippedWhateverTheirAddress) {
    const AdapterList list({{1, kUp, kLoopback, {"10.9.9.9", "127.0.0.1"}},
                            {7, kUp, kEthernet, {"172.16.4.4"}}});
    EXPECT_EQ(list.choose(1), "172.16.4.4");
    EXPECT_EQ(list.choose(kNoRoute), "172.16.4.4");
}

TEST(LanAddressWalk, LinkLocalIsSkippedAndTheWalkGoesOn) {
    // On an ordinary adapter: its second address is used.
    const AdapterList sameAdapter({{4, kUp, kEthernet, {"169.254.10.1", "192.168.1.20"}}});
    EXPECT_EQ(sameAdapter.choose(kNoRoute), "192.168.1.20");
    EXPECT_EQ(sameAdapter.choose(4), "192.168.1.20");

    // On the route interface: skipped there, and a later adapter still counts.
    const AdapterList onRoute({{4, kUp, kEthernet, {"169.254.10.1"}}, {9, kUp, kWifi, {"10.0.0.5"}}});
    EXPECT_EQ(onRoute.choose(4), "10.0.0.5");

    // An earlier fallback does not stop the route interface's later address from winning.
    const AdapterList routeLater({{3, kUp, kEthernet, {"10.0.0.1"}},
                                  {5, kUp, kWifi, {"169.254.9.9", "172.16.0.4"}}});
    EXPECT_EQ(routeLater.choose(5), "172.16.0.4");
    EXPECT_EQ(routeLater.choose(kNoRoute), "10.0.0.1");
}

TEST(LanAddressWalk, OnlyTheExactLinkLocalPrefixCounts) {
    EXPECT_EQ(AdapterList({{4, kUp, kEthernet, {"169.254.0.0", "169.25.4.1"}}}).choose(kNoRoute), "169.25.4.1");
    EXPECT_EQ(AdapterList({{4, kUp, kEthernet, {"169.254.255.255", "1.169.254.1"}}}).choose(kNoRoute),
              "1.169.254.1");
    EXPECT_EQ(AdapterList({{4, kUp, kEthernet, {"169.255.1.1"}}}).choose(kNoRoute), "169.255.1.1");
    EXPECT_EQ(AdapterList({{4, kUp, kEthernet, {"1.2.3.4"}}}).choose(kNoRoute), "1.2.3.4");  // shorter than 8
}

TEST(LanAddressWalk, NonIpv4EntriesAndEmptyAdaptersArePassedOver) {
    const AdapterList list({{4, kUp, kEthernet, {}},
                            {5, kUp, kEthernet, {"v6"}},
                            {6, kUp, kEthernet, {"v6", "192.168.7.7"}}});
    EXPECT_EQ(list.choose(4), "192.168.7.7");
    EXPECT_EQ(list.choose(kNoRoute), "192.168.7.7");
}

TEST(LanAddressWalk, LoopbackTextIsTheLastResort) {
    EXPECT_EQ(chooseLanAddress(nullptr, kNoRoute), "127.0.0.1");
    EXPECT_EQ(chooseLanAddress(nullptr, 4), "127.0.0.1");
    EXPECT_EQ(AdapterList({{4, kDown, kEthernet, {"192.168.1.20"}}, {5, kDown, kWifi, {"10.0.0.5"}}}).choose(4),
              "127.0.0.1");
    EXPECT_EQ(AdapterList({{1, kUp, kLoopback, {"127.0.0.1"}}}).choose(1), "127.0.0.1");
    EXPECT_EQ(AdapterList({{4, kUp, kEthernet, {"169.254.1.1"}}, {5, kUp, kWifi, {"169.254.2.2"}}}).choose(4),
              "127.0.0.1");
    EXPECT_EQ(AdapterList({{4, kUp, kEthernet, {}}}).choose(4), "127.0.0.1");
}

// --- the machine's own address -----------------------------------------------

TEST(LanAddress, RealLookupGivesDottedIpv4Text) {
    const std::string address = findLanAddress();
    SCOPED_TRACE(address);
    ASSERT_FALSE(address.empty());
    EXPECT_LE(address.size(), 15u);
    in_addr parsed{};
    ASSERT_EQ(inet_pton(AF_INET, address.c_str(), &parsed), 1);
    char back[INET_ADDRSTRLEN] = {};
    ASSERT_NE(inet_ntop(AF_INET, &parsed, back, sizeof(back)), nullptr);
    EXPECT_EQ(std::string(back), address);  // canonical dotted-decimal form
    EXPECT_NE(address.rfind("169.254.", 0), 0u);

    // Looked up once per instance, the same on one machine.
    auto s = std::make_unique<StreamServer>();
    EXPECT_EQ(s->lanAddress, address);
}

}  // namespace
}  // namespace relay
