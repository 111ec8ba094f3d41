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

TEST(RowLook, SuccessThenRemovalAlternatesUntilAcknowledged) {
    PortState done;
    done.status = 11;
    QString shown = QStringLiteral("load spl");
    Change c = RowLook::decide(done, shown, 1);
    EXPECT_EQ(*c.statusText, "Success");
    EXPECT_EQ(c.bar, RowLook::Bar::Value);
    EXPECT_EQ(c.barValue, 100);
    EXPECT_EQ(*c.buttonStyle, RowLook::kGreen);
    shown = *c.statusText;

    EXPECT_EQ(play(gone(11), shown, 4),
              QStringList({"Disconnect", "Success", "Disconnect", "Success"}));
    // The grey half resets the row; the green half only recolours it.
    c = RowLook::decide(gone(11), QStringLiteral("Success"), 7);
    EXPECT_EQ(*c.buttonStyle, RowLook::kGrey);
    EXPECT_EQ(c.path, QString());
    EXPECT_EQ(c.bar, RowLook::Bar::Reset);
    c = RowLook::decide(gone(11), QStringLiteral("Disconnect"), 8);
    EXPECT_EQ(*c.buttonStyle, RowLook::kGreen);
    EXPECT_FALSE(c.path);

    // Acknowledged (lastResult 0): one refresh to idle, then the row is skipped.
    shown = QStringLiteral("Success");
    EXPECT_EQ(play(gone(0), shown, 1), QStringList({"Disconnect"}));
    EXPECT_TRUE(RowLook::decide(gone(0), shown, 2).skipped);
}

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
    PortState burning;
    burning.status = 7;
    burning.message = QStringLiteral("wait disk");
    burning.progress = 42;
    const Change odd = RowLook::decide(burning, QString(), 3);
    const Change even = RowLook::decide(burning, QString(), 4);
    EXPECT_EQ(*odd.statusText, "wait disk");
    EXPECT_EQ(odd.barValue, 42);
    EXPECT_EQ(*odd.buttonStyle, RowLook::kBlue);
    EXPECT_EQ(*even.buttonStyle, RowLook::kDarkBlue);
    EXPECT_FALSE(odd.buttonText);

    PortState failed;
    failed.status = 12;
    failed.message = QStringLiteral("ignored while the device is there");
    EXPECT_EQ(*RowLook::decide(failed, QString(), 1).statusText, "Failed");
}

TEST(RowLook, IdlePortIsResetOnceThenSkipped) {
    const Change first = RowLook::decide(gone(0), QStringLiteral("wait disk"), 1);
    EXPECT_FALSE(first.skipped);
    EXPECT_EQ(*first.statusText, "Disconnect");
    EXPECT_EQ(*first.buttonText, QString());
    EXPECT_EQ(first.bar, RowLook::Bar::Reset);
    EXPECT_TRUE(RowLook::decide(gone(1), QStringLiteral("Disconnect"), 2).skipped);
    // Texts compare exactly: a different case is not "Disconnect".
    EXPECT_FALSE(RowLook::decide(gone(0), QStringLiteral("disconnect"), 2).skipped);
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
