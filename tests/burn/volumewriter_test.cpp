// Copies onto the recovery volume are on the device before the engine goes
// on: every copied file and every changed directory is fsynced and the
// volume's file system synced before a copy reports success, and a flush that
// fails fails the copy with the reason. The volume is a temporary directory;
// the file operations are the system's, seen (and made to fail) through the
// engine's table of volume file operations.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <cerrno>
#include <string>
#include <vector>

#include "burnclock.h"
#include "burnstate.h"
#include "burnthread.h"
#include "volumewriter.h"

namespace {

// What the engine did to the volume, in order: "copy <path>", "remove
// <path>", "mkdir <path>", "fsync <path>", "syncfs <path>". One operation
// kind may be made to fail with EIO on a path ending in a given text, a given
// number of times.
struct Recorder {
    std::vector<std::string> events;
    std::string failKind;
    std::string failSuffix;
    int failTimes = 0;
};
Recorder gRec;

int note(const char *kind, const char *path, int result) {
    gRec.events.push_back(std::string(kind) + " " + path);
    const std::string p(path);
    if (gRec.failTimes > 0 && gRec.failKind == kind && p.size() >= gRec.failSuffix.size() &&
        p.compare(p.size() - gRec.failSuffix.size(), std::string::npos, gRec.failSuffix) == 0) {
        --gRec.failTimes;
        return EIO;
    }
    return result;
}

const VolumeFileOps kRecordingOps{
    [](const char *from, const char *to) {
        // The failure is decided before the copy so a failing copy leaves
        // nothing, as the system's copy promises.
        const int injected = note("copy", to, 0);
        return injected ? injected : systemVolumeFileOps().copyFile(from, to);
    },
    [](const char *path) { return note("remove", path, systemVolumeFileOps().removeFile(path)); },
    [](const char *path) { return note("mkdir", path, systemVolumeFileOps().makeDirectory(path)); },
    [](const char *path) { return note("fsync", path, systemVolumeFileOps().syncPath(path)); },
    [](const char *path) {
        return note("syncfs", path, systemVolumeFileOps().syncFileSystem(path));
    },
};

void writeFile(const QString &path, const QByteArray &data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}

// Reaches the copies of one port's burn as the state machine makes them.
class CopyPort : public BurnThread {
  public:
    CopyPort() : BurnThread(0) {}
    void onVolume(const QString &disk) { mDiskPath = disk; }
    bool update(const QString &name) { return placeUpdateFile(name); }
    void prepare(const QString &argument, int waitLimit) {
        mPrepareCmd = argument;
        mMaxBurnWaitNum = waitLimit;
        mBurnWaitCount = 5;
        runPreparation();
    }
};

class VolumeFlush : public ::testing::Test {
  protected:
    void SetUp() override {
        resetBurnState();
        BurnClock::setScale(0.01);
        gRec = Recorder{};
        setVolumeFileOps(&kRecordingOps);
        ASSERT_TRUE(tmp.isValid());
        QDir(tmp.path()).mkpath("upgrade");
        QDir(tmp.path()).mkpath("volume");
        QDir(tmp.path()).mkpath("media/sub");
        writeFile(path("upgrade/update.zip"), QByteArray(300000, 'u'));
        writeFile(path("upgrade/extra.bin"), "extra");
        writeFile(path("media/a.txt"), "a");
        writeFile(path("media/sub/b.txt"), "b");
        gUpgradeDir.set(path("upgrade") + "/");
        port.onVolume(path("volume"));
        BurnThread::setLogObserver([this](int, const QString &line) {
            QMutexLocker lock(&logLock);
            log.append(line.mid(line.indexOf("]: ") + 3));
        });
    }
    void TearDown() override {
        BurnThread::setLogObserver(nullptr);
        setVolumeFileOps(nullptr);
        BurnClock::setScale(-1);
        resetBurnState();
    }
    QString path(const QString &rel) const { return tmp.path() + "/" + rel; }
    std::string p(const QString &rel) const { return path(rel).toStdString(); }
    size_t indexOf(const std::string &event) const {
        for (size_t i = 0; i < gRec.events.size(); ++i)
            if (gRec.events[i] == event) return i;
        return std::string::npos;
    }
    std::string events() const {
        std::string all;
        for (const std::string &e : gRec.events)
            all += e + "\n";
        return all;
    }
    // Every copied file was fsynced after its copy, the directories named
    // were fsynced after their last change, and the file system was synced
    // last of all.
    void expectFlushed(const std::vector<QString> &files, const std::vector<QString> &dirs) {
        for (const QString &f : files) {
            const size_t copied = indexOf("copy " + p(f));
            ASSERT_NE(copied, std::string::npos) << events();
            EXPECT_GT(indexOf("fsync " + p(f)), copied) << events();
            EXPECT_NE(indexOf("fsync " + p(f)), std::string::npos) << events();
        }
        for (const QString &d : dirs) {
            const size_t synced = indexOf("fsync " + p(d));
            ASSERT_NE(synced, std::string::npos) << d.toStdString() << "\n" << events();
            for (size_t i = synced; i < gRec.events.size(); ++i) {
                const std::string &e = gRec.events[i];
                const bool change = e.rfind("copy ", 0) == 0 || e.rfind("remove ", 0) == 0 ||
                                    e.rfind("mkdir ", 0) == 0;
                const QString entry = QString::fromStdString(e.substr(e.find(' ') + 1));
                if (change) {
                    EXPECT_NE(QFileInfo(entry).absolutePath().toStdString(), p(d))
                        << "changed after its flush: " << e;
                }
            }
        }
        ASSERT_FALSE(gRec.events.empty());
        EXPECT_EQ(gRec.events.back().rfind("syncfs ", 0), 0u) << events();
    }

    QTemporaryDir tmp;
    CopyPort port;
    QMutex logLock;
    QStringList log;
};

} // namespace

TEST_F(VolumeFlush, EveryCopyIsOnTheDeviceBeforeItSucceeds) {
    ASSERT_TRUE(port.update("update.zip"));
    expectFlushed({"volume/update.zip"}, {"volume"});
    EXPECT_EQ(QFileInfo(path("volume/update.zip")).size(), 300000);
    EXPECT_TRUE(log.contains("copy successed:update.zip"));

    gRec.events.clear();
    port.prepare("prepare:extra.bin", 20);
    expectFlushed({"volume/extra.bin"}, {"volume"});
    EXPECT_TRUE(log.contains("prepare file successed:extra.bin"));

    // The media tree into a volume that already holds an older a.txt: the
    // removed entry, the new directory and both files are all flushed.
    writeFile(path("volume/a.txt"), "old");
    gRec.events.clear();
    ASSERT_TRUE(port.copyDirectory(QDir(path("media")), QDir(path("volume")), true));
    expectFlushed({"volume/a.txt", "volume/sub/b.txt"}, {"volume", "volume/sub"});
    EXPECT_NE(indexOf("remove " + p("volume/a.txt")), std::string::npos) << events();
    EXPECT_NE(indexOf("mkdir " + p("volume/sub")), std::string::npos) << events();
    EXPECT_EQ(gPortInfo[0].status.load(), PORT_STATUS_NONE); // nothing failed
}

// A port whose gate is closed (closing, or Stop) writes nothing more onto the
// volume, says nothing and does not retry; its step ends.
TEST_F(VolumeFlush, ClosedGateWritesNothing) {
    port.deviceGate().close();
    EXPECT_FALSE(port.update("update.zip"));
    EXPECT_FALSE(port.copyDirectory(QDir(path("media")), QDir(path("volume")), true));
    EXPECT_TRUE(gRec.events.empty()) << events();
    EXPECT_TRUE(log.isEmpty()) << log.join("\n").toStdString();
    EXPECT_FALSE(QFile::exists(path("volume/update.zip")));
}

TEST_F(VolumeFlush, AFailingFlushFailsTheUpdateCopyAndLeavesNoPackage) {
    // The file's flush fails on both attempts: the burn fails, the reason is
    // on the copy's failure line, and no package stays on the volume.
    gRec.failKind = "fsync";
    gRec.failSuffix = "/update.zip";
    gRec.failTimes = 2;
    EXPECT_FALSE(port.update("update.zip"));
    EXPECT_EQ(gPortInfo[0].status.load(), PORT_STATUS_FAILED);
    EXPECT_TRUE(log.contains("copy failed 2 times:" + path("volume/update.zip") +
                             ": flush update.zip: Input/output error"))
        << log.join("\n").toStdString();
    EXPECT_FALSE(QFile::exists(path("volume/update.zip")));
    EXPECT_EQ(indexOf("syncfs " + p("volume")), std::string::npos) << events();
}

TEST_F(VolumeFlush, AFailedVolumeSyncIsRetriedOnce) {
    // The file system sync fails once: the second attempt copies afresh and
    // succeeds.
    gRec.failKind = "syncfs";
    gRec.failSuffix = "/volume";
    gRec.failTimes = 1;
    ASSERT_TRUE(port.update("update.zip"));
    EXPECT_TRUE(log.contains("copy successed 2nd time:update.zip"));
    EXPECT_EQ(gPortInfo[0].status.load(), PORT_STATUS_NONE);
    EXPECT_EQ(QFileInfo(path("volume/update.zip")).size(), 300000);
    EXPECT_EQ(gRec.events.back(), "syncfs " + p("volume"));
}

TEST_F(VolumeFlush, FailingFlushesOfPreparedAndMediaCopies) {
    // A prepared file that cannot be flushed is a failed prepared copy: its
    // line with the reason, no status change, no file left.
    gRec.failKind = "syncfs";
    gRec.failSuffix = "/volume";
    gRec.failTimes = 1;
    port.prepare("prepare:extra.bin", 20);
    EXPECT_TRUE(log.contains("prepare file failed:extra.bin: flush volume: Input/output error"))
        << log.join("\n").toStdString();
    EXPECT_EQ(gPortInfo[0].status.load(), PORT_STATUS_NONE);
    EXPECT_FALSE(QFile::exists(path("volume/extra.bin")));

    // The media copy fails when a directory cannot be flushed, and says why.
    gRec.failKind = "fsync";
    gRec.failSuffix = "/volume/sub";
    gRec.failTimes = 1;
    EXPECT_FALSE(port.copyDirectory(QDir(path("media")), QDir(path("volume")), true));
    EXPECT_EQ(port.copyError(), "flush sub: Input/output error");
}
