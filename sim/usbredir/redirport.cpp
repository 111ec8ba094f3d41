#include "redirport.h"

#include "bulkonlydisk.h"
#include "vyrwire.h"

#include <usbredirparser.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace vyrsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t VendorId = 0x1b8e, RomProduct = 0xc003, RecoveryProduct = 0xc004;
constexpr uint8_t EpIn = 0x81, EpOut = 0x02;
constexpr uint16_t MaxPacket = 64; // full speed: what a device behind qemu's hub runs at
// How long a model may take to answer one request (a held status request included).
constexpr unsigned WireTimeoutMs = 20000;
// A model that stopped answering without saying why (bootm, a run that leaves)
// has dropped off the bus once this much time has passed.
constexpr int DropSettleMs = 200;
// After the recovery's reset/shutdown/poweroff: the status of that command goes
// out first, then the device leaves; at the latest after this long.
constexpr int LeaveGraceMs = 1000;

enum : uint8_t {
    ReqGetStatus = 0,
    ReqClearFeature = 1,
    ReqSetFeature = 3,
    ReqGetDescriptor = 6,
    ReqGetConfiguration = 8,
    ReqSetConfiguration = 9,
    ReqGetInterface = 10,
    ReqSetInterface = 11
};
enum : uint8_t { ReqGetMaxLun = 0xfe, ReqMassStorageReset = 0xff };

std::vector<uint8_t> stringDescriptor(const std::string &text) {
    std::vector<uint8_t> d{uint8_t(2 + 2 * text.size()), 3};
    for (char c : text) {
        d.push_back(uint8_t(c));
        d.push_back(0);
    }
    return d;
}

void put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

// Index of an endpoint address in usbredir's endpoint tables.
int epIndex(uint8_t ep) {
    return ((ep & 0x80) >> 3) | (ep & 0x0f);
}

// Runs argv with stdout into out (when given); the exit status, -1 when it
// could not run.
int runProgram(const std::vector<std::string> &args, std::string *out) {
    int pipeFd[2] = {-1, -1};
    if (out && ::pipe2(pipeFd, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (out)
        posix_spawn_file_actions_adddup2(&fa, pipeFd[1], 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (out) ::close(pipeFd[1]);
    if (rc != 0) {
        if (out) ::close(pipeFd[0]);
        return -1;
    }
    if (out) {
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(pipeFd[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            out->append(buf, size_t(n));
        }
        ::close(pipeFd[0]);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::string checkUpdateInImage(const std::string &imagePath, const std::string &file,
                               const std::string &expectedFile) {
    // mtools reads the image as it is on the "disk" now: whatever the host
    // has not written yet is not there.
    ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
    std::string data;
    int rc = runProgram({"mcopy", "-i", imagePath, "::" + file, "-"}, &data);
    if (rc != 0 || data.empty()) return "no package " + file;
    if (!expectedFile.empty()) {
        std::ifstream in(expectedFile, std::ios::binary);
        std::string want((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) return "cannot read the expected package";
        if (data != want) return "package differs " + file;
    }
    return "";
}

bool makeFatImage(const std::string &path, int sizeMiB, const std::string &label,
                  std::string *error) {
    ::unlink(path.c_str());
    const std::string kib = std::to_string(sizeMiB * 1024);
    for (const char *prog : {"mkfs.vfat", "/usr/sbin/mkfs.vfat", "/sbin/mkfs.vfat"}) {
        int rc = runProgram({prog, "-C", "-n", label, path, kib}, nullptr);
        if (rc == 0) return true;
        if (rc > 0) break;
    }
    if (error) *error = "mkfs.vfat could not make " + path;
    return false;
}

struct RedirPort::Impl {
    enum class Due { None, PlugRom, PlugStorage, CheckDrop, Leave };

    RedirPortConfig cfg;
    std::function<void(const std::string &)> events;
    RomDevice rom;
    std::unique_ptr<RecoveryVolume> recovery;
    BulkOnlyDisk disk;

    std::atomic<Form> form{Form::Waiting};
    std::mutex recoveryMu; // recovery pointer hand-over to other threads

    int listenFd = -1;
    int wakeFd = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};

    // Set by the models' threads.
    std::atomic<bool> bootmSeen{false}, runLeft{false}, recoveryLeft{false};

    // Port thread only.
    usbredirparser *parser = nullptr;
    int connFd = -1;
    bool attached = false;
    bool setUpDone = false;
    int romFd = -1, recFd = -1;
    uint8_t configuration = 0;
    Due due = Due::None;
    Clock::time_point dueAt;

    Impl(RedirPortConfig c, std::function<void(const std::string &)> e)
        : cfg(std::move(c)), events(std::move(e)), rom(cfg.devSpec.rom) {}

    void say(const std::string &what) {
        if (events) events(what + " " + cfg.name);
    }
    void wake() {
        uint64_t one = 1;
        ssize_t n = ::write(wakeFd, &one, sizeof one);
        (void)n;
    }
    void schedule(Due what, int ms) {
        due = what;
        dueAt = Clock::now() + std::chrono::milliseconds(ms);
    }

    void run();
    void serve(int fd);
    void flush();
    void handleEvents();
    void attach(uint8_t ifClass, uint8_t ifSubclass, uint8_t ifProtocol, uint16_t product);
    void attachRom();
    void attachStorage();
    void detach();
    int32_t romCall(vyrwire::Request q, const void *payload, size_t payloadLen,
                    std::vector<uint8_t> &reply, uint32_t &got);
    BulkOnlyDisk::VendorReply vendorCommand(const std::vector<uint8_t> &cdb,
                                            BulkOnlyDisk::Direction dir,
                                            const std::vector<uint8_t> &dataOut, uint32_t length);
    std::vector<uint8_t> descriptor(uint8_t type, uint8_t index) const;
    bool standardRequest(const usb_redir_control_packet_header &h, std::vector<uint8_t> &in);
    void control(uint64_t id, usb_redir_control_packet_header *h, uint8_t *data, int len);
    void bulk(uint64_t id, usb_redir_bulk_packet_header *h, uint8_t *data, int len);

    static Impl *self(void *priv) { return static_cast<Impl *>(priv); }
};

// ---------------------------------------------------------------------------
// Descriptors and requests

std::vector<uint8_t> RedirPort::Impl::descriptor(uint8_t type, uint8_t index) const {
    const bool storage = form == Form::MassStorage;
    if (type == 1) { // device
        std::vector<uint8_t> d{18, 1, 0x00, 0x02, 0, 0, 0, MaxPacket};
        put16(d, VendorId);
        put16(d, storage ? RecoveryProduct : RomProduct);
        put16(d, 0x0100);
        d.push_back(1);                                      // iManufacturer
        d.push_back(2);                                      // iProduct
        d.push_back(storage && !cfg.serial.empty() ? 3 : 0); // iSerialNumber
        d.push_back(1);                                      // bNumConfigurations
        return d;
    }
    if (type == 2 && index == 0) { // configuration, interface, two bulk endpoints
        std::vector<uint8_t> d{9, 2};
        put16(d, 9 + 9 + 7 + 7);
        d.insert(d.end(), {1, 1, 0, 0x80, 50});
        if (storage)
            d.insert(d.end(), {9, 4, 0, 0, 2, 0x08, 0x06, 0x50, 0});
        else
            d.insert(d.end(), {9, 4, 0, 0, 2, 0xff, 0x00, 0x00, 0});
        for (uint8_t ep : {EpIn, EpOut}) {
            d.insert(d.end(), {7, 5, ep, 2});
            put16(d, MaxPacket);
            d.push_back(0);
        }
        return d;
    }
    if (type == 3) {
        switch (index) {
        case 0:
            return {4, 3, 0x09, 0x04}; // English (United States)
        case 1:
            return stringDescriptor("Vyrtek");
        case 2:
            return stringDescriptor(storage ? "Recovery" : "Skelmar Device");
        case 3:
            if (storage && !cfg.serial.empty()) return stringDescriptor(cfg.serial);
            break;
        }
    }
    return {}; // anything else (device qualifier, BOS, other speed) stalls
}

bool RedirPort::Impl::standardRequest(const usb_redir_control_packet_header &h,
                                      std::vector<uint8_t> &in) {
    switch (h.request) {
    case ReqGetStatus:
        in = {0, 0};
        return true;
    case ReqClearFeature:
    case ReqSetFeature:
    case ReqSetConfiguration:
    case ReqSetInterface:
        return true;
    case ReqGetConfiguration:
        in = {configuration};
        return true;
    case ReqGetInterface:
        in = {0};
        return true;
    case ReqGetDescriptor:
        in = descriptor(uint8_t(h.value >> 8), uint8_t(h.value));
        return !in.empty();
    default:
        return false;
    }
}

int32_t RedirPort::Impl::romCall(vyrwire::Request q, const void *payload, size_t payloadLen,
                                 std::vector<uint8_t> &reply, uint32_t &got) {
    got = 0;
    if (romFd < 0) return vyrwire::ErrNoDevice;
    q.timeoutMs = WireTimeoutMs;
    int32_t r = vyrwire::call(romFd, q, payload, payloadLen, reply.data(), reply.size(), &got);
    if (r == vyrwire::ErrNoDevice || r == vyrwire::ErrTimeout || r == vyrwire::ErrIo) {
        // The connection is finished (a time-out shuts it down so that a late
        // answer is never taken for another one).
        ::close(romFd);
        romFd = -1;
        if (r != vyrwire::ErrNoDevice && rom.onBus()) romFd = rom.connect();
        if (r == vyrwire::ErrNoDevice && due == Due::None) schedule(Due::CheckDrop, DropSettleMs);
    }
    return r;
}

void RedirPort::Impl::control(uint64_t id, usb_redir_control_packet_header *h, uint8_t *data,
                              int len) {
    usb_redir_control_packet_header r = *h;
    const bool toHost = h->requesttype & 0x80;
    const uint8_t type = h->requesttype & 0x60;
    std::vector<uint8_t> in;
    r.status = usb_redir_success;
    if (type == 0x00) {
        if (!standardRequest(*h, in)) r.status = usb_redir_stall;
    } else if (type == 0x40 && form == Form::Rom) {
        vyrwire::Request q;
        q.op = vyrwire::OpControl;
        q.b1 = h->requesttype;
        q.b2 = h->request;
        q.wValue = h->value;
        q.wIndex = h->index;
        q.length = h->length;
        in.resize(h->length);
        uint32_t got = 0;
        int32_t res = romCall(q, toHost ? nullptr : data, toHost ? 0 : size_t(len), in, got);
        if (res == vyrwire::ErrNoDevice || res == vyrwire::ErrTimeout) {
            // No answer from the device: the host's own time-out (or the
            // disconnect that follows) ends the transfer.
            return;
        }
        in.resize(toHost && res >= 0 ? std::min<size_t>(got, h->length) : 0);
        if (res == vyrwire::ErrPipe)
            r.status = usb_redir_stall;
        else if (res < 0)
            r.status = usb_redir_ioerror;
    } else if (type == 0x20 && form == Form::MassStorage && h->request == ReqGetMaxLun && toHost) {
        in = {0};
    } else if (type == 0x20 && form == Form::MassStorage && h->request == ReqMassStorageReset &&
               !toHost) {
        disk.reset();
    } else {
        r.status = usb_redir_stall;
    }
    if (toHost) {
        if (in.size() > h->length) in.resize(h->length);
        r.length = uint16_t(in.size());
        usbredirparser_send_control_packet(parser, id, &r, in.empty() ? nullptr : in.data(),
                                           int(in.size()));
    } else {
        r.length = r.status == usb_redir_success ? h->length : 0;
        usbredirparser_send_control_packet(parser, id, &r, nullptr, 0);
    }
}

void RedirPort::Impl::bulk(uint64_t id, usb_redir_bulk_packet_header *h, uint8_t *data, int len) {
    usb_redir_bulk_packet_header r = *h;
    const bool in = h->endpoint & 0x80;
    const uint32_t length = uint32_t(h->length) | uint32_t(h->length_high) << 16;
    std::vector<uint8_t> out;
    int32_t moved = -1;
    r.status = usb_redir_success;
    if (form == Form::Rom) {
        vyrwire::Request q;
        q.op = in ? vyrwire::OpBulkIn : vyrwire::OpBulkOut;
        q.b1 = h->endpoint;
        q.length = in ? length : uint32_t(len);
        if (in) out.resize(length);
        uint32_t got = 0;
        int32_t res = romCall(q, in ? nullptr : data, in ? 0 : size_t(len), out, got);
        if (res == vyrwire::ErrNoDevice || res == vyrwire::ErrTimeout) return;
        if (res >= 0) {
            moved = in ? int32_t(std::min(got, length)) : res;
            out.resize(in ? size_t(moved) : 0);
        } else {
            r.status = res == vyrwire::ErrPipe ? usb_redir_stall : usb_redir_ioerror;
            out.clear();
        }
    } else if (form == Form::MassStorage) {
        moved = in ? disk.bulkIn(length, out) : disk.bulkOut(data, size_t(len));
        if (moved < 0) {
            r.status = usb_redir_stall;
            out.clear();
        }
        if (in && due == Due::Leave && disk.idle()) dueAt = Clock::now(); // its status went out
    } else {
        r.status = usb_redir_ioerror;
    }
    uint32_t n = moved > 0 ? uint32_t(moved) : 0;
    r.length = uint16_t(n);
    r.length_high = uint16_t(n >> 16);
    usbredirparser_send_bulk_packet(parser, id, &r, in && n ? out.data() : nullptr,
                                    in ? int(n) : 0);
}

BulkOnlyDisk::VendorReply RedirPort::Impl::vendorCommand(const std::vector<uint8_t> &cdb,
                                                         BulkOnlyDisk::Direction dir,
                                                         const std::vector<uint8_t> &dataOut,
                                                         uint32_t length) {
    BulkOnlyDisk::VendorReply v;
    vyrwire::Request q;
    q.op = vyrwire::OpScsi;
    q.b1 = uint8_t(cdb.size());
    q.b2 = dir == BulkOnlyDisk::Direction::ToDevice     ? vyrwire::ScsiToDevice
           : dir == BulkOnlyDisk::Direction::FromDevice ? vyrwire::ScsiFromDevice
                                                        : vyrwire::ScsiNone;
    q.length = length;
    q.timeoutMs = WireTimeoutMs;
    std::vector<uint8_t> payload(vyrwire::ScsiCdbSize, 0);
    std::copy(cdb.begin(), cdb.begin() + std::min(cdb.size(), payload.size()), payload.begin());
    if (dir == BulkOnlyDisk::Direction::ToDevice) {
        std::vector<uint8_t> data = dataOut;
        data.resize(length);
        payload.insert(payload.end(), data.begin(), data.end());
    }
    std::vector<uint8_t> reply(vyrwire::ScsiReplyPrefix + length);
    uint32_t got = 0;
    int32_t res = recFd < 0 ? vyrwire::ErrNoDevice
                            : vyrwire::call(recFd, q, payload.data(), payload.size(), reply.data(),
                                            reply.size(), &got);
    if (res != 0 || got < vyrwire::ScsiReplyPrefix) {
        // The model could not answer: a hardware error, internal target failure.
        v.status = 2;
        v.sense = std::vector<uint8_t>(18, 0);
        v.sense[0] = 0x70;
        v.sense[2] = 0x04;
        v.sense[7] = 10;
        v.sense[12] = 0x44;
        return v;
    }
    v.status = reply[0];
    v.sense.assign(reply.begin() + 4, reply.begin() + 4 + std::min<size_t>(reply[1], 32));
    v.data.assign(reply.begin() + vyrwire::ScsiReplyPrefix, reply.begin() + got);
    return v;
}

// ---------------------------------------------------------------------------
// The device coming and going

void RedirPort::Impl::attach(uint8_t ifClass, uint8_t ifSubclass, uint8_t ifProtocol,
                             uint16_t product) {
    usb_redir_interface_info_header ii{};
    ii.interface_count = 1;
    ii.interface_class[0] = ifClass;
    ii.interface_subclass[0] = ifSubclass;
    ii.interface_protocol[0] = ifProtocol;
    usbredirparser_send_interface_info(parser, &ii);

    usb_redir_ep_info_header ep{};
    std::memset(ep.type, usb_redir_type_invalid, sizeof ep.type);
    ep.type[0] = ep.type[16] = usb_redir_type_control;
    ep.max_packet_size[0] = ep.max_packet_size[16] = MaxPacket;
    for (uint8_t a : {EpIn, EpOut}) {
        ep.type[epIndex(a)] = usb_redir_type_bulk;
        ep.max_packet_size[epIndex(a)] = MaxPacket;
    }
    usbredirparser_send_ep_info(parser, &ep);

    usb_redir_device_connect_header dc{};
    dc.speed = usb_redir_speed_full;
    dc.vendor_id = VendorId;
    dc.product_id = product;
    dc.device_version_bcd = 0x0100;
    usbredirparser_send_device_connect(parser, &dc);
    attached = true;
    configuration = 0;
}

void RedirPort::Impl::attachRom() {
    if (!setUpDone) {
        if (cfg.devSpec.setUp) cfg.devSpec.setUp(rom);
        setUpDone = true;
    }
    if (romFd >= 0) ::close(romFd);
    romFd = rom.connect();
    if (romFd < 0) {
        form = Form::Gone;
        say("error cannot serve");
        return;
    }
    form = Form::Rom;
    attach(0xff, 0x00, 0x00, RomProduct);
    say("plug rom");
}

void RedirPort::Impl::attachStorage() {
    std::string error;
    if (!disk.open(cfg.imagePath, &error)) {
        form = Form::Gone;
        say("error " + error);
        return;
    }
    if (!recovery) {
        RecoveryConfig rc = cfg.devSpec.recovery;
        const std::string image = cfg.imagePath, expected = cfg.expectedUpdate;
        rc.checkUpdate = [image, expected](const std::string &file) {
            return checkUpdateInImage(image, file, expected);
        };
        auto made = std::make_unique<RecoveryVolume>(std::string(), rc);
        made->onLeave = [this](const std::string &) {
            recoveryLeft = true;
            wake();
        };
        std::lock_guard<std::mutex> g(recoveryMu);
        recovery = std::move(made);
    }
    if (recFd >= 0) ::close(recFd);
    recFd = recovery->connect();
    disk.setVendorHandler([this](const std::vector<uint8_t> &cdb, BulkOnlyDisk::Direction dir,
                                 const std::vector<uint8_t> &dataOut, uint32_t length) {
        return vendorCommand(cdb, dir, dataOut, length);
    });
    form = Form::MassStorage;
    attach(0x08, 0x06, 0x50, RecoveryProduct);
    say("plug mass-storage");
}

void RedirPort::Impl::detach() {
    if (attached && parser) usbredirparser_send_device_disconnect(parser);
    attached = false;
    if (romFd >= 0) ::close(romFd);
    if (recFd >= 0) ::close(recFd);
    romFd = recFd = -1;
    disk.reset();
}

void RedirPort::Impl::handleEvents() {
    if (bootmSeen.exchange(false)) {
        detach();
        say("bootm");
        if (cfg.devSpec.neverComesBack) {
            form = Form::Gone;
            due = Due::None;
        } else {
            form = Form::Booting;
            schedule(Due::PlugStorage, cfg.devSpec.bootMs);
        }
    }
    if (runLeft.exchange(false)) {
        detach();
        say("leave on run");
        if (cfg.devSpec.neverComesBack) {
            form = Form::Gone;
            due = Due::None;
        } else {
            form = Form::Booting;
            schedule(Due::PlugRom, cfg.devSpec.reenumerateMs);
        }
    }
    if (recoveryLeft.exchange(false) && form == Form::MassStorage)
        schedule(Due::Leave, disk.idle() ? 0 : LeaveGraceMs);

    if (due == Due::None || Clock::now() < dueAt) return;
    Due what = due;
    due = Due::None;
    switch (what) {
    case Due::PlugRom:
        attachRom();
        break;
    case Due::PlugStorage:
        attachStorage();
        break;
    case Due::CheckDrop:
        if (form == Form::Rom && !rom.onBus() && !bootmSeen && !runLeft) {
            detach();
            form = Form::Gone;
            say("drop");
        }
        break;
    case Due::Leave:
        detach();
        form = Form::Gone;
        say("leave");
        break;
    case Due::None:
        break;
    }
}

// ---------------------------------------------------------------------------
// The protocol connection

namespace {

void logCb(void *, int level, const char *msg) {
    if (level <= usbredirparser_error) std::fprintf(stderr, "usbredir: %s\n", msg);
}

int readCb(void *priv, uint8_t *data, int count) {
    auto *d = RedirPort::Impl::self(priv);
    for (;;) {
        ssize_t n = ::read(d->connFd, data, size_t(count));
        if (n > 0) return int(n);
        if (n == 0) return -1; // the guest side closed
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

int writeCb(void *priv, uint8_t *data, int count) {
    auto *d = RedirPort::Impl::self(priv);
    for (;;) {
        ssize_t n = ::send(d->connFd, data, size_t(count), MSG_NOSIGNAL);
        if (n >= 0) return int(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

} // namespace

void RedirPort::Impl::flush() {
    while (usbredirparser_has_data_to_write(parser)) {
        if (usbredirparser_do_write(parser) != 0) return;
        pollfd p{connFd, POLLOUT, 0};
        if (usbredirparser_has_data_to_write(parser) && ::poll(&p, 1, 1000) <= 0) return;
    }
}

void RedirPort::Impl::serve(int fd) {
    connFd = fd;
    attached = false;
    parser = usbredirparser_create();
    parser->priv = this;
    parser->log_func = logCb;
    parser->read_func = readCb;
    parser->write_func = writeCb;
    parser->hello_func = [](void *priv, usb_redir_hello_header *) {
        auto *d = self(priv);
        if (d->form == Form::Waiting)
            d->schedule(Due::PlugRom, d->cfg.plugMs);
        else if (d->form == Form::Rom)
            d->attachRom(); // the guest side came back: show the device again
        else if (d->form == Form::MassStorage)
            d->attachStorage();
    };
    parser->reset_func = [](void *priv) {
        auto *d = self(priv);
        if (d->form == Form::Rom) {
            vyrwire::Request q;
            q.op = vyrwire::OpReset;
            std::vector<uint8_t> none;
            uint32_t got = 0;
            d->romCall(q, nullptr, 0, none, got);
        } else if (d->form == Form::MassStorage) {
            d->disk.reset();
        }
    };
    parser->set_configuration_func = [](void *priv, uint64_t id,
                                        usb_redir_set_configuration_header *h) {
        auto *d = self(priv);
        d->configuration = h->configuration;
        usb_redir_configuration_status_header s{usb_redir_success, d->configuration};
        usbredirparser_send_configuration_status(d->parser, id, &s);
    };
    parser->get_configuration_func = [](void *priv, uint64_t id) {
        auto *d = self(priv);
        usb_redir_configuration_status_header s{usb_redir_success, d->configuration};
        usbredirparser_send_configuration_status(d->parser, id, &s);
    };
    parser->set_alt_setting_func = [](void *priv, uint64_t id,
                                      usb_redir_set_alt_setting_header *h) {
        auto *d = self(priv);
        usb_redir_alt_setting_status_header s{
            uint8_t(h->interface == 0 && h->alt == 0 ? usb_redir_success : usb_redir_inval),
            h->interface, 0};
        usbredirparser_send_alt_setting_status(d->parser, id, &s);
    };
    parser->get_alt_setting_func = [](void *priv, uint64_t id,
                                      usb_redir_get_alt_setting_header *h) {
        auto *d = self(priv);
        usb_redir_alt_setting_status_header s{usb_redir_success, h->interface, 0};
        usbredirparser_send_alt_setting_status(d->parser, id, &s);
    };
    parser->start_iso_stream_func = [](void *priv, uint64_t id,
                                       usb_redir_start_iso_stream_header *h) {
        usb_redir_iso_stream_status_header s{usb_redir_inval, h->endpoint};
        usbredirparser_send_iso_stream_status(self(priv)->parser, id, &s);
    };
    parser->stop_iso_stream_func = [](void *priv, uint64_t id,
                                      usb_redir_stop_iso_stream_header *h) {
        usb_redir_iso_stream_status_header s{usb_redir_success, h->endpoint};
        usbredirparser_send_iso_stream_status(self(priv)->parser, id, &s);
    };
    parser->start_interrupt_receiving_func = [](void *priv, uint64_t id,
                                                usb_redir_start_interrupt_receiving_header *h) {
        usb_redir_interrupt_receiving_status_header s{usb_redir_inval, h->endpoint};
        usbredirparser_send_interrupt_receiving_status(self(priv)->parser, id, &s);
    };
    parser->stop_interrupt_receiving_func = [](void *priv, uint64_t id,
                                               usb_redir_stop_interrupt_receiving_header *h) {
        usb_redir_interrupt_receiving_status_header s{usb_redir_success, h->endpoint};
        usbredirparser_send_interrupt_receiving_status(self(priv)->parser, id, &s);
    };
    parser->alloc_bulk_streams_func = [](void *priv, uint64_t id,
                                         usb_redir_alloc_bulk_streams_header *h) {
        usb_redir_bulk_streams_status_header s{h->endpoints, 0, usb_redir_inval};
        usbredirparser_send_bulk_streams_status(self(priv)->parser, id, &s);
    };
    parser->free_bulk_streams_func = [](void *priv, uint64_t id,
                                        usb_redir_free_bulk_streams_header *h) {
        usb_redir_bulk_streams_status_header s{h->endpoints, 0, usb_redir_success};
        usbredirparser_send_bulk_streams_status(self(priv)->parser, id, &s);
    };
    // Every packet is answered before the next one is read, so a cancel
    // always comes too late to matter.
    parser->cancel_data_packet_func = [](void *, uint64_t) {};
    parser->filter_reject_func = [](void *) {};
    parser->filter_filter_func = [](void *, usbredirfilter_rule *rules, int) { free(rules); };
    parser->device_disconnect_ack_func = [](void *) {};
    parser->start_bulk_receiving_func = [](void *priv, uint64_t id,
                                           usb_redir_start_bulk_receiving_header *h) {
        usb_redir_bulk_receiving_status_header s{h->stream_id, h->endpoint, usb_redir_inval};
        usbredirparser_send_bulk_receiving_status(self(priv)->parser, id, &s);
    };
    parser->stop_bulk_receiving_func = [](void *priv, uint64_t id,
                                          usb_redir_stop_bulk_receiving_header *h) {
        usb_redir_bulk_receiving_status_header s{h->stream_id, h->endpoint, usb_redir_success};
        usbredirparser_send_bulk_receiving_status(self(priv)->parser, id, &s);
    };
    parser->control_packet_func = [](void *priv, uint64_t id, usb_redir_control_packet_header *h,
                                     uint8_t *data, int len) {
        auto *d = self(priv);
        d->control(id, h, data, len);
        usbredirparser_free_packet_data(d->parser, data);
    };
    parser->bulk_packet_func = [](void *priv, uint64_t id, usb_redir_bulk_packet_header *h,
                                  uint8_t *data, int len) {
        auto *d = self(priv);
        d->bulk(id, h, data, len);
        usbredirparser_free_packet_data(d->parser, data);
    };
    parser->iso_packet_func = [](void *priv, uint64_t, usb_redir_iso_packet_header *, uint8_t *data,
                                 int) {
        usbredirparser_free_packet_data(self(priv)->parser, data);
    };
    parser->interrupt_packet_func = [](void *priv, uint64_t, usb_redir_interrupt_packet_header *,
                                       uint8_t *data, int) {
        usbredirparser_free_packet_data(self(priv)->parser, data);
    };

    uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
    usbredirparser_init(parser, "vyrsim usbredir", caps, USB_REDIR_CAPS_SIZE,
                        usbredirparser_fl_usb_host);

    while (!stopping) {
        flush();
        int timeout = -1;
        if (due != Due::None) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(dueAt - Clock::now());
            timeout = int(std::max<long long>(0, left.count()));
        }
        pollfd p[2] = {
            {connFd, short(POLLIN | (usbredirparser_has_data_to_write(parser) ? POLLOUT : 0)), 0},
            {wakeFd, POLLIN, 0}};
        int n = ::poll(p, 2, timeout);
        if (n < 0 && errno != EINTR) break;
        if (p[1].revents & POLLIN) {
            uint64_t v;
            ssize_t r = ::read(wakeFd, &v, sizeof v);
            (void)r;
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (usbredirparser_do_read(parser) == usbredirparser_read_io_error) break;
        }
        handleEvents();
    }
    flush();
    usbredirparser_destroy(parser);
    parser = nullptr;
    attached = false;
    ::close(connFd);
    connFd = -1;
}

void RedirPort::Impl::run() {
    while (!stopping) {
        pollfd p[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (p[1].revents & POLLIN) {
            uint64_t v;
            ssize_t r = ::read(wakeFd, &v, sizeof v);
            (void)r;
        }
        if (stopping) break;
        if (!(p[0].revents & POLLIN)) continue;
        int c = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c >= 0) serve(c);
    }
}

// ---------------------------------------------------------------------------

RedirPort::RedirPort(RedirPortConfig cfg, std::function<void(const std::string &)> events)
    : d(new Impl(std::move(cfg), std::move(events))) {
    d->rom.onBootm = [this] {
        d->bootmSeen = true;
        d->wake();
    };
    d->rom.onRun = [this](int) {
        if (!d->rom.onBus()) {
            d->runLeft = true;
            d->wake();
        }
    };
}

RedirPort::~RedirPort() {
    stop();
}

bool RedirPort::start(std::string *error) {
    d->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string &path = d->cfg.socketPath;
    bool ok = d->wakeFd >= 0 && fd >= 0 && path.size() < sizeof addr.sun_path;
    if (ok) {
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        ::unlink(path.c_str());
        ok = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
             ::listen(fd, 2) == 0;
    }
    if (!ok) {
        if (error) *error = path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    d->listenFd = fd;
    d->thread = std::thread([this] { d->run(); });
    return true;
}

void RedirPort::stop() {
    if (!d->thread.joinable()) return;
    d->stopping = true;
    d->wake();
    d->thread.join();
    d->detach();
    ::close(d->listenFd);
    ::close(d->wakeFd);
    ::unlink(d->cfg.socketPath.c_str());
    d->rom.leaveBus();
    if (d->recovery) d->recovery->leave();
}

RedirPort::Form RedirPort::form() const {
    return d->form;
}
RomDevice &RedirPort::rom() {
    return d->rom;
}
RecoveryVolume *RedirPort::recovery() {
    std::lock_guard<std::mutex> g(d->recoveryMu);
    return d->recovery.get();
}
const RedirPortConfig &RedirPort::config() const {
    return d->cfg;
}

} // namespace vyrsim
