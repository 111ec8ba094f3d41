// The burn record of a port's current burn, kept by its burn thread: opened
// when the port leaves status 2 and written at once as "running", written
// again as each status is entered, closed with the result the statistics
// count. A burn that ends without a result (Stop, its device gone) is
// written as "interrupted".
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
    // A burn left open (stopped, or its device gone before a result) is
    // recorded as interrupted; it counts in no statistics.
    if (mTrace.isOpen()) interruptRecord();
    const uint32_t ticket = ResultGate::hold(mThreadOrder);
    mTrace.begin(recorder->baseRecord(mThreadOrder, planCount()),
                 gPortInfo[mThreadOrder].devId.get(), ticket, QDateTime::currentDateTimeUtc());
    const PortInfo &info = gPortInfo[mThreadOrder];
    recorder->update(mTrace.snapshot(mCurBurnCmd, info.devId.get(), info.portPath.get()));
}

void BurnThread::interruptRecord() {
    if (!mTrace.isOpen()) return;
    const PortInfo &info = gPortInfo[mThreadOrder];
    BurnRecord record = mTrace.interrupt(mCurBurnCmd, info.devId.get(), info.portPath.get());
    if (BurnRecorder *recorder = BurnRecorder::active()) recorder->update(std::move(record));
    ResultGate::drop(mThreadOrder);
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
            // went before a result).
            interruptRecord();
        } else if (after != statusBefore) {
            // Each step is on the disk as it is entered.
            if (BurnRecorder *recorder = BurnRecorder::active())
                recorder->update(
                    mTrace.snapshot(mCurBurnCmd, info.devId.get(), info.portPath.get()));
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
