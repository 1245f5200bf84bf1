#include "server/stream_server.h"

#include <system_error>

#include "server/pairing.h"

namespace relay {

StreamServer::StreamServer() : sessionKey(makeSessionKey()), lanAddress(findLanAddress()) {
    for (auto& cell : spectrumDb) cell.store(kSpectrumFloorDb);
}

StreamServer::~StreamServer() {
    // stop() can only throw for a join from the server thread itself or a
    // failed join; neither can happen from the owner's destructor.
    try {
        stop();
    } catch (...) {
    }
    if (thread.joinable()) std::terminate();
}

void StreamServer::start() {
    if (thread.joinable()) return;
    stopRequested.store(false);
    thread = std::thread([this] { run(); });
}

void StreamServer::stop() {
    stopRequested.store(true);
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id())
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
        thread.join();
    }
    port.store(0);
}

std::string StreamServer::hostPort(std::uint32_t boundPort) const {
    return lanAddress + ":" + std::to_string(boundPort);
}

std::string StreamServer::pairingUrl(std::uint32_t boundPort) const {
    return "http://" + hostPort(boundPort) + "/?key=" + sessionKey;
}

}  // namespace relay
