// The seeded scenario: a seed plays the same faults again, every fault kind
// is drawn, and a re-enumeration is drawn only with a port to come back on.
#include <gtest/gtest.h>

#include <set>

#include "soakfault.h"

TEST(SoakScenario, SeedReplaysEveryKindAndReenumeratesOnlyWithAPort) {
    const vyrsim::DeviceSpec base;
    SoakScenario a(99), b(99);
    std::set<SoakFault> seen;
    for (int i = 0; i < 400; ++i) {
        const std::string port = i % 2 ? "1-3.9" : "";
        const SoakDevice x = a.next(base, port, 50);
        const SoakDevice y = b.next(base, port, 50);
        ASSERT_EQ(x.fault, y.fault) << i;
        ASSERT_EQ(x.detail, y.detail) << i;
        ASSERT_EQ(x.holdMs, y.holdMs) << i;
        seen.insert(x.fault);
        if (x.fault == SoakFault::Reenumerate) {
            ASSERT_EQ(port, "1-3.9") << i;
            EXPECT_EQ(x.devSpec.reenumeratePort, port);
            EXPECT_TRUE(x.devSpec.rom.leaveOnRun);
        }
        EXPECT_EQ(x.fault == SoakFault::Pulled, x.pullMs > 0) << i;
        EXPECT_EQ(x.fault == SoakFault::Stuck, x.devSpec.stuck) << i;
        EXPECT_EQ(x.fault == SoakFault::NeverReady, x.devSpec.recovery.neverReady) << i;
    }
    EXPECT_EQ(int(seen.size()), kSoakFaultCount);
}
