#include "redirline.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace vyrsim {

namespace {

const char *formName(RedirPort::Form f) {
    switch (f) {
    case RedirPort::Form::Waiting:
        return "waiting";
    case RedirPort::Form::Rom:
        return "rom";
    case RedirPort::Form::Booting:
        return "booting";
    case RedirPort::Form::MassStorage:
        return "mass-storage";
    case RedirPort::Form::Gone:
        return "gone";
    }
    return "?";
}

} // namespace

bool parseRamCheck(const std::string &text, RamCheck &out) {
    size_t eq = text.find('=');
    if (eq == 0 || eq == std::string::npos || eq + 1 == text.size() || eq > 8) return false;
    const std::string hex = text.substr(0, eq);
    if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    out.address = uint32_t(std::strtoul(hex.c_str(), nullptr, 16));
    out.file = text.substr(eq + 1);
    return true;
}

RedirLine::RedirLine(RedirLineOptions opts, std::function<void(const std::string &)> events)
    : opts_(std::move(opts)), events_(std::move(events)) {}

RedirLine::~RedirLine() {
    stop();
}

bool RedirLine::start(const Scenario &scenario, std::string *error) {
    int n = 0;
    for (const auto &dev : scenario.devices) {
        ++n;
        RedirPortConfig cfg;
        cfg.name = dev.port;
        cfg.socketPath = opts_.dir + "/" + dev.port + ".sock";
        cfg.imagePath = opts_.dir + "/" + dev.port + ".img";
        cfg.expectedUpdate = opts_.expectedUpdate;
        cfg.serial = "VYR" + std::to_string(1000 + n);
        cfg.plugMs = dev.plugMs;
        cfg.devSpec = dev.devSpec;
        ScenarioDevice faults = dev;
        cfg.devSpec.setUp = [faults](RomDevice &rom) { applyFaults(rom, faults); };
        if (!makeFatImage(cfg.imagePath, opts_.imageMiB, "VYR" + std::to_string(n), error))
            return false;
        auto port = std::make_unique<RedirPort>(cfg, events_);
        // Large images would make the request log big.
        port->rom().setRecordBulkData(false);
        if (!port->start(error)) return false;
        ports_.push_back(std::move(port));
    }
    return true;
}

void RedirLine::stop() {
    for (auto &p : ports_)
        p->stop();
}

bool RedirLine::allGone() const {
    for (const auto &p : ports_)
        if (p->form() != RedirPort::Form::Gone) return false;
    return true;
}

std::vector<std::string> RedirLine::report() const {
    std::vector<std::string> lines;
    for (const auto &p : ports_) {
        std::string line = p->config().name + " form=" + formName(p->form()) + " ram=";
        std::string ram = "ok";
        if (opts_.ramChecks.empty()) ram = "unchecked";
        for (const auto &c : opts_.ramChecks) {
            std::ifstream in(c.file, std::ios::binary);
            std::string want((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            if (!in.good() && !in.eof()) {
                ram = "unreadable " + c.file;
                break;
            }
            auto have = p->rom().readRam(c.address, want.size());
            if (std::string(have.begin(), have.end()) != want) {
                char addr[16];
                std::snprintf(addr, sizeof addr, "%08x", c.address);
                ram = std::string("differs ") + addr;
                break;
            }
        }
        line += ram + " recovery=";
        if (RecoveryVolume *rec = const_cast<RedirPort &>(*p).recovery()) {
            bool first = true;
            for (const auto &c : rec->commands()) {
                line += (first ? "" : "|") + c;
                first = false;
            }
        }
        lines.push_back(line);
    }
    return lines;
}

} // namespace vyrsim
