// A host's component handler that writes down every edit gesture it hears,
// one "begin <id>", "perform <id> <value>" or "end <id>" entry per call, so a
// test can compare what a host saw with one string.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

#include "pluginterfaces/vst/ivsteditcontroller.h"

namespace relay::test {

class EditRecorder : public Steinberg::Vst::IComponentHandler {
public:
    std::string log;
    int references = 0;

    // The entries a single begin/perform/end edit leaves.
    static std::string edit(Steinberg::Vst::ParamID id, double value) {
        return "begin " + std::to_string(id) + "; perform " + std::to_string(id) + " " + number(value) + "; end " +
               std::to_string(id) + "; ";
    }
    // Everything heard since the last call.
    std::string take() { return std::exchange(log, std::string()); }

    Steinberg::tresult PLUGIN_API beginEdit(Steinberg::Vst::ParamID id) override {
        return note("begin " + std::to_string(id));
    }
    Steinberg::tresult PLUGIN_API performEdit(Steinberg::Vst::ParamID id, Steinberg::Vst::ParamValue v) override {
        return note("perform " + std::to_string(id) + " " + number(v));
    }
    Steinberg::tresult PLUGIN_API endEdit(Steinberg::Vst::ParamID id) override {
        return note("end " + std::to_string(id));
    }
    Steinberg::tresult PLUGIN_API restartComponent(Steinberg::int32) override { return Steinberg::kResultOk; }
    Steinberg::tresult PLUGIN_API queryInterface(const Steinberg::TUID iid, void** obj) override {
        using namespace Steinberg;
        if (FUnknownPrivate::iidEqual(iid, Vst::IComponentHandler::iid) ||
            FUnknownPrivate::iidEqual(iid, FUnknown::iid)) {
            addRef();
            *obj = this;
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    Steinberg::uint32 PLUGIN_API addRef() override { return static_cast<Steinberg::uint32>(++references); }
    Steinberg::uint32 PLUGIN_API release() override { return static_cast<Steinberg::uint32>(--references); }

private:
    // 17 significant digits: the text reads back as the same double.
    static std::string number(double v) {
        char text[32];
        std::snprintf(text, sizeof(text), "%.17g", v);
        return text;
    }
    Steinberg::tresult note(std::string entry) {
        log += entry + "; ";
        return Steinberg::kResultOk;
    }
};

}  // namespace relay::test
