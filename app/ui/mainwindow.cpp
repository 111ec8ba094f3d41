#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "appinfo.h"
#include "burnplan.h"
#include "burnstate.h"
#include "devicechangesource.h"
#include "logfiles.h"
#include "portcofigxml.h"
#include "portrefresh.h"
#include "probedevthread.h"
#include "settings.h"
#include "singleinstance.h"
#include "tracemoor.h"
#include "uiprompts.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QEvent>
#include <QFileSystemWatcher>
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
    // The USB debug log of this run.
    QDir().mkdir(QString::fromLatin1(LogFiles::kLogDir));
    vyr_open_logfile(LogFiles::usbLogPath(QDateTime::currentDateTime()).toLatin1().constData(), 1);

    ui->setupUi(this);
    probeBtns = {ui->pushButton_1, ui->pushButton_2, ui->pushButton_3, ui->pushButton_4,
                 ui->pushButton_5, ui->pushButton_6, ui->pushButton_7, ui->pushButton_8};

    setUpTable();
    ui->tableWidget->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui->tableWidget->setSelectionMode(QAbstractItemView::SingleSelection);
    ui->tableWidget->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui->label_wait->setPixmap(QPixmap(QStringLiteral("ok.png")));

    PortCofigXml::warningHook = [](const QString &title, const QString &text) {
        uiPrompts().warning(nullptr, tr(title.toUtf8().constData()), tr(text.toUtf8().constData()));
    };
    portConfig = std::make_unique<PortCofigXml>();
    setBurnPlan(std::make_shared<BurnPlan>(QString()));
    progressFileName = QString::fromLatin1(BurnPlan::DEFAULT_PATH);

    configWatcher = new QFileSystemWatcher(this);
    if (auto plan = burnPlan(); plan && !plan->getResourcePath().isEmpty())
        configWatcher->addPath(plan->getResourcePath());

    gAppRunning = true;
    probeThread = std::make_unique<ProbeDevThread>();
    probeThread->start();

    autosaveCount = 0;
    gBurning = false;
    waitCount = 0;
    refresh = std::make_unique<PortRefresh>(
        [this](int port, const QString &path) { portConfig->setPortPath(port, path); });

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
    connect(configWatcher, &QFileSystemWatcher::directoryChanged, this,
            &MainWindow::reParseConfigFile);
    connect(ui->pushButton_save, &QPushButton::clicked, this,
            static_cast<void (MainWindow::*)()>(&MainWindow::saveLog));
    connect(ui->pushButton_clear, &QPushButton::clicked, this, &MainWindow::clearLog);
    connect(probeThread.get(), &ProbeDevThread::newDevice, this, &MainWindow::showWait);

    if (!Settings::eraseEnabled()) ui->checkBox_erase->setEnabled(false);
    gEraseCommand = Settings::eraseCommand();
    ui->checkBox_mac->setEnabled(false);
    ui->checkBox_bt->setEnabled(false);
    ui->checkBox_wifi->setEnabled(false);
    ui->checkBox_HDCP->setEnabled(false);
    ui->checkBox_userinfo->setEnabled(false);

    refreshTimer = new QTimer(this);
    connect(refreshTimer, &QTimer::timeout, this, &MainWindow::updateDevUi);
    refreshTimer->start(500);

    setFixedSize(width(), height());

    // Every start begins without port matches.
    resetPortMatchInfo();

    QFont mediaFont(QStringLiteral(" "), 12);
    mediaFont.setBold(true);
    ui->label_mediafile->setFont(mediaFont);

    if (!translator.load(QStringLiteral("pyrewick_zh.qm"), QStringLiteral(".")))
        qDebug() << "no translation pyrewick_zh.qm in the working directory";
    gUpgradeDir = QStringLiteral("tmp/");
    changeLanuage();

    // Device-tree changes (udev, or the system root's USB directory) make the
    // watch thread scan; scan once right away.
    deviceChanges = new DeviceChangeSource(this);
    gDeviceChanged = true;

    gPcVersion = DeviceChangeSource::pcVersion();
    ui->tedit_logshow->append(QStringLiteral("current pc version is: ") + gPcVersion.get());

    runDemoSwitches();
}

MainWindow::~MainWindow() {
    saveLog(LogFiles::savedLogName(LogFiles::SaveKind::Exit, upgradeFilePath,
                                   QDateTime::currentDateTime()));
    vyr_close_logfile();
    qDebug() << "MainWindow::~MainWindow";

    refreshTimer->stop();
    gAppRunning = false;
    // Each thread is waited for before it is deleted: a thread still inside a
    // long USB operation is never freed under its feet.
    probeThread->join();
    probeThread.reset();
    refresh.reset();
    portConfig.reset();
    setBurnPlan(nullptr);

    delete ui;
    ui = nullptr;
    SingleInstance::release();
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

// Demo switches (scripts/demo), read once at start:
//   PYREWICK_DEMO_PACKAGE=<zip>    imports that upgrade package
//   PYREWICK_DEMO_MEDIA=<dir>      imports that media directory
//   PYREWICK_DEMO_AUTOSTART=1      presses Start once the window is up
//   PYREWICK_DEMO_SCREENSHOT=<png> saves a picture of the window when
//                                  PYREWICK_DEMO_ROWS rows (default 8) show a
//                                  result, then quits; after
//                                  PYREWICK_DEMO_TIMEOUT seconds (default 600)
//                                  it saves it anyway and quits with code 3
void MainWindow::runDemoSwitches() {
    const QString package = qEnvironmentVariable("PYREWICK_DEMO_PACKAGE");
    const QString media = qEnvironmentVariable("PYREWICK_DEMO_MEDIA");
    if (!package.isEmpty() || !media.isEmpty()) {
        const UiPrompts saved = uiPrompts();
        if (!package.isEmpty()) {
            uiPrompts().openFileName = [package](QWidget *, const QString &, const QString &,
                                                 const QString &) { return package; };
            importUpgradeFile();
        }
        if (!media.isEmpty()) {
            uiPrompts().existingDirectory = [media](QWidget *, const QString &) { return media; };
            importMediaFiles();
        }
        uiPrompts() = saved;
    }
    if (qEnvironmentVariableIntValue("PYREWICK_DEMO_AUTOSTART") == 1)
        QTimer::singleShot(0, this, &MainWindow::startClicked);
    if (!qEnvironmentVariableIsEmpty("PYREWICK_DEMO_SCREENSHOT")) {
        bool ok = false;
        int seconds = qEnvironmentVariableIntValue("PYREWICK_DEMO_TIMEOUT", &ok);
        if (!ok || seconds <= 0) seconds = 600;
        QTimer::singleShot(seconds * 1000, this, [this] { takeDemoScreenshot(3); });
    }
}

void MainWindow::checkDemoScreenshot() {
    if (demoScreenshotTaken || qEnvironmentVariableIsEmpty("PYREWICK_DEMO_SCREENSHOT")) return;
    bool ok = false;
    int wanted = qEnvironmentVariableIntValue("PYREWICK_DEMO_ROWS", &ok);
    if (!ok || wanted < 1 || wanted > PORT_COUNT) wanted = PORT_COUNT;
    // The burn threads move on while a refresh paints, so a result counted now
    // may be missing from what this refresh drew (the statistics line is made
    // before the rows are looked at). The picture is taken one refresh after
    // every result is both on the rows and in the statistics.
    int results = 0;
    for (const PortInfo &port : gPortInfo) {
        const int status = port.status, last = port.lastResult;
        if (status == PORT_STATUS_SUCCESS || status == PORT_STATUS_FAILED ||
            (status == PORT_STATUS_NONE &&
             (last == PORT_STATUS_SUCCESS || last == PORT_STATUS_FAILED)))
            ++results; // a row shows a result also after its device has gone
    }
    const bool done = results >= wanted && gSuccessCount + gFailCount >= wanted;
    if (done && demoResultsPainted) takeDemoScreenshot(0);
    demoResultsPainted = done;
}

void MainWindow::takeDemoScreenshot(int exitCode) {
    if (demoScreenshotTaken) return;
    demoScreenshotTaken = true;
    grab().save(qEnvironmentVariable("PYREWICK_DEMO_SCREENSHOT"));
    QTimer::singleShot(0, qApp, [exitCode] { QCoreApplication::exit(exitCode); });
}
