#include "benchline.h"

#include <cstdio>

#include "burnstate.h"
#include "tracemoor.h"

BenchLine::BenchLine(double timeScale) : BurnLine(BuildVariant::MultiPort, timeScale) {
    writePlan(QString(samplePlan()).replace("format_data(prepare:extra.bin)", "format_data"));
}

void BenchLine::quietConsole() {
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type != QtDebugMsg && type != QtInfoMsg) std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    vyr_open_logfile("/dev/null", 1);
}

vyrsim::DeviceSpec BenchLine::quickDevice() const {
    vyrsim::DeviceSpec devSpec = deviceSpec();
    devSpec.bootMs = 50;
    devSpec.recovery.bootMs = 10;
    devSpec.recovery.updateMs = 10;
    devSpec.recovery.commandMs = 10;
    return devSpec;
}

std::vector<int> BenchLine::plugQuick(int devices) {
    const vyrsim::DeviceSpec devSpec = quickDevice();
    std::vector<int> ids;
    for (int d = 1; d <= devices; ++d)
        ids.push_back(line().plug(hubPort(d), devSpec));
    return ids;
}

bool BenchLine::runUntilAllSucceeded(int devices) {
    return runUntil(
        [devices] {
            for (int p = 0; p < devices; ++p)
                if (gPortInfo[p].status.load() != PORT_STATUS_NONE ||
                    gPortInfo[p].lastResult.load() != PORT_STATUS_SUCCESS)
                    return false;
            return true;
        },
        3600 * 1000);
}
