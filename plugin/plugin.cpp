#include "plugin/plugin.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include "base/source/fstreamer.h"
#include "editor/view.h"
#include "pluginterfaces/vst/ivstparameterchanges.h"
#include "plugin/parameters.h"
#include "public.sdk/source/vst/vstparameters.h"

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace relay {

namespace {
constexpr double kMinSetupRate = 1.0;
constexpr double kMaxSetupRate = 2000000.0;
constexpr int32 kStateVersion = 1;

bool switchOn(double v) { return v >= kSwitchOnThreshold; }
}  // namespace

Plugin::Plugin() = default;

Plugin::~Plugin() {
    try {
        stream.stop();
    } catch (...) {
        // Only a join from the server thread itself could throw; the host
        // never releases us there. The stream state's destructor stops too.
    }
}

FUnknown* Plugin::createInstance(void*) {
    // Plugin is over-aligned (the ring's indices sit on their own cache
    // lines), so this is the aligned operator new; delete matches it.
    // No exception may cross into the host: without a secure random source
    // there is no instance, and the factory answers with a result code.
    try {
        return static_cast<IAudioProcessor*>(new Plugin());
    } catch (...) {
        return nullptr;
    }
}

tresult PLUGIN_API Plugin::initialize(FUnknown* context) {
    const tresult result = SingleComponentEffect::initialize(context);
    if (result != kResultOk) return result;
    try {
        declareBussesAndParameters();
        stream.start();
    } catch (...) {
        // Out of memory or no thread: undo the declarations, tell the host.
        SingleComponentEffect::terminate();
        return kResultFalse;
    }
    return kResultOk;
}

void Plugin::declareBussesAndParameters() {
    addAudioInput(L"Stereo giriş", SpeakerArr::kStereo, kMain, BusInfo::kDefaultActive);
    addAudioOutput(L"Ana çıkış", SpeakerArr::kStereo, kMain, BusInfo::kDefaultActive);
    for (const ParameterSpec& p : kParameters) {
        if (p.id == kParamSendLevel) {
            parameters.addParameter(new RangeParameter(p.title, p.id, p.units, kSendLevelMinDb,
                                                       kSendLevelMaxDb, 0.0, p.stepCount, p.flags,
                                                       kRootUnitId, nullptr));
        } else {
            parameters.addParameter(p.title, p.units, p.stepCount, p.defaultNormalized, p.flags,
                                    static_cast<int32>(p.id), kRootUnitId, nullptr);
        }
    }
}

tresult PLUGIN_API Plugin::terminate() {
    // A failed stop (a join that fails, or a call from the server thread
    // itself) becomes a result code; busses and parameters go either way.
    bool stopped = true;
    try {
        stream.stop();
    } catch (...) {
        stopped = false;
    }
    const tresult result = SingleComponentEffect::terminate();
    return stopped ? result : kResultFalse;
}

tresult PLUGIN_API Plugin::setBusArrangements(SpeakerArrangement* inputs, int32 numIns,
                                              SpeakerArrangement* outputs, int32 numOuts) {
    if (numIns != 1 || numOuts != 1 || inputs == nullptr || outputs == nullptr) return kResultFalse;
    if (inputs[0] != outputs[0]) return kResultFalse;
    if (inputs[0] != SpeakerArr::kStereo && inputs[0] != SpeakerArr::kMono) return kResultFalse;
    return SingleComponentEffect::setBusArrangements(inputs, 1, outputs, 1);
}

tresult PLUGIN_API Plugin::canProcessSampleSize(int32 symbolicSampleSize) {
    return static_cast<uint32>(symbolicSampleSize) <= kSample64 ? kResultOk : kResultFalse;
}

tresult PLUGIN_API Plugin::setupProcessing(ProcessSetup& setup) {
    const double rate = setup.sampleRate;
    if (!std::isfinite(rate) || rate < kMinSetupRate || rate > kMaxSetupRate || setup.maxSamplesPerBlock < 0)
        return kInvalidArgument;
    stream.sampleRate.exchange(static_cast<std::uint32_t>(rate));
    return SingleComponentEffect::setupProcessing(setup);
}

tresult PLUGIN_API Plugin::setActive(TBool state) {
    stream.active.exchange(state != 0);
    return kResultOk;
}

tresult PLUGIN_API Plugin::setProcessing(TBool state) {
    stream.active.exchange(state != 0);
    if (!state) {
        stream.peakLeft.exchange(0.0f);
        stream.peakRight.exchange(0.0f);
    }
    return kResultOk;
}

// Audio thread: no locks, no allocation; always kResultOk.
tresult PLUGIN_API Plugin::process(ProcessData& data) {
    // 1. The last point of each parameter queue; offsets are ignored.
    if (IParameterChanges* changes = data.inputParameterChanges) {
        for (int32 i = 0; i < changes->getParameterCount(); ++i) {
            IParamValueQueue* queue = changes->getParameterData(i);
            if (queue == nullptr || queue->getPointCount() == 0) continue;
            int32 offset = 0;
            ParamValue value = 0.0;
            if (queue->getPoint(queue->getPointCount() - 1, offset, value) == kResultOk)
                applyParameter(queue->getParameterId(), value);
        }
    }
    // 2. Nothing to do without buffers.
    if (data.numSamples <= 0 || data.numInputs == 0 || data.numOutputs == 0 || data.inputs == nullptr ||
        data.outputs == nullptr)
        return kResultOk;
    AudioBusBuffers& in = data.inputs[0];
    AudioBusBuffers& out = data.outputs[0];
    const int32 channels = std::min(in.numChannels, out.numChannels);
    out.silenceFlags = in.silenceFlags;
    // 3. Pass-through and the streamed copy.
    const bool offline = data.processMode == kOffline;
    if (data.symbolicSampleSize == kSample32)
        stream.processAudio<float>(in.channelBuffers32, out.channelBuffers32, channels, data.numSamples, offline);
    else if (data.symbolicSampleSize == kSample64)
        stream.processAudio<double>(in.channelBuffers64, out.channelBuffers64, channels, data.numSamples, offline);
    return kResultOk;
}

void Plugin::applyParameter(ParamID id, double value) noexcept {
    if (!std::isfinite(value)) return;
    const double v = std::clamp(value, 0.0, 1.0);
    switch (id) {
        case kParamBroadcast: stream.broadcast.exchange(switchOn(v)); break;
        case kParamSendLevel: stream.sendLevelDb.exchange(static_cast<float>(sendLevelDbFromNormalized(v))); break;
        case kParamMonoSend: stream.monoSend.exchange(switchOn(v)); break;
        case kParamDisabled: stream.disabled.exchange(switchOn(v)); break;
        default: break;
    }
}

tresult PLUGIN_API Plugin::setParamNormalized(ParamID id, ParamValue value) {
    const tresult result = EditController::setParamNormalized(id, value);
    if (result == kResultOk) applyParameter(id, value);
    return result;
}

void Plugin::editParameter(ParamID id, double value) {
    // Without a component handler the host calls fail; the edit still lands.
    beginEdit(id);
    if (EditController::setParamNormalized(id, value) == kResultOk) applyParameter(id, value);
    performEdit(id, value);
    endEdit(id);
}

IPlugView* PLUGIN_API Plugin::createView(FIDString name) {
    if (name == nullptr || std::strcmp(name, ViewType::kEditor) != 0) return nullptr;
    try {
        return static_cast<IPlugView*>(new View(this));
    } catch (...) {
        return nullptr;  // out of memory: no view, and nothing thrown into the host
    }
}

tresult Plugin::componentGetState(IBStream* state) {
    if (state == nullptr) return kInvalidArgument;
    IBStreamer s(state, kLittleEndian);
    const double level = normalizedFromSendLevelDb(static_cast<double>(stream.sendLevelDb.load()));
    const bool ok = s.writeInt32(kStateVersion) && s.writeDouble(level) &&
                    s.writeInt32(stream.monoSend.load() ? 1 : 0) &&
                    s.writeInt32(stream.broadcast.load() ? 1 : 0) &&
                    s.writeInt32(stream.disabled.load() ? 1 : 0);
    return ok ? kResultOk : kResultFalse;
}

tresult Plugin::componentSetState(IBStream* state) {
    if (state == nullptr) return kInvalidArgument;
    IBStreamer s(state, kLittleEndian);
    int32 version = 0;
    double level = 0.0;
    int32 mono = 0, streaming = 0, bypass = 0;
    if (!s.readInt32(version) || version != kStateVersion) return kResultFalse;
    if (!s.readDouble(level) || !std::isfinite(level)) return kResultFalse;
    if (!s.readInt32(mono) || !s.readInt32(streaming) || !s.readInt32(bypass)) return kResultFalse;
    // Only a fully read and checked record is applied.
    setParamNormalized(kParamSendLevel, std::clamp(level, 0.0, 1.0));
    setParamNormalized(kParamMonoSend, mono != 0 ? 1.0 : 0.0);
    setParamNormalized(kParamBroadcast, streaming != 0 ? 1.0 : 0.0);
    setParamNormalized(kParamDisabled, bypass != 0 ? 1.0 : 0.0);
    return kResultOk;
}

}  // namespace relay
