// Start-up and imports over bad files in the working directory: the window
// comes up, says what is wrong, and nothing is written outside where it
// belongs.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "burnplan.h"
#include "burnstate.h"
#include "uitestenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <memory>

namespace {

class BadFiles : public WindowStation {};

uint32_t crc32(const QByteArray &data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put16(QByteArray &out, uint16_t v) {
    out.append(char(v & 0xFF));
    out.append(char(v >> 8));
}
void put32(QByteArray &out, uint32_t v) {
    put16(out, uint16_t(v));
    put16(out, uint16_t(v >> 16));
}

// A zip archive of stored (uncompressed) entries whose names are taken as
// given, so a package can carry names that try to leave the unpack directory.
QByteArray storedZip(const QList<QPair<QByteArray, QByteArray>> &entries) {
    QByteArray zip, central;
    for (const auto &[name, data] : entries) {
        const uint32_t offset = uint32_t(zip.size());
        const uint32_t crc = crc32(data);
        put32(zip, 0x04034b50);
        put16(zip, 20);
        put16(zip, 0);
        put16(zip, 0); // stored
        put32(zip, 0); // time, date
        put32(zip, crc);
        put32(zip, uint32_t(data.size()));
        put32(zip, uint32_t(data.size()));
        put16(zip, uint16_t(name.size()));
        put16(zip, 0);
        zip += name + data;

        put32(central, 0x02014b50);
        put16(central, 20);
        put16(central, 20);
        put16(central, 0);
        put16(central, 0);
        put32(central, 0);
        put32(central, crc);
        put32(central, uint32_t(data.size()));
        put32(central, uint32_t(data.size()));
        put16(central, uint16_t(name.size()));
        put32(central, 0); // extra and comment lengths
        put32(central, 0); // disk number, internal attributes
        put32(central, 0); // external attributes
        put32(central, offset);
        central += name;
    }
    const uint32_t centralAt = uint32_t(zip.size());
    zip += central;
    put32(zip, 0x06054b50);
    put32(zip, 0);
    put16(zip, uint16_t(entries.size()));
    put16(zip, uint16_t(entries.size()));
    put32(zip, uint32_t(central.size()));
    put32(zip, centralAt);
    put16(zip, 0);
    return zip;
}

} // namespace

TEST_F(BadFiles, WindowComesUpOverCorruptFilesWithoutLogOrTmpDirectory) {
    writeFile("config_progress.xml", "<?xml version=\"1.0\"?><progress><cmd sn=\"1\" path=");
    writeFile("config_port.xml", QByteArray("\x00\xff<port_path\x01>>>", 16));
    writeFile("configure.ini", QByteArray("\xff\xfe[Erase\n erasecmd\x00=== [[[", 25));
    writeFile("log", "a file where the log directory belongs");
    ASSERT_FALSE(QFileInfo::exists("tmp"));

    open();
    ASSERT_TRUE(w->form()->pushButton_start->isEnabled());
    EXPECT_EQ(gStepCount, 0);
    EXPECT_EQ(gEraseCommand.get(), "nand_erase") << "settings fall back to their defaults";

    w->startClicked();
    EXPECT_EQ(boxes, QStringList({"|Please check progress control file!"}));
    EXPECT_FALSE(gBurning);

    // Teardown saves the panel into a log directory it cannot make: no crash,
    // and the file standing in its place is left as it was.
    w.reset();
    QFile log("log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_EQ(log.readAll(), "a file where the log directory belongs");
}

TEST_F(BadFiles, PackagesThatFailOrTryToLeaveTmpWriteNothingOutside) {
    open();

    // Garbage that the archiver cannot unpack: the import fails.
    writeFile("broken.zip", QByteArray(4096, '\x5a'));
    fileAnswers << dir() + "/broken.zip";
    w->importUpgradeFile();
    EXPECT_EQ(boxes, QStringList({"|The upgrade file is damaged and was not imported (see the "
                                  "log). Please reload the upgrade file!"}));
    boxes.clear();

    // Entries named to climb out of tmp/ or to land on an absolute path.
    const QString outsideName =
        QStringLiteral("pyrewick-escape-%1.txt").arg(QCoreApplication::applicationPid());
    const QString parent = QFileInfo(dir()).absolutePath();
    const QByteArray absolute = (parent + "/abs-" + outsideName).toUtf8();
    writeFile("evil.zip", storedZip({{"../" + outsideName.toUtf8(), "up one"},
                                     {"../../" + outsideName.toUtf8(), "up two"},
                                     {absolute, "absolute"},
                                     {"fw/config_progress.xml", plan(2)}}));
    fileAnswers << dir() + "/evil.zip";
    w->importUpgradeFile();

    EXPECT_FALSE(QFileInfo::exists(dir() + "/" + outsideName)) << "left tmp/";
    EXPECT_FALSE(QFileInfo::exists(parent + "/" + outsideName)) << "left the working directory";
    EXPECT_FALSE(QFileInfo::exists(QString::fromUtf8(absolute))) << "absolute name honoured";
    EXPECT_TRUE(QFileInfo::exists("tmp/" + outsideName)) << "the climbing names land in tmp/";
    // Several top-level entries: the plan is looked for in tmp/ itself.
    EXPECT_EQ(boxes, QStringList({"|find no upgrade config ,please load it manually!"}));
}
