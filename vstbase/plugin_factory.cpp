#include "vstbase/plugin_factory.h"

#include <cstring>

namespace Steinberg {

IPluginFactory* gPluginFactory = nullptr;

CPluginFactory::CPluginFactory(const PFactoryInfo& info) : factoryInfo_(info) {}

CPluginFactory::~CPluginFactory() {
    if (gPluginFactory == this) gPluginFactory = nullptr;
}

bool CPluginFactory::registerClass(const PClassInfo2* info, CreateInstanceFunc createFunc, void* context) {
    if (info == nullptr || createFunc == nullptr) return false;
    classes_.push_back(ClassEntry{*info, createFunc, context});
    return true;
}

tresult PLUGIN_API CPluginFactory::queryInterface(const TUID iid, void** obj) {
    if (obj == nullptr) return kInvalidArgument;
    QUERY_INTERFACE(iid, obj, FUnknown::iid, IPluginFactory3)
    QUERY_INTERFACE(iid, obj, IPluginFactory::iid, IPluginFactory3)
    QUERY_INTERFACE(iid, obj, IPluginFactory2::iid, IPluginFactory3)
    QUERY_INTERFACE(iid, obj, IPluginFactory3::iid, IPluginFactory3)
    *obj = nullptr;
    return kNoInterface;
}

uint32 PLUGIN_API CPluginFactory::addRef() { return ++refCount_; }

uint32 PLUGIN_API CPluginFactory::release() {
    const uint32 left = --refCount_;
    if (left == 0) delete this;
    return left;
}

tresult PLUGIN_API CPluginFactory::getFactoryInfo(PFactoryInfo* info) {
    if (info == nullptr) return kInvalidArgument;
    std::memcpy(info, &factoryInfo_, sizeof(PFactoryInfo));
    return kResultOk;
}

int32 PLUGIN_API CPluginFactory::countClasses() { return static_cast<int32>(classes_.size()); }

const CPluginFactory::ClassEntry* CPluginFactory::entryAt(int32 index) const {
    if (index < 0 || index >= static_cast<int32>(classes_.size())) return nullptr;
    return &classes_[static_cast<size_t>(index)];
}

tresult PLUGIN_API CPluginFactory::getClassInfo(int32 index, PClassInfo* info) {
    const ClassEntry* entry = entryAt(index);
    if (info == nullptr || entry == nullptr) return kInvalidArgument;
    std::memcpy(info->cid, entry->info.cid, sizeof(TUID));
    info->cardinality = entry->info.cardinality;
    std::memcpy(info->category, entry->info.category, sizeof(info->category));
    std::memcpy(info->name, entry->info.name, sizeof(info->name));
    return kResultOk;
}

tresult PLUGIN_API CPluginFactory::getClassInfo2(int32 index, PClassInfo2* info) {
    const ClassEntry* entry = entryAt(index);
    if (info == nullptr || entry == nullptr) return kInvalidArgument;
    std::memcpy(info, &entry->info, sizeof(PClassInfo2));
    return kResultOk;
}

tresult PLUGIN_API CPluginFactory::getClassInfoUnicode(int32 index, PClassInfoW* info) {
    const ClassEntry* entry = entryAt(index);
    if (info == nullptr || entry == nullptr) return kInvalidArgument;
    info->fromAscii(entry->info);
    return kResultOk;
}

tresult PLUGIN_API CPluginFactory::setHostContext(FUnknown*) { return kResultOk; }

tresult PLUGIN_API CPluginFactory::createInstance(FIDString cid, FIDString iid, void** obj) {
    if (obj == nullptr) return kInvalidArgument;
    *obj = nullptr;
    if (cid == nullptr || iid == nullptr) return kInvalidArgument;
    for (const ClassEntry& entry : classes_) {
        if (std::memcmp(entry.info.cid, cid, sizeof(TUID)) != 0) continue;
        FUnknown* instance = entry.create(entry.context);
        if (instance == nullptr) return kOutOfMemory;
        // The create function's reference goes to the caller through iid.
        const tresult result = instance->queryInterface(iid, obj);
        instance->release();
        if (result != kResultOk) *obj = nullptr;
        return result;
    }
    return kNoInterface;
}

}  // namespace Steinberg
