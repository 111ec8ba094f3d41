// The engine tests need an application object: the device-change source and
// the refresh run on the test's thread with its event loop.
#include <QCoreApplication>
#include <gtest/gtest.h>

// Under ThreadSanitizer: Qt is not instrumented, so two of its internal
// hand-overs look like races. A finished thread wakes its waiters on a
// condition variable inside Qt, which the waiter may then destroy; and a
// shared string's last reference is dropped inside Qt's assignment, which
// frees data whose other references were dropped, atomically, elsewhere.
extern "C" const char *__tsan_default_suppressions() {
    return "race:QWaitCondition\n"
           "race:QString::operator=\n";
}

// The watch thread starts the device-console tool: a fork of this
// multi-threaded process that only execs.
extern "C" const char *__tsan_default_options() {
    return "die_after_fork=0";
}

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
