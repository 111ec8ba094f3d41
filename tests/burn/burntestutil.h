// What the whole-burn tests on the virtual line ask again and again: how a
// row ended, whether a device was sent a command, and two devices caught
// while they load.
#ifndef BURNTESTUTIL_H
#define BURNTESTUTIL_H

#include <algorithm>
#include <string>
#include <vector>

#include "burnline.h"
#include "burnstate.h"

namespace burntest {

// The row is back at rest (status 0) with `result` as its last result.
inline bool endedWith(int port, int result) {
    return gPortInfo[port].status.load() == PORT_STATUS_NONE &&
           gPortInfo[port].lastResult.load() == result;
}

inline bool contains(const std::vector<std::string> &v, const std::string &s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

// Plugs a device on hub ports 1 and 2, presses Start and refreshes until
// both rows (0 and 1) are loading; false on time-out.
inline bool startTwoLoading(BurnLine &bl) {
    bl.line().plug(BurnLine::hubPort(1), bl.deviceSpec());
    bl.line().plug(BurnLine::hubPort(2), bl.deviceSpec());
    bl.start();
    return bl.runUntil([] {
        return gPortInfo[0].status.load() >= PORT_STATUS_LOADING &&
               gPortInfo[1].status.load() >= PORT_STATUS_LOADING;
    });
}

} // namespace burntest

#endif
