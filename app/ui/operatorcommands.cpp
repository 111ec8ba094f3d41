// The commands the operator gives through the buttons, menus and check boxes.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appinfo.h"
#include "burnstate.h"
#include "macrangestore.h"
#include "panelappend.h"
#include "burnrecorder.h"
#include "burnstation.h"
#include "recordsdialog.h"
#include "recordstore.h"
#include "settings.h"
#include "uiprompts.h"
#include "upgradepackage.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QProgressBar>
#include <QProgressDialog>

void MainWindow::showInformation(const QString &text) {
    uiPrompts().information(nullptr, QString(), text);
}

void MainWindow::startClicked() {
    switch (burnStation->start()) {
    case BurnStation::StartRefusal::NoPlan:
        showInformation(tr("Please check progress control file!"));
        return;
    case BurnStation::StartRefusal::SeveralDevices:
        showInformation(tr("Only support one device ,it's a release for no hub!"));
        return;
    case BurnStation::StartRefusal::Importing:
        return; // the import's dialog is up; Start waits for it
    case BurnStation::StartRefusal::TmpIncomplete:
        showInformation(tr("The upgrade package in tmp was not imported completely (the "
                           "program ended during the import). Import the upgrade file again."));
        return;
    case BurnStation::StartRefusal::None:
        break;
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
    burnStation->stop();
    for (int p = 0; p < PORT_COUNT; ++p)
        if (burnStation->thread(p)) progressBars[p]->reset();
}

void MainWindow::resetPortMatchInfo() {
    if (!burnStation->resetPortMatches()) showInformation(tr("stop Burning first"));
}

void MainWindow::importConfigFiles() {
    const QString path = QDir::toNativeSeparators(uiPrompts().openFileName(
        this, tr("Import configure files"), QStringLiteral("tmp"), QStringLiteral("*.xml")));
    logLine(QStringLiteral("-----importConfigFiles-----filename") + path);
    if (path.isEmpty()) return;

    QString error;
    if (burnStation->importPlan(path, &error) == BurnStation::PlanImport::CannotOpen)
        uiPrompts().warning(this, tr("Error"), tr("Failed to open %1\n%2").arg(path, error));
}

void MainWindow::importUpgradeFile() {
    // Emptying tmp would pull the files from under the running burns.
    if (burnStation->importBlocked()) {
        showInformation(tr("Press Stop and let every burn end before importing an upgrade file!"));
        return;
    }
    const QString path = QDir::toNativeSeparators(uiPrompts().openFileName(
        this, tr("select upgrade file"), QString(), QStringLiteral("*.zip")));
    logLine(QStringLiteral("-----importUpgradeFile-----filename") + path);
    if (path.isEmpty()) return;

    firmwareShown = path;
    ui->label_firmware->setText(tr("upgrade file: ") + path);

    // The station unpacks and reads the plan on a worker thread; the window
    // goes on refreshing behind a modal dialog with the archiver's progress.
    QProgressDialog dialog(tr("Unpacking the upgrade file..."), QString(), 0, 100, this);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setCancelButton(nullptr);
    dialog.setMinimumDuration(0);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    dialog.setValue(0);
    progressDialog = &dialog;
    const BurnStation::PackageImport outcome =
        burnStation->importPackage(path, [&dialog](PackageUnpacker::Stage stage, int percent) {
            if (stage == PackageUnpacker::Stage::ReadingPlan) {
                dialog.setLabelText(tr("Reading the burn plan..."));
                dialog.setRange(0, 0); // busy: the sums take a while
            } else if (percent >= 0) {
                dialog.setValue(percent);
            }
        });
    progressDialog = nullptr;
    dialog.close();

    const QString detail = burnStation->importDetail();
    switch (outcome) {
    case BurnStation::PackageImport::TimedOut:
        showInformation(tr("operate failed,Please reload the upgrade file!"));
        break;
    case BurnStation::PackageImport::NoPlan:
        showInformation(tr("find no upgrade config ,please load it manually!"));
        break;
    case BurnStation::PackageImport::Failed:
        logLine(QStringLiteral("unpacking failed: ") + detail);
        showInformation(tr("The upgrade file is damaged and was not imported "
                           "(see the log). Please reload the upgrade file!"));
        break;
    case BurnStation::PackageImport::TmpIsLink:
        logLine(QStringLiteral("import refused: ") + detail);
        showInformation(tr("The tmp directory is a symbolic link; replace it by a directory "
                           "and import again."));
        break;
    case BurnStation::PackageImport::Refused:
        logLine(QStringLiteral("import refused: ") + detail);
        showInformation(tr("The upgrade file cannot be used: %1").arg(detail));
        break;
    case BurnStation::PackageImport::Burning:
        showInformation(tr("Press Stop and let every burn end before importing an upgrade file!"));
        break;
    case BurnStation::PackageImport::Imported:
        break;
    }
}

void MainWindow::importMediaFiles() {
    const QString dir =
        QDir::toNativeSeparators(uiPrompts().existingDirectory(this, tr("select Media Dir")));
    burnStation->importMedia(dir);
    if (dir.isEmpty())
        ui->label_mediafile->clear();
    else
        ui->label_mediafile->setText(tr("Media Dir:") + dir);
    logLine(QStringLiteral("set upgrade Media File Path: ") + dir);
}

void MainWindow::reParseConfigFile() {
    burnStation->rereadPlan();
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

void MainWindow::showRecords() {
    // Modeless: the window goes on refreshing and the burns go on while it is up.
    if (!recordsWindow) {
        const BurnRecorder *recorder = burnStation->recorder();
        recordsWindow = new RecordsDialog(
            recorder ? recorder->storePath() : RecordStore::pathIn(QDir::currentPath()), this);
    }
    recordsWindow->refresh();
    recordsWindow->show();
    recordsWindow->raise();
    recordsWindow->activateWindow();
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
