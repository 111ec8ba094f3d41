// Run as root, the station takes programs and the driver package only from
// where they were installed, and only when nobody but root can change them:
// never from the operator's station folder. The operator's own lookups are
// those of tests/ui and engine_rules_test.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "datafiles.h"
#include "probedevthread.h"
#include "upgradepackage.h"

namespace {

constexpr uid_t kOperator = 4242;

void writeExecutable(const QString &path, const QByteArray &body) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(body);
    f.close();
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0755), 0);
}

class AsRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "acts as root (scripts/test runs as root)";
        mBefore = QDir::currentPath();
    }
    void TearDown() override {
        if (!mBefore.isEmpty()) QDir::setCurrent(mBefore);
        ProbeDevThread::setRootCheck(nullptr);
    }
    QString mBefore;
};

} // namespace

// What counts as root's alone: the file and every directory above it.
TEST_F(AsRoot, OnlyFilesNobodyButRootCanChangeAreTrusted) {
    // A folder nobody but root can change to start from: in the build tree,
    // or, for a checkout under /tmp or another folder others may write, in a
    // system folder of root's.
    QString why;
    std::unique_ptr<QTemporaryDir> made;
    for (const QString &dir : {QCoreApplication::applicationDirPath(), QStringLiteral("/var/cache"),
                               QStringLiteral("/var/lib")}) {
        auto candidate = std::make_unique<QTemporaryDir>(dir + "/rootonly-XXXXXX");
        if (!candidate->isValid()) continue;
        writeExecutable(candidate->filePath("tool"), "#!/bin/sh\n");
        if (DataFiles::rootOnly(candidate->filePath("tool"), &why)) {
            made = std::move(candidate);
            break;
        }
    }
    ASSERT_TRUE(made) << "no folder of root's alone to try files in: " << why.toStdString();
    QTemporaryDir &trusted = *made;
    const QString tool = trusted.filePath("tool");
    writeExecutable(tool, "#!/bin/sh\n");
    EXPECT_TRUE(DataFiles::rootOnly(tool, &why)) << why.toStdString();

    ASSERT_EQ(::chmod(QFile::encodeName(tool).constData(), 0775), 0);
    EXPECT_FALSE(DataFiles::rootOnly(tool)); // group-writable
    ASSERT_EQ(::chmod(QFile::encodeName(tool).constData(), 0755), 0);
    ASSERT_EQ(::chown(QFile::encodeName(tool).constData(), kOperator, kOperator), 0);
    EXPECT_FALSE(DataFiles::rootOnly(tool)); // the operator's
    ASSERT_EQ(::chown(QFile::encodeName(tool).constData(), 0, 0), 0);

    // A root-owned file in a folder the operator owns (they may replace it).
    const QString theirs = trusted.filePath("theirs");
    ASSERT_TRUE(QDir().mkdir(theirs));
    writeExecutable(theirs + "/tool", "#!/bin/sh\n");
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), kOperator, kOperator), 0);
    EXPECT_FALSE(DataFiles::rootOnly(theirs + "/tool", &why));
    EXPECT_TRUE(why.contains(theirs)) << why.toStdString();
    // A link counts as its target: to the operator's folder, refused; to a
    // root-only file, accepted.
    ASSERT_TRUE(QFile::link(theirs + "/tool", trusted.filePath("to-theirs")));
    EXPECT_FALSE(DataFiles::rootOnly(trusted.filePath("to-theirs")));
    ASSERT_TRUE(QFile::link(tool, trusted.filePath("to-tool")));
    EXPECT_TRUE(DataFiles::rootOnly(trusted.filePath("to-tool")));
    // Everyone may create in /tmp; not a directory, not there at all.
    QTemporaryDir inTmp;
    writeExecutable(inTmp.filePath("tool"), "#!/bin/sh\n");
    EXPECT_FALSE(DataFiles::rootOnly(inTmp.filePath("tool")));
    EXPECT_FALSE(DataFiles::rootOnly(trusted.path()));
    EXPECT_FALSE(DataFiles::rootOnly(trusted.filePath("missing")));
}

// The operator planted devcon, 7z and a driver package in their station
// folder. Root's lookups pass them by; the tool and archiver root runs are not
// theirs (nothing they planted runs), an import unpacks with the system's 7z,
// and the "run as root:" text names installed paths even when the operator
// reads it.
TEST_F(AsRoot, PlantedToolArchiverAndRulesAreNeitherRunNorNamed) {
    QTemporaryDir station;
    ASSERT_TRUE(station.isValid());
    const QString ran = station.filePath("planted-ran");
    for (const char *name : {"devcon", "7z"})
        writeExecutable(station.filePath(name),
                        "#!/bin/sh\necho \"$0 $(id -u)\" >>" + QFile::encodeName(ran) + "\n");
    ASSERT_TRUE(QDir(station.path()).mkpath("VyrtekusbBurningdriver/linux"));
    QFile rules(station.filePath("VyrtekusbBurningdriver/linux/Skelmar_Device.rules"));
    ASSERT_TRUE(rules.open(QIODevice::WriteOnly));
    rules.write("RUN+=\"/bin/sh -c id\"\n");
    rules.close();
    // The package to import, made before the station's 7z is on the way.
    QDir(station.path()).mkpath("src/fw");
    QFile plan(station.filePath("src/fw/config_progress.xml"));
    ASSERT_TRUE(plan.open(QIODevice::WriteOnly));
    plan.write("<progress/>\n");
    plan.close();
    QProcess zip;
    zip.setWorkingDirectory(station.filePath("src"));
    zip.start("/usr/bin/7z", {"a", "-tzip", "-bso0", "-bsp0", station.filePath("fw.zip"), "fw"});
    ASSERT_TRUE(zip.waitForFinished(30000));
    ASSERT_EQ(zip.exitCode(), 0);
    ASSERT_EQ(QProcess::execute("chown", {"-R", "4242:4242", station.path()}), 0);
    ASSERT_TRUE(QDir::setCurrent(station.path()));

    const QString folder = station.path() + "/";
    EXPECT_EQ(ProbeDevThread::devconProgram(), DataFiles::installedProgram("devcon"));
    EXPECT_FALSE(ProbeDevThread::devconProgram().startsWith(folder))
        << ProbeDevThread::devconProgram().toStdString();
    EXPECT_FALSE(ProbeDevThread::reinstallArguments().value(1).startsWith(folder));
    EXPECT_FALSE(
        ProbeDevThread::reinstallArguments().value(1).startsWith("VyrtekusbBurningdriver"));
    const QString archiver = UpgradePackage::archiverProgram();
    EXPECT_FALSE(archiver.startsWith(folder)) << archiver.toStdString();
    EXPECT_TRUE(DataFiles::rootOnly(archiver)) << archiver.toStdString();

    // Only an installed tool that is root's alone would run (a build tree has
    // none); the arguments ask for its usage, which changes nothing.
    ProbeDevThread::runDevcon({QStringLiteral("usage")});
    const UpgradePackage::UnpackOutcome unpacked =
        UpgradePackage::unpack(station.filePath("fw.zip"), 60000, {});
    EXPECT_EQ(unpacked.result, UpgradePackage::UnpackResult::Finished)
        << unpacked.errors.toStdString();
    EXPECT_TRUE(QFile::exists(station.filePath("tmp/fw/config_progress.xml")));
    QFile log(ran);
    EXPECT_FALSE(log.exists()) << (log.open(QIODevice::ReadOnly) ? log.readAll().toStdString()
                                                                 : std::string());

    // The operator's view of the text that sends them to root.
    ProbeDevThread::setRootCheck([] { return false; });
    EXPECT_EQ(ProbeDevThread::devconProgram(), folder + "devcon"); // their own lookup, as ever
    const QString text = ProbeDevThread::needRootText();
    EXPECT_FALSE(text.contains(folder)) << text.toStdString();
    EXPECT_FALSE(text.contains(" VyrtekusbBurningdriver/")) << text.toStdString();
}
