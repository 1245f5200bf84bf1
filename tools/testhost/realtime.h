// The test host's real-time mode: the plug-in's own code driven by the
// clock with a built-in test signal, so a person (or a test) can listen.
#pragma once

#include <cstdint>
#include <string>

namespace testhost {

struct RealtimeOptions {
    double sampleRate = 48000.0;
    std::int32_t blockFrames = 512;
    double seconds = 0.0;            // 0: until "quit" or end of input
    std::string signal = "chord";    // chord | counter
    bool stream = true;              // switch streaming on at start
    bool editor = false;             // open the plug-in's editor in a window
};

// The test signal at frame n (left, right).
void testSignal(const std::string& kind, std::uint64_t n, double rate, float& left, float& right);

// Runs until the time is up, "quit" arrives on stdin or stdin ends.
// Commands on stdin: terminate, initialize, quit, param <id> <value>,
// handles (prints the process's handle count), status (prints counters).
// With the editor open, also: snapshot <path> (a PNG of one paint), scale
// <factor>, size <w> <h>, click <x> <y>, dblclick <x> <y> (logical editor
// coordinates), key <virtual-key code>, close and open (remove and attach
// the view again).
int runRealtime(const RealtimeOptions& options);

}  // namespace testhost
