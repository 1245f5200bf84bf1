// Class registration: the module's factory with its one effect class.
#pragma once

#include "pluginterfaces/base/ipluginbase.h"

namespace relay {

// The module's factory: the same object (one more reference) while it
// lives, a new one after the host released the last reference. Callers must
// not overlap (as the module's export requires of hosts).
Steinberg::IPluginFactory* acquirePluginFactory();

// acquirePluginFactory for the module's export: null instead of an
// exception when the factory cannot be made (out of memory).
Steinberg::IPluginFactory* pluginFactoryOrNull() noexcept;

}  // namespace relay
