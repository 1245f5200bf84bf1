// Our VST3 class factory: a registry of classes with their create functions,
// reference-counted; it clears the module's factory pointer when it dies.
#pragma once

#include <atomic>
#include <vector>

#include "pluginterfaces/base/ipluginbase.h"

namespace Steinberg {

// The module's one factory, or null; owned by the references the host holds.
extern IPluginFactory* gPluginFactory;

using CreateInstanceFunc = FUnknown* (*)(void* context);

class CPluginFactory : public IPluginFactory3 {
public:
    explicit CPluginFactory(const PFactoryInfo& info);
    virtual ~CPluginFactory();
    CPluginFactory(const CPluginFactory&) = delete;
    CPluginFactory& operator=(const CPluginFactory&) = delete;

    // Adds one class; false for a null entry or function.
    bool registerClass(const PClassInfo2* info, CreateInstanceFunc createFunc, void* context = nullptr);

    // FUnknown
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) SMTG_OVERRIDE;
    uint32 PLUGIN_API addRef() SMTG_OVERRIDE;
    uint32 PLUGIN_API release() SMTG_OVERRIDE;

    // IPluginFactory
    tresult PLUGIN_API getFactoryInfo(PFactoryInfo* info) SMTG_OVERRIDE;
    int32 PLUGIN_API countClasses() SMTG_OVERRIDE;
    tresult PLUGIN_API getClassInfo(int32 index, PClassInfo* info) SMTG_OVERRIDE;
    tresult PLUGIN_API createInstance(FIDString cid, FIDString iid, void** obj) SMTG_OVERRIDE;

    // IPluginFactory2
    tresult PLUGIN_API getClassInfo2(int32 index, PClassInfo2* info) SMTG_OVERRIDE;

    // IPluginFactory3: the class entry with UTF-16 texts; the host context
    // is not needed by the classes this factory makes.
    tresult PLUGIN_API getClassInfoUnicode(int32 index, PClassInfoW* info) SMTG_OVERRIDE;
    tresult PLUGIN_API setHostContext(FUnknown* context) SMTG_OVERRIDE;

private:
    struct ClassEntry {
        PClassInfo2 info;
        CreateInstanceFunc create;
        void* context;
    };
    const ClassEntry* entryAt(int32 index) const;

    std::atomic<uint32> refCount_{1};
    PFactoryInfo factoryInfo_;
    std::vector<ClassEntry> classes_;
};

}  // namespace Steinberg
