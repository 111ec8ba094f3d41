#include "burntrace.h"

#include "burnstate.h"

#include <algorithm>

void BurnTrace::begin(const BurnRecord &base, const QString &deviceId, uint32_t ticket,
                      const QDateTime &now) {
    mRecord = base;
    mRecord.id = BurnRecord::newId();
    mRecord.startedAt = now;
    mRecord.logLines.clear();
    mRecord.steps.clear();
    mRecord.steps.append({PORT_STATUS_START, now});
    mStartDeviceId = deviceId;
    mCause.clear();
    mTicket = ticket;
    mOpen = true;
}

void BurnTrace::status(int status, const QDateTime &at) {
    mRecord.steps.append({status, at});
}

void BurnTrace::line(const QString &line) {
    mRecord.logLines.append(line);
}

void BurnTrace::failedSince(int from) {
    if (lineCount() > from) mCause = mRecord.logLines.last();
}

BurnRecord BurnTrace::snapshot(int step, const QString &deviceId, const QString &portPath) const {
    BurnRecord r = mRecord;
    r.state = BurnRecord::State::Running;
    r.success = false;
    r.failStep = step;
    r.failText = mCause.isEmpty() && !r.logLines.isEmpty() ? r.logLines.last() : mCause;
    r.deviceId = deviceId != mStartDeviceId ? deviceId : QString();
    if (!portPath.isEmpty()) r.portPath = portPath;
    r.endedAt = r.steps.isEmpty() ? r.startedAt : r.steps.last().enteredAt;
    return r;
}

BurnRecord BurnTrace::interrupt(int step, const QString &deviceId, const QString &portPath) {
    BurnRecord r = snapshot(step, deviceId, portPath);
    r.state = BurnRecord::State::Interrupted;
    mOpen = false;
    mRecord = BurnRecord();
    return r;
}

BurnRecord BurnTrace::finish(bool success, int failStep, const QString &deviceId,
                             const QString &portPath, const QDateTime &now) {
    mOpen = false;
    BurnRecord r = std::move(mRecord);
    mRecord = BurnRecord();
    r.success = success;
    r.failStep = success ? -1 : failStep;
    r.failText = success ? QString()
                         : (mCause.isEmpty() && !r.logLines.isEmpty() ? r.logLines.last() : mCause);
    r.deviceId = deviceId != mStartDeviceId ? deviceId : QString();
    if (!portPath.isEmpty()) r.portPath = portPath;
    // It ended when the port entered its result, not when the result was
    // counted a tick later.
    r.endedAt = now;
    const int result = success ? PORT_STATUS_SUCCESS : PORT_STATUS_FAILED;
    const auto entered = std::find_if(r.steps.crbegin(), r.steps.crend(),
                                      [result](const BurnStep &s) { return s.status == result; });
    if (entered != r.steps.crend()) r.endedAt = entered->enteredAt;
    return r;
}
