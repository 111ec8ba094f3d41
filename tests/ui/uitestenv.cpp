#include "uitestenv.h"

#include "burnclock.h"
#include "burnstate.h"
#include "uiprompts.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

void UiStation::SetUp() {
    ASSERT_TRUE(mDir.isValid());
    mOldCwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(mDir.path()));
    QDir(mDir.path()).mkpath(QStringLiteral("root/sys/bus/usb/devices"));
    qputenv("PYREWICK_SYSROOT", (mDir.path() + QStringLiteral("/root")).toLocal8Bit());
    BurnClock::setScale(0.01);
    resetBurnState();

    UiPrompts &p = uiPrompts();
    auto box = [this](QWidget *, const QString &title, const QString &text) {
        boxes << title + QLatin1Char('|') + text;
    };
    p.information = box;
    p.warning = box;
    auto answer = [this]() { return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst(); };
    p.openFileName = [answer](QWidget *, const QString &, const QString &, const QString &) {
        return answer();
    };
    p.saveFileName = [answer](QWidget *, const QString &, const QString &) { return answer(); };
    p.existingDirectory = [answer](QWidget *, const QString &) { return answer(); };
}

void UiStation::TearDown() {
    uiPrompts() = defaultUiPrompts();
    resetBurnState();
    BurnClock::setScale(0);
    qunsetenv("PYREWICK_SYSROOT");
    QDir::setCurrent(mOldCwd);
}

void UiStation::writeFile(const QString &relative, const QByteArray &content) {
    const QString path = mDir.path() + QLatin1Char('/') + relative;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
}

QByteArray UiStation::plan(int commands) {
    QByteArray xml = "<?xml version=\"1.0\"?>\n<progress>\n";
    for (int i = 0; i < commands; ++i)
        xml += "  <command sn=\"" + QByteArray::number(i) + "\">step" + QByteArray::number(i) +
               "</command>\n";
    return xml + "</progress>\n";
}

bool UiStation::waitUntil(const std::function<bool()> &pred, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

void WindowStation::open() {
    w = std::make_unique<MainWindow>();
    ASSERT_TRUE(waitUntil([] { return !gDeviceChanged; }));
    // The scan clears the flag as it begins: its lock is free once it has
    // written the (empty) device list, which the tests then set themselves.
    WriteLocker scanEnded(&gScanLock);
}

void WindowStation::TearDown() {
    w.reset();
    UiStation::TearDown();
}
