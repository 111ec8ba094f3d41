#include "weeksamples.h"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

double weekPercentile(std::vector<double> values, double p) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    const size_t i = std::min(values.size() - 1, size_t(p * double(values.size())));
    return values[i];
}

namespace {

const WeekSample *baseline(const std::vector<WeekSample> &samples, int burns) {
    for (const WeekSample &s : samples)
        if (s.burns >= burns) return &s;
    return nullptr;
}

} // namespace

QStringList WeekSamples::broken() const {
    QStringList out;
    const WeekSample *base = baseline(mSamples, mBaseline);
    if (!base) return out;
    for (const WeekSample &s : mSamples) {
        if (s.burns < base->burns) continue;
        const QString at = QStringLiteral("at %1 burns: ").arg(s.burns);
        if (s.rssMiB - base->rssMiB > 4.0)
            out << at + QStringLiteral("resident memory grew by %1 MiB since %2 burns (limit 4)")
                            .arg(s.rssMiB - base->rssMiB, 0, 'f', 1)
                            .arg(base->burns);
        if (mMemoryOnly) continue;
        if (s.fds > base->fds)
            out << at + QStringLiteral("open descriptors grew from %1 to %2")
                            .arg(base->fds)
                            .arg(s.fds);
        if (s.threads > base->threads)
            out << at + QStringLiteral("threads grew from %1 to %2")
                            .arg(base->threads)
                            .arg(s.threads);
        if (s.refreshP99 > 50.0)
            out << at + QStringLiteral("the refresh's 99th percentile is %1 ms (limit 50)")
                            .arg(s.refreshP99, 0, 'f', 1);
    }
    return out;
}

QString WeekSamples::table() const {
    QString out = QStringLiteral(
        "  burns   rss MiB   fds  threads  panel lines  refresh p50 ms  p99 ms  store MiB\n");
    auto num = [](double v, int width, int prec) {
        return v < 0 ? QStringLiteral("-").rightJustified(width)
                     : QString::number(v, 'f', prec).rightJustified(width);
    };
    for (const WeekSample &s : mSamples)
        out += QStringLiteral("%1  %2  %3  %4  %5  %6  %7  %8\n")
                   .arg(s.burns, 7)
                   .arg(num(s.rssMiB, 8, 1))
                   .arg(s.fds, 4)
                   .arg(s.threads, 7)
                   .arg(s.panelLines < 0 ? QStringLiteral("-").rightJustified(11)
                                         : QString::number(s.panelLines).rightJustified(11))
                   .arg(num(s.refreshP50, 14, 2))
                   .arg(num(s.refreshP99, 6, 2))
                   .arg(num(s.storeMiB, 9, 2));
    const WeekSample *base = baseline(mSamples, mBaseline);
    if (!base) {
        out += QStringLiteral("no sample reached %1 burns: the rules were not judged\n")
                   .arg(mBaseline);
    } else if (mSamples.back().burns > base->burns) {
        const WeekSample &last = mSamples.back();
        const double per = 1000.0 / double(last.burns - base->burns);
        out += QStringLiteral("growth per 1000 burns after %1: resident memory %2 MiB, "
                              "descriptors %3, threads %4, store %5 MiB\n")
                   .arg(base->burns)
                   .arg((last.rssMiB - base->rssMiB) * per, 0, 'f', 2)
                   .arg((last.fds - base->fds) * per, 0, 'f', 1)
                   .arg((last.threads - base->threads) * per, 0, 'f', 1)
                   .arg((last.storeMiB - base->storeMiB) * per, 0, 'f', 2);
    }
    return out;
}

bool WeekSamples::plot(const QString &path, const QString &title) const {
    const int w = 960, h = 540, left = 70, right = 70, top = 50, bottom = 50;
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.drawText(QRect(0, 8, w, 24), Qt::AlignCenter, title);
    const QRect area(left, top, w - left - right, h - top - bottom);
    p.setPen(Qt::black);
    p.drawRect(area);
    if (mSamples.empty()) return image.save(path, "PNG");

    const int maxBurns = std::max(1, mSamples.back().burns);
    double maxRss = 1, maxRefresh = 0;
    for (const WeekSample &s : mSamples) {
        maxRss = std::max(maxRss, s.rssMiB);
        maxRefresh = std::max(maxRefresh, s.refreshP99);
    }
    maxRss *= 1.15;
    const double refreshScale = std::max(60.0, maxRefresh * 1.15); // the 50 ms limit shows
    auto x = [&](int burns) { return area.left() + area.width() * double(burns) / maxBurns; };
    auto yRss = [&](double v) { return area.bottom() - area.height() * v / maxRss; };
    auto yRefresh = [&](double v) { return area.bottom() - area.height() * v / refreshScale; };

    // Axes: burns below, memory on the left, refresh on the right.
    for (int i = 0; i <= 4; ++i) {
        const int burns = maxBurns * i / 4;
        p.drawText(QRectF(x(burns) - 40, area.bottom() + 4, 80, 18), Qt::AlignCenter,
                   QString::number(burns));
        const double mem = maxRss * i / 4, ms = refreshScale * i / 4;
        p.drawText(QRectF(0, yRss(mem) - 9, left - 6, 18), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(mem, 'f', 0));
        p.drawText(QRectF(area.right() + 6, yRefresh(ms) - 9, right - 6, 18),
                   Qt::AlignLeft | Qt::AlignVCenter, QString::number(ms, 'f', 0));
    }
    p.drawText(QRect(0, h - 22, w, 20), Qt::AlignCenter, QStringLiteral("burns"));
    p.setPen(QColor(200, 60, 60));
    p.drawLine(QPointF(area.left(), yRefresh(50)), QPointF(area.right(), yRefresh(50)));

    QPainterPath rss, refresh;
    bool anyRefresh = false;
    for (const WeekSample &s : mSamples) {
        const QPointF a(x(s.burns), yRss(s.rssMiB));
        // (A path holding only its first point still counts as empty.)
        &s == &mSamples.front() ? rss.moveTo(a) : rss.lineTo(a);
        if (s.refreshP99 >= 0) {
            const QPointF b(x(s.burns), yRefresh(s.refreshP99));
            anyRefresh ? refresh.lineTo(b) : refresh.moveTo(b);
            anyRefresh = true;
        }
    }
    p.setPen(QPen(QColor(30, 90, 200), 2));
    p.drawPath(rss);
    p.drawText(QRect(left + 8, top + 6, 400, 18), Qt::AlignLeft,
               QStringLiteral("resident memory, MiB (left)"));
    if (anyRefresh) {
        p.setPen(QPen(QColor(20, 150, 60), 2));
        p.drawPath(refresh);
        p.drawText(QRect(left + 8, top + 24, 400, 18), Qt::AlignLeft,
                   QStringLiteral("refresh 99th percentile, ms (right; red: 50 ms)"));
    }
    p.end();
    return image.save(path, "PNG");
}
