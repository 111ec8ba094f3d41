// (a) The bulk-transfer checksum against a plain pass over the same memory.
// (b) VyrUsbWriteLargeMem to a virtual device against raw 4096-byte write()s
//     to the same kind of socket. Each pair is printed as a ratio at the end.
#include "checksum.h"
#include "romdevice.h"
#include "romvane.h"

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t ChecksumBuffer = 64 * 1024;
constexpr size_t WriteTotal = 64u << 20;
constexpr size_t WriteCall = 64 * 1024;
constexpr size_t RawBlock = 4096;

std::vector<uint8_t> randomBytes(size_t n) {
    std::mt19937_64 rng(42);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = uint8_t(rng());
    return v;
}

void BM_Checksum(benchmark::State &state) {
    auto buf = randomBytes(ChecksumBuffer);
    for (auto _ : state) {
        uint16_t sum = romvane::checksum16(buf.data(), buf.size());
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(buf.size()));
}

// The floor: read every 64-bit word of the same buffer once and add it up,
// built for the same instruction sets as the checksum.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
uint64_t
sumWords(const uint8_t *p, size_t n) {
    uint64_t acc = 0;
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc += w;
    }
    return acc;
}

void BM_ReadFloor(benchmark::State &state) {
    auto buf = randomBytes(ChecksumBuffer);
    for (auto _ : state) {
        uint64_t acc = sumWords(buf.data(), buf.size());
        benchmark::DoNotOptimize(acc);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(buf.size()));
}

void BM_LargeWrite(benchmark::State &state) {
    vyrsim::RomDevice dev;
    dev.setRecordBulkData(false);
    int fd = dev.connect();
    if (fd < 0) {
        state.SkipWithError("virtual device did not connect");
        return;
    }
    auto data = randomBytes(WriteCall);
    uint32_t actual = 0;
    for (auto _ : state) {
        for (size_t off = 0; off < WriteTotal; off += WriteCall) {
            RomRequest req{VyrHandle(fd), uint32_t(WriteCall), data.data(), &actual,
                           uint32_t(0x10000000 + off)};
            if (VyrUsbWriteLargeMem(&req) != 0) {
                state.SkipWithError("large write failed");
                break;
            }
        }
        state.PauseTiming();
        dev.clearRequests();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(WriteTotal));
    ::close(fd);
}

// The floor: the same bytes in the same blocks down a stream Unix socket,
// with a thread on the other end draining it.
void BM_RawSocketWrite(benchmark::State &state) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::thread reader([fd = sv[1]] {
        std::vector<uint8_t> sink(RawBlock + 16);
        while (::read(fd, sink.data(), sink.size()) > 0) {
        }
    });
    auto data = randomBytes(WriteCall);
    bool failed = false;
    for (auto _ : state) {
        for (size_t off = 0; off < WriteTotal && !failed; off += RawBlock) {
            const uint8_t *p = data.data() + off % WriteCall;
            size_t left = RawBlock;
            while (left > 0) {
                ssize_t n = ::write(sv[0], p, left);
                if (n <= 0) {
                    failed = true;
                    break;
                }
                p += n;
                left -= size_t(n);
            }
        }
    }
    if (failed) state.SkipWithError("socket write failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(WriteTotal));
    ::shutdown(sv[0], SHUT_WR);
    reader.join();
    ::close(sv[0]);
    ::close(sv[1]);
}

// A second floor: the wire protocol answers every bulk block before the next
// may go, so a bare 16-byte header + 4096-byte request and 8-byte reply per
// block, with nothing done on either side, bounds what any transport can reach.
void BM_RequestReplyFloor(benchmark::State &state) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::thread device([fd = sv[1]] {
        std::vector<uint8_t> in(16 + RawBlock);
        uint8_t reply[8] = {};
        for (;;) {
            size_t got = 0;
            while (got < in.size()) {
                ssize_t n = ::read(fd, in.data() + got, in.size() - got);
                if (n <= 0) return;
                got += size_t(n);
            }
            if (::write(fd, reply, sizeof reply) != ssize_t(sizeof reply)) return;
        }
    });
    auto data = randomBytes(WriteCall);
    uint8_t head[16] = {};
    bool failed = false;
    for (auto _ : state) {
        for (size_t off = 0; off < WriteTotal && !failed; off += RawBlock) {
            iovec v[2] = {{head, sizeof head}, {data.data() + off % WriteCall, RawBlock}};
            msghdr m{};
            m.msg_iov = v;
            m.msg_iovlen = 2;
            uint8_t reply[8];
            if (::sendmsg(sv[0], &m, 0) != ssize_t(sizeof head + RawBlock) ||
                ::recv(sv[0], reply, sizeof reply, MSG_WAITALL) != ssize_t(sizeof reply))
                failed = true;
        }
    }
    if (failed) state.SkipWithError("request/reply failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(WriteTotal));
    ::shutdown(sv[0], SHUT_RDWR);
    device.join();
    ::close(sv[0]);
    ::close(sv[1]);
}

BENCHMARK(BM_Checksum);
BENCHMARK(BM_ReadFloor);
BENCHMARK(BM_LargeWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RawSocketWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RequestReplyFloor)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Keeps each benchmark's byte rate so the ratios can be printed after the run.
class RateReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> rate;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end() && run.run_type == Run::RT_Iteration)
                rate[run.run_name.function_name] = it->second;
        }
    }
};

void printRatio(const RateReporter &r, const char *what, const std::string &subject,
                const std::string &floor, double target) {
    auto s = r.rate.find(subject), f = r.rate.find(floor);
    if (s == r.rate.end() || f == r.rate.end() || f->second <= 0) return;
    std::printf("%-28s %8.1f MB/s vs floor %8.1f MB/s: ratio %.2f (target >= %.2f)\n", what,
                s->second / 1e6, f->second / 1e6, s->second / f->second, target);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    printRatio(reporter, "checksum / read floor", "BM_Checksum", "BM_ReadFloor", 0.5);
    printRatio(reporter, "large write / raw socket", "BM_LargeWrite", "BM_RawSocketWrite", 0.8);
    printRatio(reporter, "large write / request-reply", "BM_LargeWrite", "BM_RequestReplyFloor",
               0.8);
    benchmark::Shutdown();
    return 0;
}
