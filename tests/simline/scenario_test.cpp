// Scenario files: what they say reaches the line, and broken ones are refused
// with a message that names the line.
#include "linetestutil.h"
#include "scenario.h"
#include "sysroot.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using namespace linetest;
using vyrsim::parseScenario;

namespace {

TEST(Scenario, EightFileMatchesTheBuiltInEight) {
    std::string error;
    auto file = vyrsim::loadScenario(SCENARIO_DIR "/eight.ini", &error);
    ASSERT_TRUE(file) << error;
    auto builtIn = vyrsim::eightScenario();
    ASSERT_EQ(file->hubs.size(), builtIn.hubs.size());
    for (size_t i = 0; i < builtIn.hubs.size(); ++i) {
        EXPECT_EQ(file->hubs[i].rootHub, builtIn.hubs[i].rootHub);
        EXPECT_EQ(file->hubs[i].ports, builtIn.hubs[i].ports);
        EXPECT_EQ(file->hubs[i].port, builtIn.hubs[i].port);
    }
    ASSERT_EQ(file->devices.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        const auto &a = file->devices[i], &b = builtIn.devices[i];
        EXPECT_EQ(a.port, b.port);
        EXPECT_EQ(a.plugMs, b.plugMs);
        EXPECT_EQ(a.devSpec.rom.runDelayMs, b.devSpec.rom.runDelayMs);
        EXPECT_EQ(a.devSpec.bootMs, b.devSpec.bootMs);
        EXPECT_EQ(a.devSpec.recovery.updateMs, b.devSpec.recovery.updateMs);
    }
}

// The values that take more than a number: hub lines, faults, booleans,
// and the time scale reaching every delay.
TEST(Scenario, FaultsHubsAndTimesAreReadAndScaled) {
    std::string error;
    auto s = parseScenario("[line]\n"
                           "roothub = 2 EHCI Host Controller\n"
                           "hub = 1-2 4\n"
                           "[device.a]\n"
                           "port = 1-2.3\nplug = 10\nunplug = 900\nstage = 16\n"
                           "leave-on-run = yes\nstuck = true\nvanish-volume = on\n"
                           "never-comes-back = no\nboot = 80\nrecovery-update = 12\n"
                           "fail-command = update\nfault = identify stall 2 1\n"
                           "fault = bulk-out drop\nfault = large-write freeze 1 3\n",
                           &error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->hubs[0].product, "EHCI Host Controller");
    EXPECT_EQ(s->hubs[1].port, "1-2");
    EXPECT_EQ(s->hubs[1].ports, 4);
    const auto &d = s->devices.at(0);
    EXPECT_EQ(d.name, "a");
    EXPECT_TRUE(d.devSpec.rom.leaveOnRun);
    EXPECT_TRUE(d.devSpec.stuck);
    EXPECT_TRUE(d.devSpec.recovery.vanishVolume);
    EXPECT_FALSE(d.devSpec.neverComesBack);
    EXPECT_EQ(d.devSpec.recovery.failCommand, "update");
    ASSERT_EQ(d.faults.size(), 3u);
    EXPECT_EQ(d.faults[0].kind, vyrsim::RequestKind::Identify);
    EXPECT_EQ(d.faults[0].fault, vyrsim::Fault::Stall);
    EXPECT_EQ(d.faults[0].count, 2);
    EXPECT_EQ(d.faults[0].skip, 1);
    EXPECT_EQ(d.faults[1].kind, vyrsim::RequestKind::BulkOut);
    EXPECT_EQ(d.faults[1].fault, vyrsim::Fault::Drop);
    EXPECT_EQ(d.faults[1].count, -1);
    EXPECT_EQ(d.faults[2].kind, vyrsim::RequestKind::LargeWrite);
    EXPECT_EQ(d.faults[2].fault, vyrsim::Fault::Freeze);
    EXPECT_EQ(d.faults[2].skip, 3);

    vyrsim::scaleScenario(*s, 0.5);
    EXPECT_EQ(s->devices[0].plugMs, 5);
    EXPECT_EQ(s->devices[0].unplugMs, 450);
    EXPECT_EQ(s->devices[0].devSpec.bootMs, 40);
    EXPECT_EQ(s->devices[0].devSpec.recovery.updateMs, 6);
}

TEST(Scenario, BrokenFilesAreRefusedNamingTheLine) {
    const struct {
        const char *text;
        const char *where;
    } bad[] = {
        {"[device.1]\nport = 1-1\n", "no [line]"},
        {"[line]\nhub = 1-1 4\n", "line 2"},
        {"[line]\n", "no root hub"},
        {"[line]\nroothub = 0\n", "line 2"},
        {"[line]\nroothub = 4\nroothub = many\n", "line 3"},
        {"[line]\nroothub = 4\nhub = 1-1\n", "line 3"},
        {"[line]\nroothub = 4\ncolour = red\n", "line 3"},
        {"[line]\nroothub = 4\n[device.1]\nport = 1--1\n", "line 4"},
        {"[line]\nroothub = 4\n[device.1]\nport = 1-1\nplug = soon\n", "line 5"},
        {"[line]\nroothub = 4\n[device.1]\nport = 1-1\nplug = -5\n", "line 5"},
        {"[line]\nroothub = 4\n[device.1]\nport = 1-1\nstage = 3\n", "line 5"},
        {"[line]\nroothub = 4\n[device.1]\nport = 1-1\nstuck = maybe\n", "line 5"},
        {"[line]\nroothub = 4\n[device.1]\nport = 1-1\nport = 1-2\n", "line 5"},
        {"[line]\nroothub = 4\n[device.1]\nport = 1-1\nfault = identify melt\n", "line 5"},
        {"[line]\nroothub = 4\n[device.1]\nport = 1-1\nfault = sing stall\n", "line 5"},
        {"[line]\nroothub = 4\n[device.1]\nport = 1-1\nplug = 99999999999\n", "line 5"},
        {"[line]\nroothub = 4\n[device.1]\nplug = 1\n", "has no port"},
        {"[line]\nroothub = 4\n[device.1]\nport = 1-1\nplug = 50\nunplug = 10\n",
         "before it is plugged"},
        {"[line]\nroothub = 4\n[device.1]\nport = 1-1\n[device.1]\n", "line 5"},
        {"[line]\nroothub = 4\n[gadget]\n", "line 3"},
        {"[line\n", "line 1"},
        {"port = 1-1\n", "line 1"},
        {"[line]\nroothub 4\n", "line 2"},
    };
    for (const auto &b : bad) {
        std::string error;
        EXPECT_FALSE(parseScenario(b.text, &error)) << b.text;
        EXPECT_NE(error.find(b.where), std::string::npos) << b.text << " -> " << error;
    }
    std::string error;
    EXPECT_FALSE(vyrsim::loadScenario("/nonexistent/line.ini", &error));
    EXPECT_NE(error.find("/nonexistent/line.ini"), std::string::npos);
}

TEST(Scenario, PluggedDeviceCarriesItsFaultsFromTheStart) {
    ScratchRoot root;
    vyrsim::Line line(root.path);
    std::string error;
    auto s = parseScenario("[line]\nroothub = 2\n[device.1]\nport = 1-2\n"
                           "fault = identify stall 1\n",
                           &error);
    ASSERT_TRUE(s) << error;
    ASSERT_TRUE(vyrsim::buildHubs(line, *s, &error)) << error;
    int id = vyrsim::plugDevice(line, s->devices[0]);
    ASSERT_GT(id, 0);
    auto busnum = vyrsys::readAttrNumber(root / "sys/bus/usb/devices/1-2/devnum");
    ASSERT_TRUE(busnum);
    char node[32];
    std::snprintf(node, sizeof node, "dev/bus/usb/001/%03lu", *busnum);
    int fd = connectTo(root / node);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(identify(fd), vyrwire::ErrPipe);
    EXPECT_EQ(identify(fd), vyrsim::StageRom);
    ::close(fd);

    // A hub on a port that is not there stops the build with a message.
    auto badHub = parseScenario("[line]\nroothub = 2\nhub = 1-3 4\n", &error);
    ASSERT_TRUE(badHub);
    EXPECT_FALSE(vyrsim::buildHubs(line, *badHub, &error));
    EXPECT_NE(error.find("1-3"), std::string::npos);
}

std::string runVyrsim(const std::string &args, int *status) {
    std::string out;
    FILE *p = ::popen((std::string(VYRSIM_BIN) + " " + args + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p))
        out += buf;
    int st = ::pclose(p);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

TEST(Vyrsim, PlaysAScenarioOnceAndRefusesABrokenOne) {
    ScratchRoot dir;
    const std::string scenario = dir / "two.ini";
    std::ofstream(scenario) << "[line]\nroothub = 2\n"
                               "[device.1]\nport = 1-1\nplug = 0\nunplug = 200\n"
                               "[device.2]\nport = 1-2\nplug = 100\nunplug = 300\n";
    int status = -1;
    std::string out =
        runVyrsim("--root " + (dir / "root") + " --scenario " + scenario + " --once", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("plug 1 1-1 rom"), std::string::npos) << out;
    EXPECT_NE(out.find("plug 2 1-2 rom"), std::string::npos) << out;
    EXPECT_NE(out.find("unplug 2"), std::string::npos) << out;
    EXPECT_NE(out.find("stopped"), std::string::npos) << out;

    std::ofstream(dir / "bad.ini") << "[line]\nroothub = 2\n[device.1]\nport = one\n";
    out = runVyrsim("--root " + (dir / "root") + " --scenario " + (dir / "bad.ini") + " --once",
                    &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("line 4"), std::string::npos) << out;

    runVyrsim("--root " + (dir / "root"), &status);
    EXPECT_EQ(status, 2);
    // A directory with other things in it is not taken over.
    out = runVyrsim("--root " + dir.path + " --scenario " + scenario + " --once", &status);
    EXPECT_EQ(status, 2);
    EXPECT_TRUE(std::ifstream(scenario).good());
}

} // namespace
