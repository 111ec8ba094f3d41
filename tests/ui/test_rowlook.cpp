// The row appearance rules, run over several refreshes the way the window
// runs them: each refresh sees the status text the previous one left.
#include "rowlook.h"

#include <QStringList>
#include <gtest/gtest.h>

using RowLook::Change;
using RowLook::PortState;

namespace {

// Plays `refreshes` refreshes of a port in a fixed state and returns the
// status texts shown after each; `shown` carries over between refreshes.
QStringList play(const PortState &port, QString &shown, int refreshes) {
    QStringList texts;
    for (int tick = 1; tick <= refreshes; ++tick) {
        const Change c = RowLook::decide(port, shown, tick);
        if (c.statusText) shown = *c.statusText;
        texts << shown;
    }
    return texts;
}

PortState gone(int lastResult, const QString &message = QString()) {
    PortState p;
    p.lastResult = lastResult;
    p.message = message;
    return p;
}

} // namespace

TEST(RowLook, FailureAfterRemovalSettlesOnMessageUnlessEmpty) {
    QString shown = QStringLiteral("Failed");
    EXPECT_EQ(play(gone(12, QStringLiteral(": no spl")), shown, 4),
              QStringList({"Disconnect", "Failed: no spl", "Failed: no spl", "Failed: no spl"}));
    const Change c = RowLook::decide(gone(12, "x"), QStringLiteral("Disconnect"), 1);
    EXPECT_TRUE(c.failedWithMessage);
    EXPECT_EQ(*c.buttonStyle, RowLook::kRed);

    shown = QStringLiteral("Failed");
    EXPECT_EQ(play(gone(12), shown, 4),
              QStringList({"Disconnect", "Failed", "Disconnect", "Failed"}));
}

TEST(RowLook, DeviceStatesPaintTheRowEveryRefresh) {
    for (int status : {1, 2, 3}) {
        PortState p;
        p.status = status;
        p.portPath = QStringLiteral("xHCI Host Controller (usb1)(RootHub)-port2");
        const Change c = RowLook::decide(p, QStringLiteral("Success"), 1);
        EXPECT_EQ(*c.statusText, "Connect");
        EXPECT_EQ(*c.path, p.portPath);
        EXPECT_EQ(*c.buttonText, "used");
        EXPECT_EQ(*c.buttonStyle, RowLook::kWhite);
        EXPECT_EQ(c.bar, RowLook::Bar::Reset);
    }
    PortState failed;
    failed.status = 12;
    failed.message = QStringLiteral("ignored while the device is there");
    EXPECT_EQ(*RowLook::decide(failed, QString(), 1).statusText, "Failed");
}

// The device may leave before any refresh saw its result (a recovery that
// resets at the end): the row must not stay on its last step text.
TEST(RowLook, ResultMissedByTheRefreshIsStillShown) {
    QString shown = QStringLiteral("format_data :/media/vyr/VYR02");
    Change c = RowLook::decide(gone(11), shown, 1);
    EXPECT_EQ(*c.statusText, "Success");
    EXPECT_EQ(*c.buttonStyle, RowLook::kGreen);
    EXPECT_EQ(c.barValue, 100);
    EXPECT_EQ(play(gone(11), shown, 3), QStringList({"Success", "Disconnect", "Success"}));

    shown = QStringLiteral("wait disk");
    c = RowLook::decide(gone(12, QStringLiteral(" disk never ready")), shown, 1);
    EXPECT_EQ(*c.statusText, "Failed disk never ready");
    EXPECT_TRUE(c.failedWithMessage);
}
