// Host-side objects of the test host: what a DAW hands a VST3 effect. Used
// by the test host and by the tests that drive the real module.
#pragma once

#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivstparameterchanges.h"

namespace testhost {

using namespace Steinberg;

// Owns a loaded module (FreeLibrary on destruction).
class Module {
public:
    explicit Module(const std::wstring& path);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    bool loaded() const { return handle_ != nullptr; }
    // The module's factory (one reference for the caller), or null.
    IPluginFactory* factory() const;

private:
    HMODULE handle_ = nullptr;
};

// A Linux path as Wine's Z: drive sees it.
std::wstring windowsPath(const std::string& unixPath);

// One queue with room for a few points; no allocation while processing.
class ParamQueue : public Vst::IParamValueQueue {
public:
    static constexpr int32 kCapacity = 16;
    Vst::ParamID id = 0;
    int32 count = 0;
    std::array<std::pair<int32, Vst::ParamValue>, kCapacity> points{};
    bool failGetPoint = false;  // a host that cannot deliver its point

    Vst::ParamID PLUGIN_API getParameterId() override { return id; }
    int32 PLUGIN_API getPointCount() override { return count; }
    tresult PLUGIN_API getPoint(int32 index, int32& offset, Vst::ParamValue& value) override;
    tresult PLUGIN_API addPoint(int32 offset, Vst::ParamValue value, int32& index) override;
    tresult PLUGIN_API queryInterface(const TUID, void**) override { return kNoInterface; }
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }
};

class ParamChanges : public Vst::IParameterChanges {
public:
    static constexpr int32 kCapacity = 8;
    std::array<ParamQueue, kCapacity> queues{};
    int32 count = 0;

    void clear() { count = 0; }
    // Appends a queue holding the given points, in order.
    void add(Vst::ParamID id, std::initializer_list<Vst::ParamValue> values);

    int32 PLUGIN_API getParameterCount() override { return count; }
    Vst::IParamValueQueue* PLUGIN_API getParameterData(int32 index) override;
    Vst::IParamValueQueue* PLUGIN_API addParameterData(const Vst::ParamID& id, int32& index) override;
    tresult PLUGIN_API queryInterface(const TUID, void**) override { return kNoInterface; }
    uint32 PLUGIN_API addRef() override { return 1; }
    uint32 PLUGIN_API release() override { return 1; }
};

// Input and output buffers of one bus pair, of sample type T.
template <typename T>
struct BusBuffers {
    BusBuffers(int32 channels, int32 frames)
        : in(channels, std::vector<T>(frames)), out(channels, std::vector<T>(frames)) {
        for (auto& c : in) inPtrs.push_back(c.data());
        for (auto& c : out) outPtrs.push_back(c.data());
        inBus.numChannels = outBus.numChannels = channels;
        setPointers(inBus, inPtrs.data());
        setPointers(outBus, outPtrs.data());
    }
    static void setPointers(Vst::AudioBusBuffers& bus, T** ptrs) {
        if constexpr (sizeof(T) == 4) bus.channelBuffers32 = ptrs;
        else bus.channelBuffers64 = ptrs;
    }
    std::vector<std::vector<T>> in, out;
    std::vector<T*> inPtrs, outPtrs;
    Vst::AudioBusBuffers inBus{}, outBus{};
};

// A ProcessData over the buffers: one input and one output bus.
template <typename T>
Vst::ProcessData makeProcessData(BusBuffers<T>& buffers, int32 frames, int32 mode = Vst::kRealtime,
                                 Vst::IParameterChanges* changes = nullptr) {
    Vst::ProcessData data{};
    data.processMode = mode;
    data.symbolicSampleSize = sizeof(T) == 4 ? Vst::kSample32 : Vst::kSample64;
    data.numSamples = frames;
    data.numInputs = 1;
    data.numOutputs = 1;
    data.inputs = &buffers.inBus;
    data.outputs = &buffers.outBus;
    data.inputParameterChanges = changes;
    return data;
}

// The host context handed to initialize (names the host).
FUnknown* hostContext();

// UTF-16 of the SDK's strings as UTF-8, for printing.
std::string toUtf8(const Vst::TChar* text);

}  // namespace testhost
