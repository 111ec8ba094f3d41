#include "buildvariant.h"

#include <atomic>

namespace {
std::atomic<BuildVariant> gVariant{BuildVariant::SingleDevice};
}

BuildVariant buildVariant() {
    return gVariant.load();
}

void setBuildVariant(BuildVariant variant) {
    gVariant.store(variant);
}
