// Port path texts: the name of a USB socket spelled as the way down the tree,
// "<controller description>(RootHub)-" then "port<n>(hub)-" per external hub,
// then "port<n>" for the device's own port. A port number is one character,
// '0' + n.
#ifndef HUBSIFT_PORTPATH_H
#define HUBSIFT_PORTPATH_H

#include <cstddef>
#include <optional>
#include <string>

namespace hubsift {

constexpr int kSlotCount = 8;     // devices one scan records
constexpr size_t kSlotSize = 256; // bytes per slot, terminating zero included
constexpr size_t kMaxPathLength = kSlotSize - 1;

// Ports above 9 continue with the ASCII characters after '9'. Port 78 gives
// '~'; higher ports would give control or non-ASCII bytes, which no stored
// path may hold, so they have no character.
constexpr unsigned kMaxNamedPort = '~' - '0';
std::optional<char> portCharacter(unsigned port);

// "<product> (usb<bus>)"; a root hub without a product text still gets a
// description of its own, so no two controllers share a prefix.
std::string controllerDescription(const std::optional<std::string> &product, unsigned bus);

std::string rootHubPrefix(const std::string &controllerDescription); // + "(RootHub)-"
std::string hubStep(char port);                                      // "port<c>(hub)-"
std::string devicePath(const std::string &prefix, char port);        // prefix + "port<c>"

// Writes text into a slot when it fits whole; false (slot untouched) if not.
bool storePath(char *slot, const std::string &text);
// Writes a template into a slot, cut to what the slot holds.
void storeTemplate(char *slot, const std::string &text);

} // namespace hubsift

#endif
