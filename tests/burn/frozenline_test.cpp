// Closing and Stop on a line whose devices stopped answering mid-burn: the
// burn threads send no further device request, so the station ends within
// the time-out of the one request already on its way instead of the sum of
// every request the interrupted steps would still have made.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <vector>

#include "burnline.h"
#include "burnstate.h"
#include "burnstation.h"
#include "romdevice.h"

namespace {

// Every exchange with a virtual device gives up after this long, so that a
// request to a device that hangs costs seconds, not a minute.
constexpr int kTimeoutMs = 3000;

struct VirtualTimeout {
    VirtualTimeout() { qputenv("PYREWICK_VIRTUAL_TIMEOUT_MS", QByteArray::number(kTimeoutMs)); }
    ~VirtualTimeout() { qunsetenv("PYREWICK_VIRTUAL_TIMEOUT_MS"); }
};

struct FrozenLine : ::testing::Test {
    VirtualTimeout timeout; // outlives the line's threads
    BurnLine bl{BuildVariant::MultiPort};
    std::vector<vyrsim::RomDevice *> roms;

    // `count` devices that load their first-stage loader and hang when it is
    // started. The run requests go one device at a time, each followed by a
    // pause: once the first device hangs holding that turn, the others have
    // their loaders in RAM and wait for it, each with its whole step still to
    // go. Returns when that is so.
    void freezeAtTheFirstStart(int count) {
        for (int n = 1; n <= count; ++n) {
            const int id = bl.line().plug(BurnLine::hubPort(n), bl.deviceSpec());
            ASSERT_GT(id, 0);
            roms.push_back(bl.line().romDevice(id));
            roms.back()->injectFault(vyrsim::RequestKind::Run, vyrsim::Fault::Freeze, 1);
        }
        bl.start();
        ASSERT_TRUE(bl.runUntil([&] {
            for (int p = 0; p < count; ++p)
                if (!bl.logHas(p, "Transfer Complete! total size is 4096 Bytes")) return false;
            for (vyrsim::RomDevice *rom : roms)
                if (rom->frozen()) return true;
            return false;
        })) << bl.logDump(0);
    }

    std::vector<size_t> requestCounts() const {
        std::vector<size_t> counts;
        for (vyrsim::RomDevice *rom : roms)
            counts.push_back(rom->requests().size());
        return counts;
    }
};

} // namespace

// The window closes while one device hangs at its start and three wait for
// their turn: nothing more reaches any device, and the station is closed once
// the request in flight has timed out (the bound is a hang guard: the steps
// the devices were in would take at least four time-outs).
TEST_F(FrozenLine, ClosingSendsNoFurtherRequest) {
    freezeAtTheFirstStart(4);
    const std::vector<size_t> before = requestCounts();
    QElapsedTimer closing;
    closing.start();
    bl.station().close();
    const qint64 took = closing.elapsed();
    EXPECT_EQ(requestCounts(), before);
    EXPECT_LT(took, 3 * kTimeoutMs);
}

// Stop does the same, and burning afterwards talks to the devices again: once
// they answer, Start burns both.
TEST_F(FrozenLine, StopSendsNoFurtherRequestAndStartBurnsAgain) {
    freezeAtTheFirstStart(2);
    const std::vector<size_t> before = requestCounts();
    QElapsedTimer stopping;
    stopping.start();
    bl.stop();
    const qint64 took = stopping.elapsed();
    EXPECT_EQ(requestCounts(), before);
    EXPECT_LT(took, 3 * kTimeoutMs);

    for (vyrsim::RomDevice *rom : roms)
        rom->clearFaults();
    bl.start();
    EXPECT_TRUE(bl.runUntil([] { return gSuccessCount.load() == 2; }, 90000))
        << bl.logDump(0) << bl.logDump(1);
}
