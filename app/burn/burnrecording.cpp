// The burn record of a port's current burn, kept by its burn thread: opened
// when the port leaves status 2, closed with the result the statistics count.
#include "burnthread.h"

#include <QDateTime>

#include "burnrecorder.h"
#include "burnstate.h"
#include "resultgate.h"

void BurnThread::beginRecord() {
    BurnRecorder *recorder = BurnRecorder::active();
    if (!recorder) {
        mTrace.close();
        return;
    }
    // A burn left open (stopped, or its device gone before a result) has no
    // record: only counted results are kept, as in the statistics.
    if (mTrace.isOpen()) ResultGate::drop(mThreadOrder);
    const uint32_t ticket = ResultGate::hold(mThreadOrder);
    mTrace.begin(recorder->baseRecord(mThreadOrder, planCount()),
                 gPortInfo[mThreadOrder].devId.get(), ticket, QDateTime::currentDateTimeUtc());
}

void BurnThread::recordTick(int statusBefore, bool resultPendingBefore, int linesBefore) {
    if (!mTrace.isOpen()) return;
    PortInfo &info = gPortInfo[mThreadOrder];
    const int after = info.status.load();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // Status 11 and 12 count their result once (mResultPending); that tick
    // hands the record over, with the step the statistics counted. The
    // record ends with the result: the port going idle afterwards is not
    // part of the burn.
    const bool counted =
        resultPendingBefore && !mResultPending &&
        (statusBefore == PORT_STATUS_SUCCESS || statusBefore == PORT_STATUS_FAILED);
    if (after != statusBefore && !counted) {
        mTrace.status(after, now);
        if (after == PORT_STATUS_FAILED) mTrace.failedSince(linesBefore);
    }
    if (!counted) {
        if (statusBefore == PORT_STATUS_NONE || after == PORT_STATUS_NONE) {
            // The port went idle without a counted result (Stop, or the device
            // went before the burn began): nothing to record.
            mTrace.close();
            ResultGate::drop(mThreadOrder);
        }
        return;
    }
    BurnRecorder *recorder = BurnRecorder::active();
    const uint32_t ticket = mTrace.ticket();
    BurnRecord record = mTrace.finish(statusBefore == PORT_STATUS_SUCCESS, mCurBurnCmd,
                                      info.devId.get(), info.portPath.get(), now);
    if (recorder)
        recorder->submit(std::move(record), ticket);
    else
        ResultGate::drop(mThreadOrder);
}
