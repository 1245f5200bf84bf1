#include "plugin/factory.h"

#include <cstring>

#include "plugin/plugin.h"
#include "pluginterfaces/base/funknown.h"
#include "vstbase/plugin_factory.h"

using namespace Steinberg;

namespace relay {

// The effect's class id, {713D4C2A-EA8B-4C75-AA4D-75C9C102D314}.
const FUID kPluginUid(0x713D4C2A, 0xEA8B4C75, 0xAA4D75C9, 0xC102D314);

namespace {

const PFactoryInfo kFactoryInfo("Tobra Audio", "", "support@tobra.audio", PFactoryInfo::kUnicode);

void putLittleEndian(uint8* out, uint32 value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8>(value >> (8 * i));
}
void putBigEndian(uint8* out, uint32 value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8>(value >> (8 * (3 - i)));
}

// The class id in the Windows GUID memory layout.
void fillClassId(TUID cid) {
    auto* bytes = reinterpret_cast<uint8*>(cid);
    putLittleEndian(bytes, kPluginUid.getLong1(), 4);
    putLittleEndian(bytes + 4, kPluginUid.getLong2() >> 16, 2);
    putLittleEndian(bytes + 6, kPluginUid.getLong2() & 0xFFFF, 2);
    putBigEndian(bytes + 8, kPluginUid.getLong3());
    putBigEndian(bytes + 12, kPluginUid.getLong4());
}

void copyText(char8* field, size_t size, const char* text) {
    std::memset(field, 0, size);
    std::strncpy(field, text, size - 1);
}

const PClassInfo2& classEntry() {
    static const PClassInfo2 entry = [] {
        PClassInfo2 info{};
        fillClassId(info.cid);
        copyText(info.category, sizeof(info.category), "Audio Module Class");
        copyText(info.name, sizeof(info.name), "VANTREL");
        info.classFlags = 0;
        copyText(info.subCategories, sizeof(info.subCategories), "Fx|Network");
        copyText(info.version, sizeof(info.version), "0.2.4");
        copyText(info.sdkVersion, sizeof(info.sdkVersion), "VST 3.8.1");
        info.cardinality = PClassInfo::kManyInstances;
        return info;
    }();
    return entry;
}

}  // namespace

IPluginFactory* acquirePluginFactory() {
    if (gPluginFactory != nullptr) {
        gPluginFactory->addRef();
        return gPluginFactory;
    }
    auto* factory = new CPluginFactory(kFactoryInfo);
    try {
        factory->registerClass(&classEntry(), &Plugin::createInstance, nullptr);
    } catch (...) {
        factory->release();  // not yet the module's factory: nothing else holds it
        throw;
    }
    gPluginFactory = factory;  // its first reference goes to this caller
    return factory;
}

IPluginFactory* pluginFactoryOrNull() noexcept {
    try {
        return acquirePluginFactory();
    } catch (...) {
        return nullptr;
    }
}

}  // namespace relay
