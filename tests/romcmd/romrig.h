// A virtual ROM-mode device with one open connection, and views of what it
// received.
#ifndef ROMRIG_H
#define ROMRIG_H

#include "romdevice.h"
#include "romvane.h"

#include <unistd.h>

#include <numeric>
#include <vector>

struct RomRig {
    static vyrsim::RomDeviceConfig bootLoader() {
        vyrsim::RomDeviceConfig cfg;
        cfg.stage = vyrsim::StageBootLoader;
        return cfg;
    }

    vyrsim::RomDevice dev;
    int fd = -1;

    // The boot loader stage by default: it takes every command, text ones included.
    explicit RomRig(vyrsim::RomDeviceConfig cfg = bootLoader()) : dev(cfg) { fd = dev.connect(); }
    ~RomRig() {
        if (fd >= 0) ::close(fd);
    }

    RomRequest request(uint32_t length, void *buffer, uint32_t *actual, uint32_t addr) const {
        return RomRequest{VyrHandle(fd), length, buffer, actual, addr};
    }

    std::vector<vyrwire::Request> ofOp(uint8_t op) const {
        std::vector<vyrwire::Request> out;
        for (const auto &r : dev.requests())
            if (r.header.op == op) out.push_back(r.header);
        return out;
    }
    // Control requests with the given bRequest.
    std::vector<vyrwire::Request> controls(uint8_t bRequest) const {
        std::vector<vyrwire::Request> out;
        for (const auto &h : ofOp(vyrwire::OpControl))
            if (h.b2 == bRequest) out.push_back(h);
        return out;
    }
    std::vector<uint32_t> bulkLengths(uint8_t op) const {
        std::vector<uint32_t> out;
        for (const auto &h : ofOp(op))
            out.push_back(h.length);
        return out;
    }
};

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(seed + i * 7 + (i >> 8));
    return v;
}

#endif
