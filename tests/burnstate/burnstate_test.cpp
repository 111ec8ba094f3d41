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

TEST_F(BurnState, FailuresPastTheStepTableCountOnlyInTheTotalAndResetClearsAll) {
    for (int step : {0, 24, 24, 25, 31, -1, INT_MAX, INT_MIN})
        recordFailure(step);
    recordSuccess();
    EXPECT_EQ(gFailCount, 8);
    EXPECT_EQ(gSuccessCount, 1);
    std::vector<int> expected(FAIL_STEP_SLOTS, 0);
    expected[0] = 1;
    expected[24] = 2;
    EXPECT_EQ(byStep(), expected);

    // A smaller plan must not leave counts of the larger one behind.
    setBurnPlan(makePlan(4));
    gStepCount = 99;
    resetStatistics();
    EXPECT_EQ(gStepCount, 4);
    EXPECT_EQ(gFailCount + gSuccessCount, 0);
    EXPECT_EQ(byStep(), std::vector<int>(FAIL_STEP_SLOTS, 0));
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
    EXPECT_EQ(gFailCountByStep[24], PORT_COUNT * 66);
}
