// BurnPlan::checkSum of a 256 MiB image in the page cache against the floor of
// reading the same file with a plain read() loop into a buffer of the same
// size. The ratio of the two rates is printed at the end.
#include "burnplan.h"

#include <benchmark/benchmark.h>

#include <QLoggingCategory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr off_t FileSize = off_t(256) << 20;
constexpr size_t Block = 256 * 1024; // the block size checkSum reads with
const char *const FilePath = "/tmp/pyrewick-bench-checksum-256m.bin";

// Creates the image once (reused by later runs) and pulls it into the cache.
bool prepareFile() {
    struct stat st {};
    if (::stat(FilePath, &st) != 0 || st.st_size != FileSize) {
        const std::string tmp = std::string(FilePath) + ".part";
        FILE *f = std::fopen(tmp.c_str(), "wb");
        if (!f) return false;
        std::mt19937 rng(7);
        std::vector<uint32_t> block(Block / 4);
        for (off_t done = 0; done < FileSize; done += off_t(Block)) {
            for (uint32_t &w : block)
                w = rng();
            if (std::fwrite(block.data(), 1, Block, f) != Block) {
                std::fclose(f);
                return false;
            }
        }
        if (std::fclose(f) != 0 || std::rename(tmp.c_str(), FilePath) != 0) return false;
    }
    std::vector<char> buf(Block);
    const int fd = ::open(FilePath, O_RDONLY);
    if (fd < 0) return false;
    while (::read(fd, buf.data(), buf.size()) > 0) {
    }
    ::close(fd);
    return true;
}

void BM_CheckSum(benchmark::State &state) {
    const QString path = QString::fromLatin1(FilePath);
    for (auto _ : state) {
        quint32 sum = BurnPlan::checkSum(path);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FileSize));
}

void BM_ReadFloor(benchmark::State &state) {
    std::vector<char> buf(Block);
    for (auto _ : state) {
        const int fd = ::open(FilePath, O_RDONLY);
        if (fd < 0) {
            state.SkipWithError("cannot open the image");
            return;
        }
        ssize_t n;
        while ((n = ::read(fd, buf.data(), buf.size())) > 0)
            benchmark::DoNotOptimize(buf.data());
        ::close(fd);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FileSize));
}

// The machine is shared: five repetitions each, compared by their medians.
BENCHMARK(BM_CheckSum)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_ReadFloor)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Keeps the median wall-clock and CPU time per pass of each benchmark. On a
// busy machine the wall clock includes time spent waiting for a core, so the
// CPU-time ratio is printed next to it.
class RateReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, std::pair<double, double>> median; // real, cpu
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                median[run.run_name.function_name] = {run.GetAdjustedRealTime(),
                                                      run.GetAdjustedCPUTime()};
        }
    }
};

} // namespace

int main(int argc, char **argv) {
    // One debug line per sum would land in the timing output.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    benchmark::Initialize(&argc, argv);
    if (!prepareFile()) {
        std::fprintf(stderr, "cannot create %s\n", FilePath);
        return 1;
    }
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto s = reporter.median.find("BM_CheckSum");
    const auto f = reporter.median.find("BM_ReadFloor");
    if (s != reporter.median.end() && f != reporter.median.end() && s->second.first > 0 &&
        s->second.second > 0) {
        const double mb = double(FileSize) / 1e6;
        std::printf("\ncheckSum %.0f MB/s, read() floor %.0f MB/s (median wall clock)\n"
                    "checkSum / read() floor: ratio %.2f wall clock, %.2f CPU time "
                    "(target >= 0.70)\n",
                    mb / (s->second.first / 1e3), mb / (f->second.first / 1e3),
                    f->second.first / s->second.first, f->second.second / s->second.second);
    }
    benchmark::Shutdown();
    return 0;
}
