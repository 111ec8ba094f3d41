#include "portpath.h"

#include <cstring>

namespace hubsift {

std::optional<char> portCharacter(unsigned port) {
    if (port == 0 || port > kMaxNamedPort) return std::nullopt;
    return char('0' + port);
}

std::string controllerDescription(const std::optional<std::string> &product, unsigned bus) {
    std::string text = (product && !product->empty()) ? *product : "USB Host Controller";
    return text + " (usb" + std::to_string(bus) + ")";
}

std::string rootHubPrefix(const std::string &controllerDescription) {
    return controllerDescription + "(RootHub)-";
}

std::string hubStep(char port) {
    std::string s = "port";
    s += port;
    s += "(hub)-";
    return s;
}

std::string devicePath(const std::string &prefix, char port) {
    std::string s = prefix;
    s += "port";
    s += port;
    return s;
}

bool storePath(char *slot, const std::string &text) {
    if (text.size() > kMaxPathLength) return false;
    std::memcpy(slot, text.c_str(), text.size() + 1);
    return true;
}

void storeTemplate(char *slot, const std::string &text) {
    size_t n = text.size() < kMaxPathLength ? text.size() : kMaxPathLength;
    std::memcpy(slot, text.data(), n);
    slot[n] = '\0';
}

} // namespace hubsift
