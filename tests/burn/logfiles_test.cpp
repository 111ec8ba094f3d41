// Saved-log names and file contents.
#include "logfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <sys/resource.h>

#include <gtest/gtest.h>

TEST(LogFiles, NamesCarryDateTimeAndPackage) {
    const QDateTime t(QDate(2026, 1, 31), QTime(8, 5, 9));
    EXPECT_EQ(LogFiles::usbLogPath(t), "log/usb_2026-01-31-08-05-09.log");
    const QString pkg = QStringLiteral("/data/images/fw_v2.zip");
    EXPECT_EQ(LogFiles::savedLogName(LogFiles::SaveKind::Manual, pkg, t),
              "log/01.31.08.05_fw_v2_manual.log");
    EXPECT_EQ(LogFiles::savedLogName(LogFiles::SaveKind::Auto, pkg, t),
              "log/01.31.08.05_fw_v2_autosave.log");
    EXPECT_EQ(LogFiles::savedLogName(LogFiles::SaveKind::Exit, pkg, t),
              "log/01.31.08.05_fw_v2.log");
    EXPECT_EQ(LogFiles::savedLogName(LogFiles::SaveKind::Exit, QString(), t),
              "log/01.31.08.05_.log");
    // 24-hour clock.
    EXPECT_EQ(LogFiles::savedLogName(LogFiles::SaveKind::Exit, pkg,
                                     QDateTime(QDate(2026, 12, 3), QTime(17, 45))),
              "log/12.03.17.45_fw_v2.log");
}

TEST(LogFiles, BaseNameDropsDirectoryAndExtension) {
    EXPECT_EQ(LogFiles::packageBaseName("fw.zip"), "fw");
    EXPECT_EQ(LogFiles::packageBaseName("D:\\images\\fw_v2.zip"), "fw_v2");
    EXPECT_EQ(LogFiles::packageBaseName("a/b.c/pkg.zip"), "pkg");
    EXPECT_EQ(LogFiles::packageBaseName(""), "");
    EXPECT_EQ(LogFiles::packageBaseName("x/ab"), "");
}

// A disk that fills while the log is written (here: a file size limit, which
// fails the write the same way) gives a failure, not a cut or empty file,
// and an older file of the same name is left whole.
TEST(LogFiles, WriteThatCannotCompleteFailsAndKeepsTheOldFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("saved.log");
    ASSERT_TRUE(LogFiles::writeSavedLog(path, "old line\nsecond"));

    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &small);
    QString error;
    const bool ok = LogFiles::writeSavedLog(path, QString(4096, QLatin1Char('x')), &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_FALSE(ok);
    EXPECT_FALSE(error.isEmpty());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "old line\r\nsecond");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"saved.log"}));

    EXPECT_FALSE(LogFiles::writeSavedLog(dir.filePath("no-such-dir/x.log"), "line", &error));
}
