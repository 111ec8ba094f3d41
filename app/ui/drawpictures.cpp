// Build-time tool: draws the two pictures of the window's busy indicator into
// the directory given as the only argument: ok.png (idle: a white tick on a
// green disc) and no.png (busy: a white hourglass on an orange-red disc).
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <cstdio>

namespace {

const int kSize = 64;

QImage disc(const QColor &fill) {
    QImage img(kSize, kSize, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(fill.darker(140), 3));
    p.setBrush(fill);
    p.drawEllipse(QRectF(3, 3, kSize - 6, kSize - 6));
    return img;
}

QImage okPicture() {
    QImage img = disc(QColor(0, 170, 0));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::white, 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath tick;
    tick.moveTo(17, 33);
    tick.lineTo(28, 44);
    tick.lineTo(47, 21);
    p.drawPath(tick);
    return img;
}

QImage busyPicture() {
    QImage img = disc(QColor(215, 60, 20));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::white);
    p.drawLine(QPointF(20, 15), QPointF(44, 15));
    p.drawLine(QPointF(20, 49), QPointF(44, 49));
    QPolygonF glass;
    glass << QPointF(22, 17) << QPointF(42, 17) << QPointF(32, 32) << QPointF(42, 47)
          << QPointF(22, 47) << QPointF(32, 32);
    p.setBrush(Qt::NoBrush);
    p.drawPolygon(glass);
    p.setBrush(Qt::white);
    p.drawPolygon(QPolygonF() << QPointF(25, 46) << QPointF(39, 46) << QPointF(32, 37));
    return img;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const bool ok = okPicture().save(dir + QStringLiteral("/ok.png"), "PNG") &&
                    busyPicture().save(dir + QStringLiteral("/no.png"), "PNG");
    if (!ok) std::fprintf(stderr, "cannot write the pictures into %s\n", argv[1]);
    return ok ? 0 : 1;
}
