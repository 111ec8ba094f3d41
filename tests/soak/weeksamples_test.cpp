// The week soak's rules: growth is judged only past the warm-up, and each
// kind of growth (memory beyond 4 MiB, any descriptor or thread, a slow
// refresh) is named.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QGuiApplication>
#include <QImage>

#include "weeksamples.h"

namespace {

WeekSample at(int burns, double rss, int fds = 20, int threads = 12, double p99 = 8) {
    WeekSample s;
    s.burns = burns;
    s.rssMiB = rss;
    s.fds = fds;
    s.threads = threads;
    s.refreshP99 = p99;
    s.refreshP50 = p99 / 2;
    s.panelLines = 100;
    return s;
}

} // namespace

TEST(WeekSamples, GrowthPastTheWarmUpBreaksTheRules) {
    WeekSamples steady(1000);
    // Memory climbing during the warm-up is not judged.
    for (auto s : {at(0, 40), at(500, 70), at(1000, 90), at(1500, 92), at(2000, 93.9)})
        steady.add(s);
    EXPECT_TRUE(steady.broken().isEmpty()) << steady.broken().join('\n').toStdString();
    EXPECT_TRUE(steady.table().contains("growth per 1000 burns after 1000: resident memory 3.90"))
        << steady.table().toStdString();

    WeekSamples leaking(1000);
    for (auto s : {at(0, 40), at(1000, 90), at(1500, 93), at(2000, 94.5, 21, 13, 51)})
        leaking.add(s);
    const QStringList broken = leaking.broken();
    ASSERT_EQ(broken.size(), 4) << broken.join('\n').toStdString();
    EXPECT_TRUE(broken[0].contains("resident memory grew by 4.5 MiB"));
    EXPECT_TRUE(broken[1].contains("descriptors grew from 20 to 21"));
    EXPECT_TRUE(broken[2].contains("threads grew from 12 to 13"));
    EXPECT_TRUE(broken[3].contains("99th percentile is 51.0 ms"));

    WeekSamples memoryOnly(1000);
    for (auto s : {at(0, 40), at(1000, 90), at(2000, 93, 25, 20, 80)})
        memoryOnly.add(s);
    memoryOnly.judgeMemoryOnly();
    EXPECT_TRUE(memoryOnly.broken().isEmpty());
    memoryOnly.add(at(2500, 94.1));
    EXPECT_EQ(memoryOnly.broken().size(), 1);

    WeekSamples short_(1000);
    short_.add(at(0, 40));
    short_.add(at(500, 400));
    EXPECT_TRUE(short_.broken().isEmpty());
    EXPECT_TRUE(short_.table().contains("not judged"));

    // The plot's texts need the fonts of a GUI application.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "soak_tests";
    char *argv[] = {name, nullptr};
    QGuiApplication app(argc, argv);
    QTemporaryDir dir;
    ASSERT_TRUE(leaking.plot(dir.filePath("p.png"), "test"));
    const QImage image(dir.filePath("p.png"));
    EXPECT_EQ(image.size(), QSize(960, 540));
    // Both lines are drawn: the memory line's blue and the refresh line's green.
    bool blue = false, green = false;
    for (int y = 100; y < 480; ++y) // below the legend
        for (int x = 80; x < 880; ++x) {
            const QColor c = image.pixelColor(x, y);
            blue = blue || (c.blue() > 150 && c.red() < 90 && c.green() < 130);
            green = green || (c.green() > 120 && c.red() < 60 && c.blue() < 100);
        }
    EXPECT_TRUE(blue);
    EXPECT_TRUE(green);
}
