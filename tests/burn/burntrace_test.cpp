// What a burn's trace makes of its record when the result is counted: the
// end is when the port entered its result (the last time it did), not the
// later tick that counted it; the failure text is the line that named the
// cause, else the last line.
#include <gtest/gtest.h>

#include "burnstate.h"
#include "burntrace.h"

namespace {

QDateTime at(int second) {
    return QDateTime(QDate(2026, 12, 8), QTime(6, 0, second), Qt::UTC);
}

BurnTrace begun() {
    BurnTrace trace;
    BurnRecord base;
    base.port = 3;
    trace.begin(base, QStringLiteral("id-before"), 7, at(0));
    return trace;
}

} // namespace

TEST(BurnTrace, EndsWhenTheResultWasLastEnteredAndNamesTheCause) {
    BurnTrace trace = begun();
    trace.status(PORT_STATUS_LOADING, at(1));
    trace.status(PORT_STATUS_FAILED, at(2));
    trace.status(PORT_STATUS_LOADING, at(3));
    trace.line(QStringLiteral("loading"));
    const int from = trace.lineCount();
    trace.line(QStringLiteral("wait uboot run failed 20 times"));
    trace.failedSince(from);
    trace.status(PORT_STATUS_FAILED, at(9));
    trace.line(QStringLiteral("result line"));
    const BurnRecord failed =
        trace.finish(false, 5, QStringLiteral("id-before"), QString(), at(10));
    EXPECT_FALSE(trace.isOpen());
    EXPECT_EQ(failed.endedAt, at(9));
    EXPECT_EQ(failed.failStep, 5);
    EXPECT_EQ(failed.failText, QStringLiteral("wait uboot run failed 20 times"));
    EXPECT_TRUE(failed.deviceId.isEmpty()); // the id the port had before this burn
    EXPECT_EQ(failed.steps.size(), 5);

    // Never entered its result: it ended when it was counted. With no cause
    // named, the last line is the failure text; a success has none.
    trace = begun();
    trace.line(QStringLiteral("first"));
    trace.line(QStringLiteral("last"));
    const BurnRecord counted = trace.finish(false, 2, QStringLiteral("id-new"), QString(), at(4));
    EXPECT_EQ(counted.endedAt, at(4));
    EXPECT_EQ(counted.failText, QStringLiteral("last"));
    EXPECT_EQ(counted.deviceId, QStringLiteral("id-new"));

    trace = begun();
    trace.status(PORT_STATUS_SUCCESS, at(6));
    const BurnRecord ok = trace.finish(true, 9, QString(), QStringLiteral("1-2.4"), at(7));
    EXPECT_EQ(ok.endedAt, at(6));
    EXPECT_EQ(ok.failStep, -1);
    EXPECT_TRUE(ok.failText.isNull());
    EXPECT_EQ(ok.portPath, QStringLiteral("1-2.4"));
}
