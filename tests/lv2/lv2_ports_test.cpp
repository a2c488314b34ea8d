// The LV2 front end's control ports, driven directly: a reading that stays the same, NaN
// included, reaches the engine and the worker once, not on every run.
#include <gtest/gtest.h>
#include <lv2/atom/atom.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "lv2/lv2plugin.h"
#include "lv2/portmap.h"
#include "lv2testhost.h"

namespace {

struct Instance {
    lv2test::Host host;
    std::unique_ptr<Lv2Plugin> plugin{Lv2Plugin::create(48000.0, host.features)};
    std::vector<float> controls = std::vector<float>(kNumParams);
    std::vector<std::uint64_t> in = std::vector<std::uint64_t>(64), out = in;

    Instance() {
        for (int i = 0; i < kNumParams; ++i) {
            const std::size_t at = static_cast<std::size_t>(i);
            controls[at] = lv2port::portValue(i, kParameters[at].defaultValue);
            plugin->connect(static_cast<std::uint32_t>(i), &controls[at]);
        }
        plugin->connect(kMidiInPort, in.data());
        plugin->connect(kMidiOutPort, out.data());
        plugin->activate();
    }
    // One run with an empty input sequence; answers the jobs it scheduled.
    int run() {
        auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(in.data());
        sequence->atom.type = host.id(LV2_ATOM__Sequence);
        sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
        reinterpret_cast<LV2_Atom*>(out.data())->size =
            static_cast<std::uint32_t>(out.size() * 8 - sizeof(LV2_Atom));
        const int before = host.jobs;
        plugin->run(512);
        return host.jobs - before;
    }
};

}  // namespace

TEST(Lv2Controls, AReadingCountsOnceWhenItChanges) {
    Instance p;
    ASSERT_NE(p.plugin, nullptr);
    EXPECT_EQ(p.run(), 0);
    // Port 0 selects the output device, a step for the worker.
    p.controls[0] = 3.0f;
    EXPECT_EQ(p.run(), 1);
    EXPECT_EQ(p.run(), 0);
    p.controls[0] = std::nanf("");
    EXPECT_EQ(p.run(), 1);
    EXPECT_EQ(p.run(), 0);
    // Another port's change leaves the unchanged NaN reading alone.
    p.controls[static_cast<std::size_t>(param::SendBus)] = 5.0f;
    EXPECT_EQ(p.run(), 1);
    EXPECT_EQ(p.run(), 0);
}

// A port the host never connected keeps the parameter's default.
TEST(Lv2Controls, UnconnectedPortsStayAtTheirDefaults) {
    Instance p;
    ASSERT_NE(p.plugin, nullptr);
    p.plugin->connect(0, nullptr);
    p.controls[0] = 3.0f;
    EXPECT_EQ(p.run(), 0);
}
