#include "sysroot.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace vyrsys {

std::string root() {
    const char *r = std::getenv("PYREWICK_SYSROOT");
    if (r == nullptr || *r == '\0') return std::string();
    std::string s(r);
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    if (s == "/") return std::string();
    return s;
}

std::string path(const std::string &relative) {
    size_t skip = 0;
    while (skip < relative.size() && relative[skip] == '/')
        ++skip;
    return root() + "/" + relative.substr(skip);
}

std::optional<std::string> readFile(const std::string &file, size_t maxLen) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        if (out.size() + size_t(n) > maxLen) {
            ::close(fd);
            return std::nullopt;
        }
        out.append(buf, size_t(n));
    }
    ::close(fd);
    return out;
}

std::optional<std::string> readAttr(const std::string &file, size_t maxLen) {
    auto text = readFile(file, maxLen);
    if (!text) return std::nullopt;
    if (text->find('\0') != std::string::npos) return std::nullopt;
    const char *ws = " \t\r\n\v\f";
    size_t b = text->find_first_not_of(ws);
    if (b == std::string::npos) return std::string();
    size_t e = text->find_last_not_of(ws);
    return text->substr(b, e - b + 1);
}

std::optional<unsigned long> readAttrNumber(const std::string &file, int base) {
    auto text = readAttr(file, 64);
    if (!text || text->empty()) return std::nullopt;
    for (char c : *text)
        if (c == '-' || c == '+' || c == ' ') return std::nullopt;
    errno = 0;
    char *end = nullptr;
    unsigned long v = std::strtoul(text->c_str(), &end, base);
    if (errno != 0 || end == nullptr || *end != '\0') return std::nullopt;
    return v;
}

namespace {
// Mount points escape space, tab, newline and backslash as \ooo.
std::string decodeEscapes(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
            s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out.push_back(char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

bool parseDevice(const std::string &field, unsigned &major, unsigned &minor) {
    size_t colon = field.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= field.size()) return false;
    auto digits = [](const std::string &t) {
        if (t.empty() || t.size() > 9) return false;
        for (char c : t)
            if (c < '0' || c > '9') return false;
        return true;
    };
    std::string a = field.substr(0, colon), b = field.substr(colon + 1);
    if (!digits(a) || !digits(b)) return false;
    major = unsigned(std::stoul(a));
    minor = unsigned(std::stoul(b));
    return true;
}
} // namespace

std::vector<MountEntry> parseMountInfo(const std::string &text) {
    std::vector<MountEntry> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        // id parent major:minor root mountpoint options ...
        std::istringstream fields(line);
        std::string id, parent, dev, fsroot, mountPoint;
        if (!(fields >> id >> parent >> dev >> fsroot >> mountPoint)) continue;
        MountEntry e;
        if (!parseDevice(dev, e.major, e.minor)) continue;
        e.mountPoint = decodeEscapes(mountPoint);
        if (e.mountPoint.empty() || e.mountPoint[0] != '/') continue;
        out.push_back(std::move(e));
    }
    return out;
}

std::vector<MountEntry> readMountInfo() {
    auto text = readFile(path("proc/self/mountinfo"), 16u << 20);
    if (!text) return {};
    return parseMountInfo(*text);
}

} // namespace vyrsys
