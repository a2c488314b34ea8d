// The LV2 module entry: the descriptor and the worker and state interfaces.
#include <lv2/core/lv2.h>
#include <cstring>

#include "lv2/lv2plugin.h"

namespace {

Lv2Plugin* self(LV2_Handle h) noexcept {
    return static_cast<Lv2Plugin*>(h);
}

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*,
                       const LV2_Feature* const* features) {
    return Lv2Plugin::create(rate, features);
}

void connectPort(LV2_Handle h, std::uint32_t port, void* data) {
    self(h)->connect(port, data);
}

void activate(LV2_Handle h) {
    self(h)->activate();
}

void run(LV2_Handle h, std::uint32_t frames) {
    self(h)->run(frames);
}

void cleanup(LV2_Handle h) {
    delete self(h);
}

LV2_Worker_Status work(LV2_Handle h, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle handle, std::uint32_t size, const void* data) {
    return self(h)->work(respond, handle, size, data);
}

LV2_Worker_Status workResponse(LV2_Handle h, std::uint32_t size, const void* data) {
    return self(h)->workResponse(size, data);
}

LV2_State_Status saveState(LV2_Handle h, LV2_State_Store_Function store, LV2_State_Handle handle,
                           std::uint32_t, const LV2_Feature* const*) {
    return self(h)->save(store, handle);
}

LV2_State_Status restoreState(LV2_Handle h, LV2_State_Retrieve_Function retrieve,
                              LV2_State_Handle handle, std::uint32_t, const LV2_Feature* const*) {
    return self(h)->restore(retrieve, handle);
}

const void* extensionData(const char* uri) {
    static const LV2_Worker_Interface worker{work, workResponse, nullptr};
    static const LV2_State_Interface state{saveState, restoreState};
    if (std::strcmp(uri, LV2_WORKER__interface) == 0) return &worker;
    if (std::strcmp(uri, LV2_STATE__interface) == 0) return &state;
    return nullptr;
}

const LV2_Descriptor descriptor{kLv2Uri, instantiate, connectPort, activate,
                                run,     nullptr,     cleanup,     extensionData};

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
    return index == 0 ? &descriptor : nullptr;
}
