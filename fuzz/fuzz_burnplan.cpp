// Burn plan reader: the input is the bytes of config_progress.xml. The plan's
// directory also holds a few small images, so plans that name them get their
// sizes and sums measured and written into check and "load addr" commands.
#include "burnplan.h"
#include "fuzzscratch.h"

#include <QString>

#include <cstdlib>
#include <sys/stat.h>

namespace {

std::string planDir() {
    static const std::string dir = [] {
        const std::string d = fuzzscratch::dir() + "/plan";
        ::mkdir(d.c_str(), 0755);
        ::mkdir((d + "/upgrade").c_str(), 0755);
        const uint8_t image[] = {1, 2, 3, 4, 5, 6, 7};
        for (const char *name :
             {"upgrade/update.img", "upgrade/patch.img", "uImage", "spl.bin", "u-boot.bin"})
            fuzzscratch::writeFile(d + "/" + name, image, sizeof image);
        return d;
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzscratch::quietLogs();
    const std::string path = planDir() + "/config_progress.xml";
    if (!fuzzscratch::writeFile(path, data, size)) return 0;

    const BurnPlan plan(QString::fromStdString(path));
    // Every record sits at the index its sn names, or is unfilled.
    for (int i = 0; i < BurnPlan::MAX_COMMANDS; ++i) {
        const BurnCommand &c = plan.command(i);
        if (c.sn != -1 && c.sn != i) std::abort();
        (void)c.command.size();
    }
    (void)plan.getResourcePath();
    return 0;
}
