#include "burnstate.h"

#include "burnplan.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <climits>
#include <thread>
#include <vector>

namespace {

class BurnState : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(mDir.isValid());
        resetBurnState();
    }
    void TearDown() override { resetBurnState(); }

    // A plan with commands sn 0..count-1.
    std::shared_ptr<const BurnPlan> makePlan(int count) {
        const QString path = mDir.filePath(QStringLiteral("plan%1.xml").arg(count));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("<plan>");
        for (int i = 0; i < count; ++i)
            f.write("<command sn=\"" + QByteArray::number(i) + "\">step</command>");
        f.write("</plan>");
        f.close();
        return std::make_shared<const BurnPlan>(path);
    }

    static std::vector<int> byStep() {
        std::vector<int> v;
        for (const std::atomic<int> &n : gFailCountByStep)
            v.push_back(n);
        return v;
    }

  private:
    QTemporaryDir mDir;
};

} // namespace

TEST_F(BurnState, InstallingAPlanSetsTheStepCountAndKeepsSnapshotsAlive) {
    EXPECT_EQ(burnPlan(), nullptr);
    setBurnPlan(makePlan(7));
    EXPECT_EQ(gStepCount, 7);

    // A burn thread's snapshot outlives the replacement; the old plan goes
    // with the last snapshot.
    std::shared_ptr<const BurnPlan> held = burnPlan();
    std::weak_ptr<const BurnPlan> watch = held;
    setBurnPlan(makePlan(3));
    EXPECT_EQ(gStepCount, 3);
    ASSERT_FALSE(watch.expired());
    EXPECT_EQ(held->commandCount(), 7);
    EXPECT_EQ(held->command(6).command, "step");
    EXPECT_EQ(burnPlan()->commandCount(), 3);
    held.reset();
    EXPECT_TRUE(watch.expired());

    setBurnPlan(nullptr);
    EXPECT_EQ(gStepCount, 0);
}

TEST_F(BurnState, FailuresPastTheStepTableCountOnlyInTheTotal) {
    recordFailure(0);
    recordFailure(24);
    recordFailure(24);
    recordFailure(25);
    recordFailure(31);
    recordFailure(-1);
    recordFailure(INT_MAX);
    recordFailure(INT_MIN);
    recordSuccess();
    EXPECT_EQ(gFailCount, 8);
    EXPECT_EQ(gSuccessCount, 1);
    std::vector<int> expected(FAIL_STEP_SLOTS, 0);
    expected[0] = 1;
    expected[24] = 2;
    EXPECT_EQ(byStep(), expected);
}

TEST_F(BurnState, ResetStatisticsClearsEveryCounterAndTakesThePlansCount) {
    for (int step = 0; step < FAIL_STEP_SLOTS; ++step)
        recordFailure(step);
    recordSuccess();
    setBurnPlan(makePlan(30));
    setBurnPlan(makePlan(4)); // a smaller plan must not leave old counts behind
    gStepCount = 99;
    resetStatistics();
    EXPECT_EQ(gStepCount, 4);
    EXPECT_EQ(gFailCount, 0);
    EXPECT_EQ(gSuccessCount, 0);
    EXPECT_EQ(byStep(), std::vector<int>(FAIL_STEP_SLOTS, 0));
}

TEST_F(BurnState, DeviceListStaysInsideItsSlots) {
    gDevPath[0] = QStringLiteral("a");
    gDevPath[1] = QStringLiteral("b");
    gDevCount = 2;
    EXPECT_EQ(currentDevPaths(), QStringList({"a", "b"}));
    EXPECT_TRUE(isDevPathListed("b"));
    EXPECT_FALSE(isDevPathListed("c"));
    gDevCount = -1; // a failed scan lists nothing
    EXPECT_TRUE(currentDevPaths().isEmpty());
    EXPECT_FALSE(isDevPathListed("a"));
    gDevCount = 1000;
    EXPECT_EQ(currentDevPaths().size(), DEV_PATH_SLOTS);
}

TEST_F(BurnState, ResetPutsEverythingBackToItsStartValues) {
    setBurnPlan(makePlan(2));
    gAppRunning = gBurning = gDeviceChanged = gRescanRequest = gDriverInstalling = gEraseMode =
        true;
    recordFailure(3);
    gUpgradeDir = QStringLiteral("tmp/");
    gEraseCommand = QStringLiteral("nand_erase");
    gMainLog.append("line");
    gPortLog[5].text = QStringLiteral("x");
    gPortLogPending[5] = true;
    gDevCount = 1;
    gDevPath[0] = QStringLiteral("p");
    gUiTick = 9;
    for (PortInfo &p : gPortInfo) {
        p.portPath = QStringLiteral("none");
        p.handle = 42;
        p.status = PORT_STATUS_FAILED;
        p.progress = 50;
        p.devId = QStringLiteral("123");
        p.lastResult = PORT_STATUS_FAILED;
        p.message = QStringLiteral("m");
    }

    resetBurnState();
    EXPECT_EQ(burnPlan(), nullptr);
    EXPECT_FALSE(gAppRunning || gBurning || gDeviceChanged || gRescanRequest || gDriverInstalling ||
                 gEraseMode);
    EXPECT_EQ(gStepCount + gFailCount + gSuccessCount + gDevCount + gUiTick, 0);
    EXPECT_EQ(byStep(), std::vector<int>(FAIL_STEP_SLOTS, 0));
    EXPECT_TRUE(gUpgradeDir.isEmpty() && gEraseCommand.isEmpty() && gMainLog.isEmpty());
    EXPECT_TRUE(gDevPath[0].isEmpty());
    for (int p = 0; p < PORT_COUNT; ++p) {
        EXPECT_FALSE(gPortLogPending[p]);
        EXPECT_TRUE(gPortLog[p].text.isEmpty());
        EXPECT_EQ(gPortLog[p].port, p);
        const PortInfo &e = gPortInfo[p];
        EXPECT_TRUE(e.portPath.isEmpty() && e.devId.isEmpty() && e.message.isEmpty());
        EXPECT_EQ(e.handle, 0);
        EXPECT_EQ(e.status + e.progress + e.lastResult, 0);
    }
}

// Burn threads write their entry and count results while the window reads the
// table and replaces the plan. Every read sees a whole value and no count is
// lost (ThreadSanitizer runs this too).
TEST_F(BurnState, ConcurrentWritersAndReadersSeeWholeValues) {
    const QString longA(200, QLatin1Char('a'));
    const QString longB(300, QLatin1Char('b'));
    auto small = makePlan(2);
    auto large = makePlan(20);
    setBurnPlan(small);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};

    std::vector<std::thread> workers;
    for (int port = 0; port < PORT_COUNT; ++port) {
        workers.emplace_back([&, port] {
            for (int i = 0; i < 2000; ++i) {
                PortInfo &e = gPortInfo[port];
                e.message = (i % 2) ? longA : longB;
                e.portPath = (i % 2) ? longB : longA;
                e.status = PORT_STATUS_LOADING;
                e.progress = i % 101;
                recordFailure(i % 30);
                if (i % 3 == 0) recordSuccess();
                const std::shared_ptr<const BurnPlan> plan = burnPlan();
                const int n = plan->commandCount();
                if ((n != 2 && n != 20) || plan->command(n - 1).command != "step") ++torn;
            }
        });
    }
    std::thread window([&] {
        int i = 0;
        while (!done) {
            for (const PortInfo &e : gPortInfo) {
                const QString m = e.message;
                if (!m.isEmpty() && m != longA && m != longB) ++torn;
            }
            setBurnPlan(++i % 2 ? large : small);
        }
    });
    for (std::thread &t : workers)
        t.join();
    done = true;
    window.join();

    EXPECT_EQ(torn, 0);
    EXPECT_EQ(gFailCount, PORT_COUNT * 2000);
    EXPECT_EQ(gSuccessCount, PORT_COUNT * 667);
    int counted = 0;
    for (const std::atomic<int> &n : gFailCountByStep)
        counted += n;
    // Steps 25..29 of each round of 30 only reach the total.
    EXPECT_EQ(counted, PORT_COUNT * (2000 - 5 * 66));
}
