#include "fuzzscratch.h"

#include "tracemoor.h"

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fuzzscratch {

namespace {

std::string made;

int removeEntry(const char *path, const struct stat *, int, struct FTW *ftw) {
    if (ftw->level > 0) ::remove(path);
    return 0;
}

void removeAtExit() {
    if (made.empty()) return;
    clearDir(made);
    ::rmdir(made.c_str());
}

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

const std::string &dir() {
    if (made.empty()) {
        // PYREWICK_FUZZ_SCRATCH: where the fuzz script wants it, so that a
        // run ending in a crash (no exit handlers) leaves nothing behind.
        const char *wanted = std::getenv("PYREWICK_FUZZ_SCRATCH");
        for (const char *base : {wanted, "/dev/shm", "/tmp"}) {
            if (base == nullptr || *base == '\0') continue;
            std::string tmpl = std::string(base) + "/pyrewick-fuzz-XXXXXX";
            if (::mkdtemp(&tmpl[0]) != nullptr) {
                made = tmpl;
                break;
            }
        }
        if (made.empty()) throw std::runtime_error("no scratch directory");
        std::atexit(removeAtExit);
    }
    return made;
}

void quietLogs() {
    static bool done = false;
    if (done) return;
    done = true;
    vyr_open_logfile("/dev/null", 1);
    qInstallMessageHandler(dropMessage);
}

bool writeFile(const std::string &path, const uint8_t *data, size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    ::close(fd);
    return done == size;
}

void clearDir(const std::string &path) {
    ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

InDirectory::InDirectory(const std::string &path)
    : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    entered_ = previous_ >= 0 && ::chdir(path.c_str()) == 0;
}

InDirectory::~InDirectory() {
    if (previous_ < 0) return;
    if (entered_ && ::fchdir(previous_) != 0) std::abort();
    ::close(previous_);
}

} // namespace fuzzscratch
