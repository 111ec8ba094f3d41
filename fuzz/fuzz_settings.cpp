// Settings reader: the input is the bytes of configure.ini in the working
// directory; every key is read, the language written and read back.
#include "fuzzscratch.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzscratch::quietLogs();
    const fuzzscratch::InDirectory here(fuzzscratch::dir());
    if (!here.entered()) return 0;
    if (!fuzzscratch::writeFile(Settings::FILE_NAME, data, size)) return 0;

    (void)Settings::eraseEnabled();
    (void)Settings::eraseCommand().size();
    (void)Settings::language().size();
    Settings::setLanguage(QStringLiteral("en"));
    (void)Settings::language().size();
    return 0;
}
