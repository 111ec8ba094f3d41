#include "burnclock.h"

#include <QThread>
#include <QtGlobal>
#include <atomic>
#include <cmath>
#include <cstdlib>

namespace {

double factorFromEnvironment() {
    const char *text = std::getenv("PYREWICK_TIME_SCALE");
    if (!text || !*text) return 1.0;
    char *end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value) || value <= 0.0) return 1.0;
    return value;
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
