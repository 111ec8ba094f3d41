#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appinfo.h"
#include "burnstate.h"
#include "burnstation.h"
#include "datafiles.h"
#include "devicechangesource.h"
#include "logfiles.h"
#include "logjournal.h"
#include "panelappend.h"
#include "portcofigxml.h"
#include "settings.h"
#include "singleinstance.h"
#include "tracemoor.h"
#include "uiprompts.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFont>
#include <QPixmap>
#include <QProgressBar>
#include <QTableWidgetItem>
#include <QTimer>

namespace {
const char *const kProgressBarStyle =
    "QProgressBar::chunk{background-color:blue} QProgressBar{text-align:center;}";
}

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow) {
    // The USB debug log of this run; the panel of a run that died, from its
    // journal; then this run's own journal.
    panelJournal = std::make_unique<LogJournal>();
    const LogJournal::RunStart logs =
        LogJournal::startRun(*panelJournal, QDateTime::currentDateTime());
    if (!logs.journalOpen)
        qWarning().noquote() << "the log panel's journal cannot be made in"
                             << QString::fromLatin1(LogFiles::kLogDir)
                             << "; the panel reaches the disk only when it is saved";
    panelLimit = Settings::panelLines();

    ui->setupUi(this);
    // The log panel is read-only: an undo history of its appends would only
    // grow, line by line, for as long as the program runs.
    ui->tedit_logshow->setUndoRedoEnabled(false);
    probeBtns = {ui->pushButton_1, ui->pushButton_2, ui->pushButton_3, ui->pushButton_4,
                 ui->pushButton_5, ui->pushButton_6, ui->pushButton_7, ui->pushButton_8};
    setUpTable();
    ui->tableWidget->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui->tableWidget->setSelectionMode(QAbstractItemView::SingleSelection);
    ui->tableWidget->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui->label_wait->setPixmap(QPixmap(DataFiles::find(QStringLiteral("ok.png"))));
    QFont mediaFont(QStringLiteral(" "), 12);
    mediaFont.setBold(true);
    ui->label_mediafile->setFont(mediaFont);
    if (!Settings::eraseEnabled()) ui->checkBox_erase->setEnabled(false);
    gEraseCommand = Settings::eraseCommand();
    ui->checkBox_mac->setEnabled(false);
    ui->checkBox_bt->setEnabled(false);
    ui->checkBox_wifi->setEnabled(false);
    ui->checkBox_HDCP->setEnabled(false);
    ui->checkBox_userinfo->setEnabled(false);
    setFixedSize(width(), height());

    PortCofigXml::warningHook = [](const QString &title, const QString &text) {
        uiPrompts().warning(nullptr, tr(title.toUtf8().constData()), tr(text.toUtf8().constData()));
    };
    burnStation = std::make_unique<BurnStation>(BurnStation::PortMatches::StationFile);
    // Burn records in the station's directory (the working directory).
    burnStation->keepRecords(QDir::currentPath());
    autosaveCount = 0;
    waitCount = 0;

    connect(ui->pushButton_start, &QPushButton::clicked, this, &MainWindow::startClicked);
    connect(ui->pushButton_stop, &QPushButton::clicked, this, &MainWindow::stopClicked);
    connect(ui->actionImport_configure_files, &QAction::triggered, this,
            &MainWindow::importConfigFiles);
    connect(ui->action_Import_media_file, &QAction::triggered, this, &MainWindow::importMediaFiles);
    connect(ui->actionLanuage, &QAction::triggered, this, &MainWindow::changeLanuage);
    connect(ui->action_resetportmatch, &QAction::triggered, this, &MainWindow::resetPortMatchInfo);
    connect(ui->action_Import_upgrade_file, &QAction::triggered, this,
            &MainWindow::importUpgradeFile);
    connect(ui->actionVersion, &QAction::triggered, this, &MainWindow::showVersion);
    connect(ui->actionBurnRecords, &QAction::triggered, this, &MainWindow::showRecords);
    connect(ui->tableWidget, &QTableWidget::currentCellChanged, this,
            &MainWindow::tableWidgetCellChanged);
    connect(ui->tableWidget, &QTableWidget::cellChanged, this, &MainWindow::tableWidgetCChanged);
    connect(ui->tableWidget, &QTableWidget::currentItemChanged, this,
            &MainWindow::tableWidgetcurrentItemChanged);
    connect(ui->tableWidget, &QTableWidget::itemChanged, this, &MainWindow::tableWidgetitemChanged);
    connect(ui->tableWidget, &QTableWidget::itemSelectionChanged, this,
            &MainWindow::tableWidgetitemSelectionChanged);
    connect(ui->checkBox_mac, &QCheckBox::stateChanged, this, &MainWindow::checkBox_mac_changed);
    connect(ui->checkBox_bt, &QCheckBox::stateChanged, this, &MainWindow::checkBox_mac_bt_changed);
    connect(ui->checkBox_wifi, &QCheckBox::stateChanged, this,
            &MainWindow::checkBox_mac_wifi_changed);
    connect(ui->checkBox_erase, &QCheckBox::stateChanged, this,
            &MainWindow::checkBox_erase_changed);
    connect(ui->pushButton_save, &QPushButton::clicked, this,
            static_cast<void (MainWindow::*)()>(&MainWindow::saveLog));
    connect(ui->pushButton_clear, &QPushButton::clicked, this, &MainWindow::clearLog);
    connect(burnStation.get(), &BurnStation::deviceArrived, this, &MainWindow::showWait);
    connect(burnStation.get(), &BurnStation::rereadingPlan, this,
            [this] { logLine(QStringLiteral("reParseConfigFile")); });
    refreshTimer = new QTimer(this);
    connect(refreshTimer, &QTimer::timeout, this, &MainWindow::updateDevUi);

    refreshTimer->start(500);
    // Every start begins without port matches.
    resetPortMatchInfo();

    // Pictures and translation: the working directory's copy, else the installed one.
    for (const char *name : {"ok.png", "no.png"}) {
        if (!QFileInfo(DataFiles::find(QLatin1String(name))).isFile())
            qWarning().noquote() << "data file" << name
                                 << "is neither in the working directory nor in"
                                 << DataFiles::installedDataDir();
    }
    if (!translator.load(DataFiles::find(QStringLiteral("pyrewick_zh.qm"))))
        qWarning().noquote()
            << "data file pyrewick_zh.qm is neither in the working directory nor in"
            << DataFiles::installedDataDir() << "(or it is not a translation)";
    changeLanuage();

    burnStation->open();
    gPcVersion = DeviceChangeSource::pcVersion();
    logLine(QStringLiteral("current pc version is: ") + gPcVersion.get());
    for (const QString &name : logs.recovered)
        logLine(QStringLiteral("recovered the log of a run that ended without saving it to ") +
                name);
    for (const QString &name : logs.unreadable)
        logLine(QStringLiteral("the journal of an earlier run could not be recovered: ") + name);
    panelJournal->sync();
}

MainWindow::~MainWindow() {
    // Closing is a Stop first: every burn thread ends its step (a device that
    // stopped answering costs only the request in flight). What the threads
    // wrote since the last refresh then goes into the panel, and only then is
    // the panel saved, so the saved log ends with the burns' last lines.
    refreshTimer->stop();
    burnStation->stop();
    burnStation->drainLogs([this](int, const QString &text) { logLine(text); });
    // Saved: the journal is no longer needed. Not saved: it stays and the
    // next start recovers it.
    if (savePanel(LogFiles::savedLogName(LogFiles::SaveKind::Exit, upgradeFile(),
                                         QDateTime::currentDateTime()),
                  true))
        panelJournal->remove();
    else
        panelJournal->sync();
    vyr_close_logfile();
    qDebug() << "MainWindow::~MainWindow";

    // The watch thread and every burn thread are waited for before they are
    // deleted: a thread still inside a long USB operation is never freed
    // under its feet.
    burnStation->close();
    burnStation.reset();
    LogJournal::setActive(nullptr);

    delete ui;
    ui = nullptr;
    SingleInstance::release();
}

QString MainWindow::upgradeFile() const {
    return burnStation->packageFile();
}

QString MainWindow::progressFile() const {
    return burnStation->planFile();
}

void MainWindow::setUpTable() {
    for (int p = 0; p < PORT_COUNT; ++p) {
        PortInfo &port = gPortInfo[p];
        port.portPath = QString();
        port.status = PORT_STATUS_NONE;
        port.lastResult = 0;
        port.message = QString();
    }
    for (int p = 0; p < PORT_COUNT; ++p) {
        auto *bar = new QProgressBar;
        bar->setRange(0, 100);
        bar->setStyleSheet(QString::fromLatin1(kProgressBarStyle));
        bar->reset();
        progressBars[p] = bar;
        ui->tableWidget->setCellWidget(p, 0, bar); // the table owns it

        auto *status = new QTableWidgetItem(tr(RowLook::kDisconnect));
        status->setTextAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
        ui->tableWidget->setItem(p, 1, status);
        auto *path = new QTableWidgetItem(QString());
        path->setTextAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
        ui->tableWidget->setItem(p, 2, path);
        rows[p] = RowMemory();
    }
    WriteLocker lock(&gLogLock);
    for (int p = 0; p < PORT_COUNT; ++p) {
        gPortLogPending[p] = false;
        gPortLogHidden[p] = 0;
        gPortLog[p].port = p;
        gPortLog[p].text = QString();
    }
}

void MainWindow::changeEvent(QEvent *event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::LanguageChange || !ui) return;
    ui->retranslateUi(this);
    // Texts the form does not own follow the language too.
    for (int p = 0; p < PORT_COUNT; ++p)
        showRowTexts(p);
    if (!firmwareShown.isEmpty()) ui->label_firmware->setText(tr("upgrade file: ") + firmwareShown);
    const QString media = mediaFilesPath.get();
    if (!media.isEmpty()) ui->label_mediafile->setText(tr("Media Dir:") + media);
}
