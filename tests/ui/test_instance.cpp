// The built programs: one instance per machine, and exit code 1 for a second.
#include "singleinstance.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>

namespace {

struct Program {
    QTemporaryDir station;
    QTemporaryDir temp; // the lock lives here, apart from any real instance
    QProcessEnvironment env() const {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("TMPDIR", temp.path());
        e.insert("QT_QPA_PLATFORM", "offscreen");
        e.insert("PYREWICK_NONINTERACTIVE", "1");
        e.insert("PYREWICK_TIME_SCALE", "0.05");
        QDir(station.path()).mkpath("root/sys/bus/usb/devices");
        e.insert("PYREWICK_SYSROOT", station.path() + "/root");
        return e;
    }
    void start(QProcess &p, const char *program) const {
        p.setProcessEnvironment(env());
        p.setWorkingDirectory(station.path());
        p.start(QStringLiteral(PYREWICK_BIN_DIR "/") + program, {});
    }
    QString lockFile() const {
        const QString name = QFileInfo(SingleInstance::lockFilePath()).fileName();
        return temp.path() + "/" + name;
    }
};

} // namespace

TEST(SingleInstance, SecondStartRefusedWithExitCodeOne) {
#if defined(__SANITIZE_THREAD__)
    // The started programs show a window whose painting runs on Qt's own,
    // uninstrumented threads; the lock is checked by the other builds.
    GTEST_SKIP() << "two whole programs are not run under ThreadSanitizer";
#endif
    Program prog;
    QProcess first;
    prog.start(first, "pyrewick-testnohub");
    ASSERT_TRUE(first.waitForStarted(10000));
    // Running once its window exists: the log directory and USB log are made.
    for (int i = 0; i < 200 && !QFile::exists(prog.lockFile()); ++i)
        first.waitForFinished(50);
    ASSERT_TRUE(QFile::exists(prog.lockFile()));
    ASSERT_EQ(first.state(), QProcess::Running);

    for (const char *program : {"pyrewick-testnohub", "pyrewick"}) {
        QProcess second;
        prog.start(second, program);
        ASSERT_TRUE(second.waitForFinished(20000)) << program;
        EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(second.exitCode(), 1) << program;
        EXPECT_TRUE(
            second.readAllStandardError().contains("An instance has already been running."));
    }
    EXPECT_EQ(first.state(), QProcess::Running);

    // The first one dies without cleaning up: its stale lock is taken over.
    first.kill();
    first.waitForFinished(10000);
    QProcess third;
    prog.start(third, "pyrewick");
    ASSERT_TRUE(third.waitForStarted(10000));
    EXPECT_FALSE(third.waitForFinished(1500)) << third.readAllStandardError().toStdString();
    third.kill();
    third.waitForFinished(10000);
}

// A termination signal closes the window as the operator would: the log
// panel is saved at exit and the program ends normally.
TEST(Signals, TermIntAndHupCloseTheWindowAndSaveTheLog) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "whole programs are not run under ThreadSanitizer";
#endif
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        Program prog;
        QProcess p;
        prog.start(p, "pyrewick");
        ASSERT_TRUE(p.waitForStarted(10000));
        for (int i = 0; i < 200 && !QFile::exists(prog.lockFile()); ++i)
            p.waitForFinished(50);
        ASSERT_TRUE(QFile::exists(prog.lockFile()));
        // Running: its first refreshes have passed.
        p.waitForFinished(1000);
        ASSERT_EQ(p.state(), QProcess::Running);
        ASSERT_EQ(::kill(pid_t(p.processId()), number), 0);
        ASSERT_TRUE(p.waitForFinished(30000)) << number;
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << number;
        EXPECT_EQ(p.exitCode(), 0) << number;
        QStringList saved = QDir(prog.station.filePath("log")).entryList({"*.log"}, QDir::Files);
        saved = saved.filter(QRegularExpression("^\\d\\d\\.\\d\\d\\.\\d\\d\\.\\d\\d_\\.log$"));
        ASSERT_EQ(saved.size(), 1) << number;
        QFile log(prog.station.filePath("log/" + saved[0]));
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        EXPECT_TRUE(log.readAll().contains("current pc version is: ")) << number;
        EXPECT_FALSE(QFile::exists(prog.lockFile())) << "the teardown gave the lock back";
    }
}
