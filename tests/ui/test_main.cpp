// One QApplication for the whole test program, on the offscreen platform.
#include <QApplication>
#include <gtest/gtest.h>

// The tests start child processes (7z, the programs) while the window's
// threads run; under the thread sanitizer Qt's process start would otherwise
// make the parent look like a forked child and end it. Read only by the
// thread sanitizer's runtime; TSAN_OPTIONS still adds to it.
extern "C" const char *__tsan_default_options() {
    return "die_after_fork=0";
}

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
