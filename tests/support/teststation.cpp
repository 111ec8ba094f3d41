#include "teststation.h"

#include <QDir>
#include <QFile>
#include <random>

#include "burnclock.h"
#include "burnstation.h"

namespace teststation {

std::unique_ptr<vyrsim::Line> makeLine(const QString &root) {
    QDir().mkpath(root);
    auto line = std::make_unique<vyrsim::Line>(root.toStdString());
    line->addRootHub(4);
    line->addHub("1-2", 8);
    qputenv("PYREWICK_SYSROOT", root.toLocal8Bit());
    return line;
}

void writeRandomFile(const QString &path, int size, unsigned seed) {
    std::mt19937 gen(seed);
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<char>(gen() & 0xff);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write(data);
}

void writePlanFiles(const QString &planDir, const QString &upgradeDir) {
    QDir().mkpath(planDir);
    QDir().mkpath(upgradeDir);
    const QDir plan(planDir), upgrade(upgradeDir);
    writeRandomFile(plan.filePath("spl.bin"), 4096, 1);
    writeRandomFile(plan.filePath("uboot.bin"), 150000, 2);
    writeRandomFile(plan.filePath("uImage"), 300000, 3);
    writeRandomFile(plan.filePath("upgrade.img"), 70000, 4);
    writeRandomFile(plan.filePath("patch.img"), 5000, 5);
    writeRandomFile(upgrade.filePath("update.zip"), 20000, 6);
    writeRandomFile(upgrade.filePath("extra.bin"), 3000, 7);
}

void writeMediaFiles(const QString &mediaDir) {
    QDir().mkpath(mediaDir + "/clips");
    writeRandomFile(mediaDir + "/intro.mp4", 8000, 8);
    writeRandomFile(mediaDir + "/clips/a.mp4", 1000, 9);
}

QString planText(const QString &tail) {
    return QStringLiteral(R"(<?xml version="1.0"?>
<progress>
<command sn="0" path="spl.bin" address="80000000" run="true">load spl</command>
<command sn="1">crc 80000000 size value</command>
<command sn="2" path="uboot.bin" address="81000000" run="true" count="20">load uboot</command>
<command sn="3">crc 81000000 size value</command>
<command sn="4" path="uImage" address="82000000">load uimage</command>
<command sn="5">crc 82000000 size value</command>
<command sn="6" path="upgrade.img" address="83000000">load to ram</command>
<command sn="7" path="patch.img" address="84000000">load to ram</command>
<command sn="8" address="8f000000" cmd="upgrade:0# patch:0#">load addr</command>
<command sn="9">setenv bootargs console=ttyS0</command>
<command sn="10" count="30">bootm</command>
<command sn="11" count="30">update:update.zip</command>
)") + tail +
           QStringLiteral("</progress>\n");
}

QString samplePlan() {
    return planText(QStringLiteral(R"(<command sn="12">copy_media</command>
<command sn="13">format_data(prepare:extra.bin)</command>
<command sn="14" cmd="final">reset</command>
)"));
}

void installPlan(BurnStation &station, const QString &path, const QString &xml) {
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(xml.toUtf8());
    f.close();
    station.importPlan(path);
}

vyrsim::DeviceSpec deviceSpec() {
    vyrsim::DeviceSpec devSpec;
    devSpec.bootMs = BurnClock::scaledMs(2000);
    devSpec.recovery.bootMs = BurnClock::scaledMs(1000);
    devSpec.recovery.updateMs = BurnClock::scaledMs(2000);
    // Long enough for the preparation copy at the fifth tick of the wait.
    devSpec.recovery.commandMs = BurnClock::scaledMs(8000);
    return devSpec;
}

} // namespace teststation
