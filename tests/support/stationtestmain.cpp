// main of the test programs that run the burn engine: an application object
// (the device-change source and the refresh run on the test's thread with its
// event loop; the Qt SQL drivers are plugins), then every test.
#include <QCoreApplication>
#include <gtest/gtest.h>

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
