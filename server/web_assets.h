// The web player's three files, compiled into the module as their exact
// UTF-8 bytes (generated from server/web at build time).
#pragma once

#include <string_view>

namespace relay {

extern const std::string_view kPageHtml;       // served for "/" and "/?..."
extern const std::string_view kAppScript;      // "/app.js"
extern const std::string_view kWorkletScript;  // "/player-worklet.js"

}  // namespace relay
