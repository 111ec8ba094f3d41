// The commands the operator gives through the buttons, menus and check boxes.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appinfo.h"
#include "buildvariant.h"
#include "burnclock.h"
#include "burnplan.h"
#include "burnstate.h"
#include "macrangestore.h"
#include "portcofigxml.h"
#include "portrefresh.h"
#include "settings.h"
#include "uiprompts.h"
#include "upgradepackage.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QProgressBar>

void MainWindow::showInformation(const QString &text) {
    uiPrompts().information(nullptr, QString(), text);
}

void MainWindow::startClicked() {
    const auto plan = burnPlan();
    if (!plan || plan->commandCount() <= 0) {
        showInformation(tr("Please check progress control file!"));
        return;
    }
    const bool singleDevice = buildVariant() == BuildVariant::SingleDevice;
    if (singleDevice && gDevCount >= 2) {
        showInformation(tr("Only support one device ,it's a release for no hub!"));
        return;
    }
    // Burning is still off here, so this forgets every port match; the
    // device is matched again by the next refreshes.
    if (singleDevice) resetPortMatchInfo();
    gRescanRequest = true;
    gBurning = true;
    for (PortInfo &port : gPortInfo) {
        int waiting = PORT_STATUS_WAIT_START;
        port.status.compare_exchange_strong(waiting, PORT_STATUS_START);
    }
    ui->pushButton_start->setEnabled(false);
    ui->pushButton_stop->setEnabled(true);
}

void MainWindow::stopClicked() {
    gBurning = false;
    ui->pushButton_start->setEnabled(true);
    ui->pushButton_stop->setEnabled(false);
    // Signals every thread, waits for each to end its step, then clears the
    // ports that had one.
    refresh->stop();
    for (int p = 0; p < PORT_COUNT; ++p)
        if (refresh->thread(p)) progressBars[p]->reset();
}

void MainWindow::resetPortMatchInfo() {
    if (gBurning) {
        showInformation(tr("stop Burning first"));
        return;
    }
    QFile::remove(QString::fromLatin1(PortCofigXml::FILE_NAME));
    for (PortInfo &port : gPortInfo) {
        port.portPath = QString();
        port.status = PORT_STATUS_NONE;
    }
}

// A new plan replaces the old one (burn threads keep the snapshot they hold
// for their current tick) and sets the step count.
void MainWindow::installPlan(const QString &path) {
    setBurnPlan(std::make_shared<BurnPlan>(path));
}

void MainWindow::watchOnly(const QString &dir) {
    const QStringList watched = configWatcher->directories();
    if (!watched.isEmpty()) configWatcher->removePaths(watched);
    if (!dir.isEmpty() && QFileInfo::exists(dir)) configWatcher->addPath(dir);
}

void MainWindow::importConfigFiles() {
    const QString path = QDir::toNativeSeparators(uiPrompts().openFileName(
        this, tr("Import configure files"), QStringLiteral("tmp"), QStringLiteral("*.xml")));
    ui->tedit_logshow->append(QStringLiteral("-----importConfigFiles-----filename") + path);
    if (path.isEmpty()) return;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        uiPrompts().warning(this, tr("Error"),
                            tr("Failed to open %1\n%2").arg(path, file.errorString()));
        return;
    }
    file.close();
    progressFileName = path;
    installPlan(path);
    const auto plan = burnPlan();
    watchOnly(plan ? plan->getResourcePath() : QString());
    resetStatistics();
}

void MainWindow::importUpgradeFile() {
    const QString path = QDir::toNativeSeparators(uiPrompts().openFileName(
        this, tr("select upgrade file"), QString(), QStringLiteral("*.zip")));
    ui->tedit_logshow->append(QStringLiteral("-----importUpgradeFile-----filename") + path);
    if (path.isEmpty()) return;

    // Unpacking must not look like an edit of the plan's directory.
    watchOnly(QString());
    firmwareShown = path;
    ui->label_firmware->setText(tr("upgrade file: ") + path);
    deleteDir(QString::fromLatin1(UpgradePackage::kTmpDir));

    qDebug() << "begin run";
    if (UpgradePackage::unpack(path, BurnClock::scaledMs(60000)) ==
        UpgradePackage::UnpackResult::TimedOut) {
        showInformation(tr("operate failed,Please reload the upgrade file!"));
        return;
    }
    qDebug() << "end run";

    gUpgradeDir = UpgradePackage::upgradeDirAfterUnpack();
    qDebug() << gUpgradeDir.get();
    progressFileName = gUpgradeDir.get() + QString::fromLatin1(BurnPlan::DEFAULT_PATH);
    if (!QFile::exists(progressFileName)) {
        showInformation(tr("find no upgrade config ,please load it manually!"));
        return;
    }
    qDebug() << "config path is :" << progressFileName;
    installPlan(progressFileName);
    watchOnly(gUpgradeDir.get());

    // The same package again keeps the statistics; another one starts afresh.
    if (path != upgradeFilePath) resetStatistics();
    upgradeFilePath = path;
}

void MainWindow::importMediaFiles() {
    const QString dir =
        QDir::toNativeSeparators(uiPrompts().existingDirectory(this, tr("select Media Dir")));
    mediaFilesPath = dir;
    if (dir.isEmpty())
        ui->label_mediafile->clear();
    else
        ui->label_mediafile->setText(tr("Media Dir:") + dir);
    ui->tedit_logshow->append(QStringLiteral("set upgrade Media File Path: ") + dir);
}

void MainWindow::reParseConfigFile() {
    ui->tedit_logshow->append(QStringLiteral("reParseConfigFile"));
    installPlan(progressFileName);
    watchOnly(gUpgradeDir.get());
}

void MainWindow::changeLanuage() {
    QString language = Settings::language();
    if (languageApplied) {
        language = language == QLatin1String("cn") ? QStringLiteral("en") : QStringLiteral("cn");
        Settings::setLanguage(language);
    }
    languageApplied = true;
    if (language == QLatin1String("cn"))
        QApplication::installTranslator(&translator);
    else
        QApplication::removeTranslator(&translator);
}

void MainWindow::showVersion() {
    showInformation(AppInfo::versionText());
}

void MainWindow::checkBox_mac_changed(int state) {
    MacRangeStore::instance().setFile(
        MacRangeStore::KIND_ETHER,
        state == 2 ? MacRangeStore::rangeFileName(MacRangeStore::KIND_ETHER) : QString());
}

void MainWindow::checkBox_mac_bt_changed(int state) {
    qDebug() << "checkBox_mac_bt_changed" << state;
    MacRangeStore::instance().setFile(
        MacRangeStore::KIND_BT,
        state == 2 ? MacRangeStore::rangeFileName(MacRangeStore::KIND_BT) : QString());
}

void MainWindow::checkBox_mac_wifi_changed(int state) {
    MacRangeStore::instance().setFile(
        MacRangeStore::KIND_WIFI,
        state == 2 ? MacRangeStore::rangeFileName(MacRangeStore::KIND_WIFI) : QString());
}

void MainWindow::checkBox_erase_changed(int state) {
    qDebug() << "checkBox_erase_changed" << state;
    gEraseCommand = Settings::eraseCommand();
    gEraseMode = state == 2;
}

bool MainWindow::deleteDir(QString dirName) {
    return UpgradePackage::deleteDirContents(dirName);
}

void MainWindow::tableWidgetCellChanged(int, int, int, int) {}
void MainWindow::tableWidgetCChanged(int, int) {}
void MainWindow::tableWidgetcurrentItemChanged(QTableWidgetItem *, QTableWidgetItem *) {}
void MainWindow::tableWidgetitemChanged(QTableWidgetItem *) {}
void MainWindow::tableWidgetitemSelectionChanged() {}
