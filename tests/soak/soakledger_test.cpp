// The soak's judge: a record of a sound run passes, and each way a run can go
// wrong is named rather than passed over.
#include <gtest/gtest.h>

#include <functional>

#include "soakledger.h"

namespace {

const QString kOk = QStringLiteral("[T 0][10:00:00]: send command : final ok!");
const QString kFail = QStringLiteral("[T 1][10:00:01]: failed ,current step is 5 ");

// Device 1 succeeded on row 0, device 2 (a failing check) failed on row 1
// at step 5; every line reached the panel and the saved log.
SoakLedger soundRun() {
    SoakLedger l;
    DeviceRecord a;
    a.serial = 1;
    a.slot = 0;
    a.row = 0;
    a.outcome = Outcome::Success;
    a.results = 1;
    DeviceRecord b = a;
    b.serial = 2;
    b.slot = 1;
    b.row = 1;
    b.fault = SoakFault::CheckFails;
    b.outcome = Outcome::Failure;
    l.devices = {a, b};
    l.successCount = 1;
    l.failCount = 1;
    l.failByStep[5] = 1;
    l.madeLines[0] = l.panelLines[0] = QStringList{kOk};
    l.madeLines[1] = l.panelLines[1] = QStringList{kFail};
    l.mainLines = QStringList{QStringLiteral("[10:00:02]: ---------call System  reinstall driver")};
    l.savedLines = l.panelLines[0] + l.panelLines[1] + l.mainLines;
    return l;
}

} // namespace

TEST(SoakLedger, SoundRunHoldsEveryInvariant) {
    EXPECT_EQ(brokenInvariant(soundRun()).toStdString(), "");
}

TEST(SoakLedger, EachBrokenInvariantIsNamed) {
    struct Case {
        const char *what;
        std::function<void(SoakLedger &)> breakIt;
        const char *named;
    };
    const Case cases[] = {
        {"unfinished", [](SoakLedger &l) { l.devices[0].outcome = Outcome::Unfinished; },
         "never ended"},
        {"two results", [](SoakLedger &l) { l.devices[1].results = 2; }, "ended 2 times"},
        {"counted twice", [](SoakLedger &l) { l.successCount = 2; }, "statistics count"},
        {"failure as success",
         [](SoakLedger &l) {
             l.successCount = 2;
             l.failCount = 0;
         },
         "statistics count"},
        {"wrong step",
         [](SoakLedger &l) {
             l.failByStep[5] = 0;
             l.failByStep[6] = 1;
         },
         "failures at step 5"},
        {"step past the table",
         [](SoakLedger &l) {
             l.failByStep[5] = 0;
             for (auto *lines : {&l.madeLines[1], &l.panelLines[1], &l.savedLines})
                 lines->replaceInStrings("step is 5", "step is 30");
         },
         ""},
        {"port left busy",
         [](SoakLedger &l) { l.portsNotIdle << "row 1 after device 2: status 12"; }, "port stuck"},
        {"thread left", [](SoakLedger &l) { l.threadsRunning << "watch thread"; }, "after Stop"},
        {"failure without its line",
         [](SoakLedger &l) {
             l.madeLines[1].clear();
             l.panelLines[1].clear();
             l.failByStep[5] = 0;
             l.failCount = 1;
         },
         "failures by step add up to 0"},
        {"failure line lost before the panel", [](SoakLedger &l) { l.panelLines[1].clear(); },
         "reached the panel"},
        {"saved log short", [](SoakLedger &l) { l.savedLines.removeLast(); }, "saved log lacks"},
        {"fatal fault succeeded", [](SoakLedger &l) { l.devices[0].fault = SoakFault::NeverReady; },
         "reported success"},
        {"plug refused", [](SoakLedger &l) { l.plugErrors << "device 3 on 1-2.3"; },
         "plug refused"},
        {"corrupt package imported",
         [](SoakLedger &l) { l.importErrors << "corrupt package imported: Imported"; },
         "corrupt package imported"},
        {"wrong bytes burnt",
         [](SoakLedger &l) { l.wrongBytes << "device 1: uImage of neither plan"; },
         "success with the wrong bytes: device 1"},
    };
    for (const Case &c : cases) {
        SoakLedger l = soundRun();
        c.breakIt(l);
        const std::string broken = brokenInvariant(l).toStdString();
        if (*c.named == '\0')
            EXPECT_EQ(broken, "") << c.what; // a step past the table counts in the total only
        else
            EXPECT_NE(broken.find(c.named), std::string::npos) << c.what << ": " << broken;
    }
}

TEST(SoakLedger, FailureLinesAndDroppedLines) {
    int step = -1;
    EXPECT_TRUE(failureLineStep(kFail, &step));
    EXPECT_EQ(step, 5);
    EXPECT_TRUE(failureLineStep("[T 2][x]: failed because no connected device ,current step is 11 ",
                                &step));
    EXPECT_EQ(step, 11);
    EXPECT_FALSE(failureLineStep("[T 2][x]: format_data failed step", &step));
    EXPECT_FALSE(failureLineStep("[T 2][x]: failed ,current step is ", &step));

    // A line made twice and shown once counts as one dropped.
    SoakLedger l = soundRun();
    l.madeLines[0] << kOk << QStringLiteral("[T 0][x]: never shown");
    EXPECT_EQ(figures(l).droppedLines, 2);
    EXPECT_EQ(figures(l).cleanFailures, 0);
    l.devices[0].outcome = Outcome::Failure;
    EXPECT_EQ(figures(l).cleanFailures, 1);
}
