// Records tests need an application object: Qt SQL drivers are plugins, and
// the burns on the virtual line run the engine as the window does.
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
