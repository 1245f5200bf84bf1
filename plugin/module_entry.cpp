// The module's one export: the VST3 class factory.
#include "plugin/factory.h"

extern "C" __declspec(dllexport) Steinberg::IPluginFactory* PLUGIN_API GetPluginFactory() {
    return relay::pluginFactoryOrNull();
}
