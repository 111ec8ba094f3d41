// What a long soak samples every N burns (resident memory, open descriptors,
// threads, the log panel's lines, the refresh's duration, the records
// store's size), the rules a long run must keep, the table and the plot.
#ifndef WEEKSAMPLES_H
#define WEEKSAMPLES_H

#include <QString>
#include <QStringList>
#include <vector>

struct WeekSample {
    int burns = 0;
    double rssMiB = 0;
    int fds = 0;
    int threads = 0;
    int panelLines = -1;    // -1: not known (pyrewick-cli)
    double refreshP50 = -1; // ms over the refreshes since the sample before; -1: not known
    double refreshP99 = -1;
    double storeMiB = 0;
};

class WeekSamples {
  public:
    // `baselineBurns`: the rules compare against the first sample at or past
    // this many burns (the warm-up before it is not judged).
    explicit WeekSamples(int baselineBurns) : mBaseline(baselineBurns) {}
    // Only the resident-memory rule (a short run, whose descriptor and
    // thread counts swing with the devices open at the moment of a sample
    // and whose refresh times are those of a shared machine).
    void judgeMemoryOnly() { mMemoryOnly = true; }

    void add(const WeekSample &s) { mSamples.push_back(s); }
    const std::vector<WeekSample> &samples() const { return mSamples; }

    // The rules a run must keep, each broken one a line: past the baseline,
    // resident memory grows by at most 4 MiB, descriptors and threads not at
    // all, and the refresh's 99th percentile stays at most 50 ms. Empty when
    // all hold (also when no sample reached the baseline: said by table()).
    QStringList broken() const;

    // The samples as a text table, with the growth per 1000 burns past the
    // baseline.
    QString table() const;

    // A PNG of resident memory and the refresh's 99th percentile over the
    // burns. False when it cannot be written.
    bool plot(const QString &path, const QString &title) const;

  private:
    int mBaseline;
    bool mMemoryOnly = false;
    std::vector<WeekSample> mSamples;
};

// The 50th or 99th percentile (p in 0..1) of the values; -1 for none.
double weekPercentile(std::vector<double> values, double p);

#endif
