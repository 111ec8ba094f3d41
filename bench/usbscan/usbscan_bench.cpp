// One scan of a machine with 4 controllers, 8 external hubs and 40 devices,
// against the floor of reading, once each with plain open/read, every
// attribute file such a scan has to look at.
#include "hubsift.h"
#include "usbtreebuilder.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Machine {
    UsbTreeBuilder tree;
    std::vector<std::string> attributes; // what a scan reads, each once
};

// Each controller has two hubs on ports 1 and 2 (ports 3 and 4 empty); each
// hub carries five devices on its seven ports: one ROM-mode device, a
// keyboard, a device without a product text, a webcam and a USB stick.
std::unique_ptr<Machine> buildMachine() {
    auto m = std::make_unique<Machine>();
    std::string text;
    auto attrs = [&](const std::string &dir, std::initializer_list<const char *> files) {
        for (const char *f : files)
            m->attributes.push_back(dir + "/" + f);
    };
    const std::string base = m->tree.root() + "/sys/bus/usb/devices";
    int disk = 0;
    for (int bus = 1; bus <= 4; ++bus) {
        const std::string b = std::to_string(bus);
        text += "root " + b + " ports=4\n";
        attrs(base + "/usb" + b, {"product", "maxchild"});
        for (int hubPort = 1; hubPort <= 2; ++hubPort) {
            const std::string hub = b + "-" + std::to_string(hubPort);
            text += "hub " + hub + " ports=7\n";
            const std::string hubDir = base + "/usb" + b + "/" + hub;
            attrs(hubDir, {"bDeviceClass", "idVendor", "busnum", "devnum", "maxchild"});
            m->attributes.push_back(hubDir + "/" + hub + ":1.0/bInterfaceClass");
            for (int port = 1; port <= 5; ++port) {
                const std::string dev = hub + "." + std::to_string(port);
                const std::string dir = hubDir + "/" + dev;
                switch (port) {
                case 1:
                    text += "dev " + dev + "\n";
                    attrs(dir, {"bDeviceClass", "idVendor", "idProduct", "busnum", "devnum"});
                    break;
                case 2:
                case 4:
                    text += "dev " + dev + " vid=046d pid=c31c product=\"USB Keyboard\"\n";
                    attrs(dir, {"bDeviceClass", "idVendor", "product", "busnum", "devnum"});
                    break;
                case 3: // no product file: the scan's attempt reads nothing
                    text += "dev " + dev + " vid=0bda pid=0129\n";
                    attrs(dir, {"bDeviceClass", "idVendor", "busnum", "devnum"});
                    break;
                case 5:
                    text += "dev " + dev + " vid=0781 pid=5581 product=Stick disk=sd" +
                            std::string(1, char('b' + disk++)) + "\n";
                    attrs(dir, {"bDeviceClass", "idVendor", "busnum", "devnum"});
                    m->attributes.push_back(dir + "/" + dev + ":1.0/bInterfaceClass");
                    break;
                }
            }
        }
    }
    m->tree.apply(text);
    return m;
}

Machine &machine() {
    static std::unique_ptr<Machine> m = buildMachine();
    return *m;
}

void BM_AttributeFloor(benchmark::State &state) {
    Machine &m = machine();
    char buf[4096];
    for (auto _ : state) {
        size_t total = 0;
        for (const auto &file : m.attributes) {
            int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                state.SkipWithError(("missing " + file).c_str());
                return;
            }
            ssize_t n = ::read(fd, buf, sizeof buf);
            ::close(fd);
            total += n > 0 ? size_t(n) : 0;
        }
        benchmark::DoNotOptimize(total);
    }
    state.counters["files"] = double(m.attributes.size());
}
BENCHMARK(BM_AttributeFloor)->Unit(benchmark::kMicrosecond);

void BM_ScanUsb(benchmark::State &state) {
    machine();
    std::vector<std::vector<char>> bufs(8, std::vector<char>(256));
    char *slots[8];
    for (int k = 0; k < 8; ++k)
        slots[k] = bufs[k].data();
    for (auto _ : state) {
        int n = VyrScanUsbX3Devices("Skelmar Device", slots);
        if (n != 8) {
            state.SkipWithError("scan did not find the eight ROM-mode devices");
            return;
        }
    }
}
BENCHMARK(BM_ScanUsb)->Unit(benchmark::kMicrosecond);

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> microseconds;
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                microseconds[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto floor = reporter.microseconds.find("BM_AttributeFloor");
    auto scan = reporter.microseconds.find("BM_ScanUsb");
    if (floor != reporter.microseconds.end() && scan != reporter.microseconds.end() &&
        floor->second > 0)
        std::printf("scan: %.1f us, attribute floor: %.1f us, ratio %.2fx (target within 3x)\n",
                    scan->second, floor->second, scan->second / floor->second);
    benchmark::Shutdown();
    return 0;
}
