// Our base for a VST3 effect whose component, audio processor and edit
// controller are one object. Written against the public VST3 interfaces;
// subclasses override what they need (busses and parameters are declared in
// their initialize()).
#pragma once

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstcomponent.h"
#include "public.sdk/source/vst/vstbus.h"
#include "public.sdk/source/vst/vsteditcontroller.h"

namespace Steinberg::Vst {

// IComponent with its state pair routed to differently named virtuals.
// IComponent and IEditController both declare setState(IBStream*) and
// getState(IBStream*); one override in a class that inherits both would
// answer for both interfaces. These finals take the component's pair, so a
// subclass implements componentSetState/componentGetState, the edit
// controller's pair stays EditController's, and declaring setState or
// getState in a subclass no longer compiles.
class ComponentStateFace : public IComponent {
public:
    tresult PLUGIN_API setState(IBStream* state) final { return componentSetState(state); }
    tresult PLUGIN_API getState(IBStream* state) final { return componentGetState(state); }

    // The component's saved state (host's IBStream, may be null); host threads.
    virtual tresult componentSetState(IBStream* state) = 0;
    virtual tresult componentGetState(IBStream* state) = 0;
};

class SingleComponentEffect : public EditControllerEx1,
                              public ComponentStateFace,
                              public IAudioProcessor,
                              public IProcessContextRequirements {
public:
    SingleComponentEffect();
    ~SingleComponentEffect() override;

    // IPluginBase: a second initialize with a host context is refused by
    // ComponentBase; terminate releases busses and parameters.
    tresult PLUGIN_API initialize(FUnknown* context) SMTG_OVERRIDE;
    tresult PLUGIN_API terminate() SMTG_OVERRIDE;

    // IComponent
    tresult PLUGIN_API getControllerClassId(TUID classId) SMTG_OVERRIDE;
    tresult PLUGIN_API setIoMode(IoMode mode) SMTG_OVERRIDE;
    int32 PLUGIN_API getBusCount(MediaType type, BusDirection dir) SMTG_OVERRIDE;
    tresult PLUGIN_API getBusInfo(MediaType type, BusDirection dir, int32 index,
                                  BusInfo& info) SMTG_OVERRIDE;
    tresult PLUGIN_API getRoutingInfo(RoutingInfo& inInfo, RoutingInfo& outInfo) SMTG_OVERRIDE;
    tresult PLUGIN_API activateBus(MediaType type, BusDirection dir, int32 index,
                                   TBool state) SMTG_OVERRIDE;
    tresult PLUGIN_API setActive(TBool state) SMTG_OVERRIDE;
    tresult componentSetState(IBStream* state) override;
    tresult componentGetState(IBStream* state) override;

    // IAudioProcessor
    tresult PLUGIN_API setBusArrangements(SpeakerArrangement* inputs, int32 numIns,
                                          SpeakerArrangement* outputs, int32 numOuts) SMTG_OVERRIDE;
    tresult PLUGIN_API getBusArrangement(BusDirection dir, int32 index,
                                         SpeakerArrangement& arr) SMTG_OVERRIDE;
    tresult PLUGIN_API canProcessSampleSize(int32 symbolicSampleSize) SMTG_OVERRIDE;
    uint32 PLUGIN_API getLatencySamples() SMTG_OVERRIDE { return 0; }
    tresult PLUGIN_API setupProcessing(ProcessSetup& setup) SMTG_OVERRIDE;
    tresult PLUGIN_API setProcessing(TBool state) SMTG_OVERRIDE;
    tresult PLUGIN_API process(ProcessData& data) SMTG_OVERRIDE;
    uint32 PLUGIN_API getTailSamples() SMTG_OVERRIDE { return kNoTail; }

    // IEditController / IUnitInfo: index checks first, since the base's
    // containers would throw past the end and no exception may reach a host.
    tresult PLUGIN_API getParameterInfo(int32 paramIndex, ParameterInfo& info) SMTG_OVERRIDE;
    tresult PLUGIN_API getUnitInfo(int32 unitIndex, UnitInfo& info) SMTG_OVERRIDE;

    // IProcessContextRequirements: no flags asked for.
    uint32 PLUGIN_API getProcessContextRequirements() SMTG_OVERRIDE { return 0; }

    // Bus declaration helpers for initialize().
    AudioBus* addAudioInput(const TChar* name, SpeakerArrangement arr, BusType type = kMain,
                            int32 flags = BusInfo::kDefaultActive);
    AudioBus* addAudioOutput(const TChar* name, SpeakerArrangement arr, BusType type = kMain,
                             int32 flags = BusInfo::kDefaultActive);
    void removeAllBusses();

    OBJ_METHODS(SingleComponentEffect, EditControllerEx1)
    tresult PLUGIN_API queryInterface(const TUID iid, void** obj) SMTG_OVERRIDE;
    REFCOUNT_METHODS(EditControllerEx1)

protected:
    BusList* busList(MediaType type, BusDirection dir);

    BusList audioInputs{kAudio, kInput};
    BusList audioOutputs{kAudio, kOutput};
    BusList eventInputs{kEvent, kInput};
    BusList eventOutputs{kEvent, kOutput};
    ProcessSetup processSetup{kRealtime, kSample32, 1024, 44100.0};
};

}  // namespace Steinberg::Vst
