#include "tools/testhost/host_objects.h"

#include "public.sdk/source/vst/hosting/hostclasses.h"

namespace testhost {

Module::Module(const std::wstring& path) : handle_(LoadLibraryW(path.c_str())) {}

Module::~Module() {
    if (handle_ != nullptr) FreeLibrary(handle_);
}

IPluginFactory* Module::factory() const {
    if (handle_ == nullptr) return nullptr;
    using GetFactory = IPluginFactory*(PLUGIN_API*)();
    auto get = reinterpret_cast<GetFactory>(reinterpret_cast<void*>(GetProcAddress(handle_, "GetPluginFactory")));
    return get != nullptr ? get() : nullptr;
}

std::wstring windowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (char c : unixPath) path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return path;
}

tresult PLUGIN_API ParamQueue::getPoint(int32 index, int32& offset, Vst::ParamValue& value) {
    if (failGetPoint || index < 0 || index >= count) return kResultFalse;
    offset = points[static_cast<size_t>(index)].first;
    value = points[static_cast<size_t>(index)].second;
    return kResultOk;
}

tresult PLUGIN_API ParamQueue::addPoint(int32 offset, Vst::ParamValue value, int32& index) {
    if (count >= kCapacity) return kResultFalse;
    points[static_cast<size_t>(count)] = {offset, value};
    index = count++;
    return kResultOk;
}

void ParamChanges::add(Vst::ParamID id, std::initializer_list<Vst::ParamValue> values) {
    int32 index = 0;
    Vst::IParamValueQueue* queue = addParameterData(id, index);
    if (queue == nullptr) return;  // all queues taken
    int32 offset = 0;
    for (Vst::ParamValue v : values) queue->addPoint(offset++, v, index);
}

Vst::IParamValueQueue* PLUGIN_API ParamChanges::getParameterData(int32 index) {
    return index >= 0 && index < count ? &queues[static_cast<size_t>(index)] : nullptr;
}

Vst::IParamValueQueue* PLUGIN_API ParamChanges::addParameterData(const Vst::ParamID& id, int32& index) {
    if (count >= kCapacity) return nullptr;
    ParamQueue& q = queues[static_cast<size_t>(count)];
    q = ParamQueue{};
    q.id = id;
    index = count++;
    return &q;
}

FUnknown* hostContext() {
    static Vst::HostApplication host;
    return &host;
}

std::string toUtf8(const Vst::TChar* text) {
    std::string out;
    if (text == nullptr) return out;
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return out;
    out.resize(static_cast<size_t>(size - 1));
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

}  // namespace testhost
