// relay::Plugin: component, audio processor and edit controller of one
// Vantrel instance, owning the instance's stream state.
#pragma once

#include <cstdint>
#include <functional>

#include "server/stream_server.h"
#include "vstbase/single_component_effect.h"

namespace relay {

// The editor's way to change a parameter: (parameter id, normalized value).
using ParameterEditFn = std::function<void(std::uint32_t, double)>;

class Plugin : public Steinberg::Vst::SingleComponentEffect {
public:
    Plugin();
    ~Plugin() override;

    // The factory's create function: a new instance as FUnknown (through its
    // IAudioProcessor face); the context is ignored.
    static Steinberg::FUnknown* createInstance(void* context);

    // IPluginBase (one implementation for every interface that has them).
    Steinberg::tresult PLUGIN_API initialize(Steinberg::FUnknown* context) SMTG_OVERRIDE;
    Steinberg::tresult PLUGIN_API terminate() SMTG_OVERRIDE;

    // IComponent; the state pair is IComponent's setState/getState only (the
    // edit controller's keeps the base's answer).
    Steinberg::tresult PLUGIN_API setActive(Steinberg::TBool state) SMTG_OVERRIDE;
    Steinberg::tresult componentSetState(Steinberg::IBStream* state) override;
    Steinberg::tresult componentGetState(Steinberg::IBStream* state) override;

    // IAudioProcessor
    Steinberg::tresult PLUGIN_API setBusArrangements(Steinberg::Vst::SpeakerArrangement* inputs,
                                                     Steinberg::int32 numIns,
                                                     Steinberg::Vst::SpeakerArrangement* outputs,
                                                     Steinberg::int32 numOuts) SMTG_OVERRIDE;
    Steinberg::tresult PLUGIN_API canProcessSampleSize(Steinberg::int32 symbolicSampleSize) SMTG_OVERRIDE;
    Steinberg::tresult PLUGIN_API setupProcessing(Steinberg::Vst::ProcessSetup& setup) SMTG_OVERRIDE;
    Steinberg::tresult PLUGIN_API setProcessing(Steinberg::TBool state) SMTG_OVERRIDE;
    Steinberg::tresult PLUGIN_API process(Steinberg::Vst::ProcessData& data) SMTG_OVERRIDE;

    // IEditController
    Steinberg::tresult PLUGIN_API setParamNormalized(Steinberg::Vst::ParamID id,
                                                     Steinberg::Vst::ParamValue value) SMTG_OVERRIDE;
    Steinberg::IPlugView* PLUGIN_API createView(Steinberg::FIDString name) SMTG_OVERRIDE;

    // The only path from a parameter value into the stream state; audio and
    // UI threads. Non-finite values are ignored, others clamped to 0..1.
    void applyParameter(Steinberg::Vst::ParamID id, double value) noexcept;

    // The edit callback's body (UI thread): begin, set, apply, perform, end.
    void editParameter(Steinberg::Vst::ParamID id, double value);

    // The callback handed to an editor for this instance.
    ParameterEditFn makeEditFn() { return [this](std::uint32_t id, double v) { editParameter(id, v); }; }

    StreamServer stream;

private:
    // The two busses and four parameters, in the order hosts list them.
    void declareBussesAndParameters();
};

}  // namespace relay
