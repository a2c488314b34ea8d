// The features a test hands the LV2 front end directly, without lilv: a URID map and a worker
// schedule that counts the jobs and drops them (the tests aim at the processing thread).
#pragma once

#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <map>
#include <string>

namespace lv2test {

struct Host {
    std::map<std::string, LV2_URID> ids;
    int jobs = 0;
    LV2_URID_Map map{
        this, [](LV2_URID_Map_Handle h, const char* uri) -> LV2_URID {
            auto& known = static_cast<Host*>(h)->ids;
            return known.emplace(uri, static_cast<LV2_URID>(known.size() + 1)).first->second;
        }};
    LV2_Worker_Schedule schedule{this,
                                 [](LV2_Worker_Schedule_Handle h, std::uint32_t, const void*) {
                                     ++static_cast<Host*>(h)->jobs;
                                     return LV2_WORKER_SUCCESS;
                                 }};
    LV2_Feature mapFeature{LV2_URID__map, &map};
    LV2_Feature scheduleFeature{LV2_WORKER__schedule, &schedule};
    const LV2_Feature* features[3] = {&mapFeature, &scheduleFeature, nullptr};
    LV2_URID id(const char* uri) { return map.map(map.handle, uri); }
};

}  // namespace lv2test
