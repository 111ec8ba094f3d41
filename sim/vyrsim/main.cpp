// vyrsim: builds a system root in a directory and plays a scenario in it
// (devices plugged, booted, re-enumerated, unplugged over time) until it is
// told to stop. Point PYREWICK_SYSROOT at the directory to burn its devices.
// With --usbredir it serves the scenario's devices to qemu usb-redir ports
// instead, for a real kernel to enumerate.
#include "line.h"
#include "redirline.h"
#include "scenario.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> gStop{false};

void onSignal(int) {
    gStop = true;
}

int usage() {
    std::fprintf(
        stderr,
        "usage: vyrsim --root DIR (--scenario FILE | --eight) [--time-scale F] [--once]\n"
        "       vyrsim --usbredir DIR (--scenario FILE | --eight) [--time-scale F] [--once]\n"
        "              [--update-file FILE] [--check-ram HEXADDR=FILE]...\n"
        "  --scenario FILE  the line and its devices (see sim/README.md)\n"
        "  --eight          one 8-port hub with eight devices, no file needed\n"
        "  --time-scale F   multiply every time by F (default: PYREWICK_TIME_SCALE or 1)\n"
        "  --once           exit when every device has left\n"
        "  --usbredir DIR   devices on qemu usb-redir sockets DIR/<port>.sock\n"
        "  --update-file F  the recovery's update file must equal F\n"
        "  --check-ram A=F  at the end, report whether each device's RAM at A holds F\n");
    return 2;
}

bool parseScale(const char *text, double &out) {
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (!text[0] || *end || !(v > 0) || v > 1000) return false;
    out = v;
    return true;
}

// The line rebuilds sys, dev, proc and media under its root: only in a new or
// empty directory, or in one an earlier run made.
bool usableRoot(const std::string &root, std::string &why) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::weakly_canonical(root, ec) == "/" || ec) {
        why = "the root cannot be /";
        return false;
    }
    if (!fs::exists(root, ec)) return true;
    if (!fs::is_directory(root, ec)) {
        why = root + " is not a directory";
        return false;
    }
    if (fs::is_empty(root, ec) || fs::exists(root + "/" + vyrsim::Line::MarkerFile, ec))
        return true;
    why = root + " is neither empty nor a line root made by vyrsim";
    return false;
}

// Scheduled plug or unplug of a scenario device.
struct Step {
    int atMs;
    bool plug;
    size_t device;
};

// The scenario's devices on usb-redir sockets until told to stop (or, with
// once, until every device has left); then one report line per device.
int runRedirLine(const vyrsim::RedirLineOptions &opts, const vyrsim::Scenario &scenario, bool once,
                 const std::function<void(const std::string &)> &print) {
    vyrsim::RedirLine line(opts, print);
    std::string error;
    if (!line.start(scenario, &error)) {
        std::fprintf(stderr, "vyrsim: %s\n", error.c_str());
        return 1;
    }
    print("listening " + opts.dir);
    while (!gStop && !(once && line.allGone()))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    line.stop();
    for (const auto &l : line.report())
        print("report " + l);
    print("stopped");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::string root, scenarioFile, redirDir;
    vyrsim::RedirLineOptions redir;
    bool eight = false, once = false;
    double scale = 1.0;
    if (const char *env = std::getenv("PYREWICK_TIME_SCALE"); env && *env) {
        if (!parseScale(env, scale)) {
            std::fprintf(stderr, "vyrsim: bad PYREWICK_TIME_SCALE '%s'\n", env);
            return 2;
        }
    }
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--root") {
            const char *v = value();
            if (!v) return usage();
            root = v;
        } else if (a == "--scenario") {
            const char *v = value();
            if (!v) return usage();
            scenarioFile = v;
        } else if (a == "--time-scale") {
            const char *v = value();
            if (!v || !parseScale(v, scale)) {
                std::fprintf(stderr, "vyrsim: --time-scale needs a number above 0\n");
                return 2;
            }
        } else if (a == "--eight") {
            eight = true;
        } else if (a == "--once") {
            once = true;
        } else if (a == "--usbredir") {
            const char *v = value();
            if (!v) return usage();
            redirDir = v;
        } else if (a == "--update-file") {
            const char *v = value();
            if (!v) return usage();
            redir.expectedUpdate = v;
        } else if (a == "--check-ram") {
            const char *v = value();
            vyrsim::RamCheck check;
            if (!v || !vyrsim::parseRamCheck(v, check)) return usage();
            redir.ramChecks.push_back(check);
        } else {
            return usage();
        }
    }
    if (root.empty() == redirDir.empty() || eight == !scenarioFile.empty()) return usage();
    std::string why;
    if (redirDir.empty() && !usableRoot(root, why)) {
        std::fprintf(stderr, "vyrsim: %s\n", why.c_str());
        return 2;
    }

    vyrsim::Scenario scenario;
    if (eight) {
        scenario = vyrsim::eightScenario();
    } else {
        std::string error;
        auto loaded = vyrsim::loadScenario(scenarioFile, &error);
        if (!loaded) {
            std::fprintf(stderr, "vyrsim: %s\n", error.c_str());
            return 1;
        }
        scenario = *loaded;
    }
    vyrsim::scaleScenario(scenario, scale);

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    auto start = std::chrono::steady_clock::now();
    std::mutex outMu;
    auto print = [&](const std::string &text) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
        std::lock_guard<std::mutex> g(outMu);
        std::printf("%8lld.%03lld %s\n", (long long)(ms / 1000), (long long)(ms % 1000),
                    text.c_str());
        std::fflush(stdout);
    };

    if (!redirDir.empty()) {
        redir.dir = redirDir;
        return runRedirLine(redir, scenario, once, print);
    }

    vyrsim::Line line(root);
    line.setEventSink(print);
    std::string error;
    if (!vyrsim::buildHubs(line, scenario, &error)) {
        std::fprintf(stderr, "vyrsim: %s\n", error.c_str());
        return 1;
    }

    std::vector<Step> steps;
    for (size_t i = 0; i < scenario.devices.size(); ++i) {
        steps.push_back({scenario.devices[i].plugMs, true, i});
        if (scenario.devices[i].unplugMs >= 0)
            steps.push_back({scenario.devices[i].unplugMs, false, i});
    }
    std::stable_sort(steps.begin(), steps.end(),
                     [](const Step &a, const Step &b) { return a.atMs < b.atMs; });
    std::vector<int> ids(scenario.devices.size(), -1);

    size_t next = 0;
    int status = 0;
    while (!gStop) {
        auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
        for (; next < steps.size() && steps[next].atMs <= now; ++next) {
            const Step &s = steps[next];
            const auto &dev = scenario.devices[s.device];
            if (s.plug) {
                ids[s.device] = vyrsim::plugDevice(line, dev);
                if (ids[s.device] < 0) {
                    print("error [device." + dev.name + "] cannot be plugged on " + dev.port);
                    status = 1;
                }
            } else if (ids[s.device] >= 0) {
                line.unplug(ids[s.device]);
            }
        }
        if (once && next == steps.size() && line.liveDevices() == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    line.stop();
    print("stopped");
    return status;
}
