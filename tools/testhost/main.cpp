// Vantrel's test host: a small VST3 host on the console.
//   testhost info [path-to-Vantrel.vst3]   load the module, list its factory,
//                                          create, initialise, process, release
//   testhost serve [--rate HZ] [--block N] [--seconds S] [--signal chord|counter] [--silent]
//                  [--editor]
//                                          stream a test signal in real time,
//                                          optionally with the editor open
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "tools/testhost/host_objects.h"
#include "tools/testhost/realtime.h"

using namespace Steinberg;
using testhost::toUtf8;

namespace {

constexpr char kDefaultModule[] = "dist/Vantrel.vst3/Contents/x86_64-win/Vantrel.vst3";

void printFactory(IPluginFactory* factory) {
    PFactoryInfo info{};
    factory->getFactoryInfo(&info);
    std::printf("factory: vendor \"%s\" url \"%s\" email \"%s\" flags %d\n", info.vendor, info.url, info.email,
                info.flags);
    FUnknownPtr<IPluginFactory2> factory2(factory);
    for (int32 i = 0; i < factory->countClasses(); ++i) {
        PClassInfo2 c{};
        if (factory2) factory2->getClassInfo2(i, &c);
        std::printf("class %d: \"%s\" category \"%s\" sub \"%s\" version \"%s\" sdk \"%s\" cardinality 0x%X\n  cid",
                    i, c.name, c.category, c.subCategories, c.version, c.sdkVersion, c.cardinality);
        for (int b = 0; b < 16; ++b) std::printf(" %02X", static_cast<unsigned char>(c.cid[b]));
        std::printf("\n");
    }
}

int exerciseInstance(IPluginFactory* factory) {
    PClassInfo c{};
    if (factory->getClassInfo(0, &c) != kResultOk) return 1;
    Vst::IComponent* component = nullptr;
    if (factory->createInstance(c.cid, Vst::IComponent::iid, reinterpret_cast<void**>(&component)) != kResultOk)
        return 1;
    FUnknownPtr<Vst::IAudioProcessor> processor(component);
    FUnknownPtr<Vst::IEditController> controller(component);
    std::printf("instance: component %s, processor %s, controller %s\n", component ? "yes" : "no",
                processor ? "yes" : "no", controller ? "yes" : "no");
    if (!processor) {
        component->release();
        return 1;
    }
    std::printf("initialize: %d\n", component->initialize(testhost::hostContext()));
    for (int32 i = 0; controller && i < controller->getParameterCount(); ++i) {
        Vst::ParameterInfo p{};
        controller->getParameterInfo(i, p);
        std::printf("  parameter %u \"%s\" units \"%s\" steps %d default %.6f flags 0x%X\n", p.id,
                    toUtf8(p.title).c_str(), toUtf8(p.units).c_str(), p.stepCount, p.defaultNormalizedValue, p.flags);
    }
    Vst::ProcessSetup setup{Vst::kRealtime, Vst::kSample32, 512, 48000.0};
    std::printf("setupProcessing: %d\n", processor->setupProcessing(setup));
    component->setActive(true);
    processor->setProcessing(true);
    testhost::BusBuffers<float> buffers(2, 512);
    Vst::ProcessData data = testhost::makeProcessData(buffers, 512);
    std::printf("process: %d\n", processor->process(data));
    processor->setProcessing(false);
    component->setActive(false);
    std::printf("terminate: %d\n", component->terminate());
    component->release();
    return 0;
}

int info(const std::string& path) {
    testhost::Module module(testhost::windowsPath(path));
    if (!module.loaded()) {
        std::printf("cannot load %s\n", path.c_str());
        return 1;
    }
    IPluginFactory* factory = module.factory();
    if (factory == nullptr) {
        std::printf("no GetPluginFactory in %s\n", path.c_str());
        return 1;
    }
    printFactory(factory);
    const int result = exerciseInstance(factory);
    factory->release();
    return result;
}

int serve(int argc, char** argv) {
    testhost::RealtimeOptions o;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--rate" && hasValue) o.sampleRate = std::atof(argv[++i]);
        else if (arg == "--block" && hasValue) o.blockFrames = std::atoi(argv[++i]);
        else if (arg == "--seconds" && hasValue) o.seconds = std::atof(argv[++i]);
        else if (arg == "--signal" && hasValue) o.signal = argv[++i];
        else if (arg == "--silent") o.stream = false;
        else if (arg == "--editor") o.editor = true;
        else {
            std::printf("unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    if (o.blockFrames < 1 || o.sampleRate < 1.0) return 2;
    return testhost::runRealtime(o);
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // plain LF lines for the scripts that read them
    const std::string command = argc > 1 ? argv[1] : "info";
    if (command == "info") return info(argc > 2 ? argv[2] : kDefaultModule);
    if (command == "serve") return serve(argc, argv);
    std::printf("usage: testhost info [module] | serve [--rate HZ] [--block N] [--seconds S] [--signal chord|counter] [--silent] [--editor]\n");
    return 2;
}
