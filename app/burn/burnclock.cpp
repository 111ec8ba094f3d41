#include "burnclock.h"

#include <QThread>
#include <QtGlobal>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace {

double factorFromEnvironment() {
    const char *text = std::getenv("PYREWICK_TIME_SCALE");
    if (!text || !*text) return 1.0;
    char *end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value) || value <= 0.0) return 1.0;
    return value;
}

// The time zone is read once, at start-up: the C library re-reads it under
// a lock of its own on every tzset(), which race detectors cannot see, while
// localtime_r() only reads it the first time.
[[maybe_unused]] const bool kTimeZoneRead = (::tzset(), true);

struct LocalNow {
    std::tm tm{};
    long millisecond = 0;
};

LocalNow localNow() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    LocalNow now;
    const time_t seconds = ts.tv_sec;
    ::localtime_r(&seconds, &now.tm);
    now.millisecond = ts.tv_nsec / 1000000;
    return now;
}

std::atomic<double> &factor() {
    static std::atomic<double> value{factorFromEnvironment()};
    return value;
}

} // namespace

namespace BurnClock {

double scale() {
    return factor().load();
}

void setScale(double value) {
    factor().store(value > 0.0 && std::isfinite(value) ? value : 1.0);
}

int scaledMs(int ms) {
    if (ms <= 0) return 0;
    const double real = std::ceil(ms * scale());
    if (real < 1.0) return 1;
    if (real > 2147483647.0) return 2147483647;
    return static_cast<int>(real);
}

void sleepMs(int ms) {
    const int real = scaledMs(ms);
    if (real > 0) QThread::msleep(static_cast<unsigned long>(real));
}

} // namespace BurnClock

namespace BurnClock {

QString timeOfDay() {
    const LocalNow now = localNow();
    return QString::asprintf("%02d:%02d:%02d", now.tm.tm_hour, now.tm.tm_min, now.tm.tm_sec);
}

int millisecondsOfMinute() {
    const LocalNow now = localNow();
    return static_cast<int>(now.millisecond) + 1000 * now.tm.tm_sec;
}

} // namespace BurnClock
