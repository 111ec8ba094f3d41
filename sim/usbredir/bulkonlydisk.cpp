#include "bulkonlydisk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vyrsim {

namespace {

constexpr uint32_t CbwSignature = 0x43425355; // "USBC"
constexpr uint32_t CswSignature = 0x53425355; // "USBS"
constexpr size_t CbwSize = 31;
constexpr size_t CswSize = 13;
constexpr uint32_t MaxBufferedData = 1u << 20; // a non-streaming command never needs more

// Sense keys and additional sense codes.
enum : uint8_t { KeyNotReady = 0x02, KeyMediumError = 0x03, KeyIllegalRequest = 0x05 };
enum : uint8_t { AscInvalidOpcode = 0x20, AscLbaOutOfRange = 0x21, AscInvalidField = 0x24 };

uint32_t get32le(const uint8_t *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint32_t get32be(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
uint16_t get16be(const uint8_t *p) {
    return uint16_t(p[0] << 8 | p[1]);
}
uint64_t get64be(const uint8_t *p) {
    return uint64_t(get32be(p)) << 32 | get32be(p + 4);
}
void put32le(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
void put32be(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (24 - 8 * i));
}

// Space-padded fixed-width text of an INQUIRY answer.
void putText(uint8_t *p, size_t width, const std::string &text) {
    std::memset(p, ' ', width);
    std::memcpy(p, text.data(), std::min(width, text.size()));
}

} // namespace

BulkOnlyDisk::~BulkOnlyDisk() {
    if (fd_ >= 0) ::close(fd_);
}

bool BulkOnlyDisk::open(const std::string &imagePath, std::string *error) {
    int fd = ::open(imagePath.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size < off_t(BlockSize)) {
        if (error) *error = imagePath + ": " + (fd < 0 ? std::strerror(errno) : "not a disk image");
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    blocks_ = uint64_t(st.st_size) / BlockSize;
    reset();
    return true;
}

void BulkOnlyDisk::setIdentity(std::string vendor, std::string product) {
    vendorId_ = std::move(vendor);
    productId_ = std::move(product);
}

void BulkOnlyDisk::reset() {
    phase_ = Phase::Command;
    inData_.clear();
    outData_.clear();
    streaming_ = false;
}

void BulkOnlyDisk::setSense(uint8_t key, uint8_t asc, uint8_t ascq) {
    senseKey_ = key;
    asc_ = asc;
    ascq_ = ascq;
}

void BulkOnlyDisk::fail(uint8_t key, uint8_t asc) {
    setSense(key, asc);
    status_ = 1;
}

bool BulkOnlyDisk::blockRange(uint64_t lba, uint32_t blocks) {
    if (lba > blocks_ || blocks > blocks_ - lba) {
        fail(KeyIllegalRequest, AscLbaOutOfRange);
        return false;
    }
    return true;
}

int BulkOnlyDisk::bulkOut(const uint8_t *data, size_t len) {
    if (phase_ == Phase::Command) {
        if (len != CbwSize || get32le(data) != CbwSignature) return -1; // not a command block
        tag_ = get32le(data + 4);
        expected_ = get32le(data + 8);
        dataIn_ = (data[12] & 0x80) != 0;
        size_t cdbLen = std::min<size_t>(data[14] & 0x1f, 16);
        cdb_.assign(data + 15, data + 15 + cdbLen);
        if (cdb_.empty()) cdb_.push_back(0xff); // an empty block is no command we know
        opcodes_.push_back(cdb_[0]);
        moved_ = 0;
        status_ = 0;
        inData_.clear();
        outData_.clear();
        streaming_ = false;
        if (expected_ > 0 && !dataIn_) {
            phase_ = Phase::DataOut;
            execute(); // a WRITE checks its range now and streams; others wait for the data
        } else {
            execute();
            phase_ = expected_ > 0 ? Phase::DataIn : Phase::Status;
        }
        return int(len);
    }
    if (phase_ != Phase::DataOut) return -1;
    size_t take = std::min<size_t>(len, expected_ - moved_);
    if (streaming_) {
        size_t inRange =
            moved_ < streamLength_ ? std::min<size_t>(take, streamLength_ - moved_) : 0;
        if (inRange > 0 &&
            ::pwrite(fd_, data, inRange, off_t(streamOffset_ + moved_)) != ssize_t(inRange))
            fail(KeyMediumError, 0x0c); // write error
    } else if (outData_.size() + take <= MaxBufferedData) {
        outData_.insert(outData_.end(), data, data + take);
    }
    moved_ += uint32_t(take);
    if (moved_ >= expected_) finishDataOut();
    return int(take);
}

void BulkOnlyDisk::finishDataOut() {
    if (!streaming_ && status_ == 0) execute();
    phase_ = Phase::Status;
}

int BulkOnlyDisk::readBlocks(size_t len, std::vector<uint8_t> &out) {
    size_t left = moved_ < streamLength_ ? streamLength_ - moved_ : 0;
    size_t n = std::min(len, left);
    out.resize(n);
    if (n > 0 && ::pread(fd_, out.data(), n, off_t(streamOffset_ + moved_)) != ssize_t(n)) {
        fail(KeyMediumError, 0x11); // unrecovered read error
        out.clear();
        n = 0;
    }
    return int(n);
}

int BulkOnlyDisk::bulkIn(size_t len, std::vector<uint8_t> &out) {
    out.clear();
    if (phase_ == Phase::DataIn) {
        size_t room = std::min<size_t>(len, expected_ - moved_);
        if (streaming_) {
            readBlocks(room, out);
        } else {
            size_t left = moved_ < inData_.size() ? inData_.size() - moved_ : 0;
            size_t n = std::min(room, left);
            out.assign(inData_.begin() + moved_, inData_.begin() + moved_ + n);
        }
        moved_ += uint32_t(out.size());
        // A transfer shorter than asked for ends the data stage.
        if (out.size() < len || moved_ >= expected_) phase_ = Phase::Status;
        return int(out.size());
    }
    if (phase_ != Phase::Status) return -1;
    out.assign(CswSize, 0);
    put32le(out.data(), CswSignature);
    put32le(out.data() + 4, tag_);
    put32le(out.data() + 8, expected_ - std::min(moved_, expected_));
    out[12] = status_;
    phase_ = Phase::Command;
    return int(out.size());
}

// Runs the command in cdb_. For a data-in command it fills inData_ (or sets
// up streaming); for a data-out command it is called at the command block
// (WRITE sets up streaming, others return) and again once the data is in.
void BulkOnlyDisk::execute() {
    const uint8_t op = cdb_[0];
    const bool haveData = phase_ != Phase::DataOut || moved_ >= expected_;
    auto reply = [this](std::vector<uint8_t> data) {
        if (data.size() > expected_) data.resize(expected_);
        inData_ = std::move(data);
    };
    auto need = [this](size_t len) {
        if (cdb_.size() >= len) return true;
        fail(KeyIllegalRequest, AscInvalidField);
        return false;
    };
    auto stream = [this](uint64_t lba, uint32_t blocks, bool write) {
        if (!blockRange(lba, blocks)) return;
        if (write == dataIn_ && blocks > 0) { // the wrapper's direction disagrees
            fail(KeyIllegalRequest, AscInvalidField);
            return;
        }
        streaming_ = true;
        streamOffset_ = lba * BlockSize;
        streamLength_ = std::min<uint32_t>(blocks * BlockSize, expected_);
    };

    if (op >= 0xc0) {
        if (!haveData) return;
        if (!vendor_) {
            fail(KeyIllegalRequest, AscInvalidOpcode);
            return;
        }
        Direction dir = expected_ == 0 ? Direction::None
                        : dataIn_      ? Direction::FromDevice
                                       : Direction::ToDevice;
        VendorReply r = vendor_(cdb_, dir, outData_, expected_);
        if (r.status != 0) {
            status_ = 1;
            if (r.sense.size() >= 14)
                setSense(r.sense[2] & 0x0f, r.sense[12], r.sense[13]);
            else
                setSense(KeyIllegalRequest, AscInvalidOpcode);
        }
        if (dataIn_) reply(std::move(r.data));
        return;
    }

    switch (op) {
    case 0x00: // TEST UNIT READY
    case 0x1b: // START STOP UNIT
    case 0x1e: // PREVENT ALLOW MEDIUM REMOVAL
    case 0x2f: // VERIFY(10)
        break;
    case 0x03: { // REQUEST SENSE: fixed format, then the sense is cleared
        std::vector<uint8_t> s(18, 0);
        s[0] = 0x70;
        s[2] = senseKey_;
        s[7] = 10;
        s[12] = asc_;
        s[13] = ascq_;
        setSense(0, 0);
        reply(std::move(s));
        return;
    }
    case 0x12: { // INQUIRY
        if (!need(6)) return;
        if (cdb_[1] & 0x01) { // vital product data pages: none
            fail(KeyIllegalRequest, AscInvalidField);
            return;
        }
        std::vector<uint8_t> q(36, 0);
        q[0] = 0x00; // direct-access block device
        q[1] = 0x80; // removable medium
        q[2] = 0x04; // SPC-2
        q[3] = 0x02; // response data format
        q[4] = 31;   // additional length
        putText(&q[8], 8, vendorId_);
        putText(&q[16], 16, productId_);
        putText(&q[32], 4, "1.00");
        reply(std::move(q));
        return;
    }
    case 0x1a: // MODE SENSE(6): header only, not write-protected, no pages
        reply({3, 0, 0, 0});
        return;
    case 0x5a: // MODE SENSE(10)
        reply({0, 6, 0, 0, 0, 0, 0, 0});
        return;
    case 0x25: { // READ CAPACITY(10)
        std::vector<uint8_t> c(8, 0);
        put32be(c.data(), uint32_t(std::min<uint64_t>(blocks_ - 1, 0xffffffffu)));
        put32be(c.data() + 4, BlockSize);
        reply(std::move(c));
        return;
    }
    case 0x9e: { // SERVICE ACTION IN: READ CAPACITY(16)
        if (!need(16) || (cdb_[1] & 0x1f) != 0x10) {
            fail(KeyIllegalRequest, AscInvalidField);
            return;
        }
        std::vector<uint8_t> c(32, 0);
        put32be(c.data(), uint32_t((blocks_ - 1) >> 32));
        put32be(c.data() + 4, uint32_t(blocks_ - 1));
        put32be(c.data() + 8, BlockSize);
        reply(std::move(c));
        return;
    }
    case 0x08: // READ(6)
    case 0x0a: // WRITE(6)
        if (!need(6)) return;
        stream(uint64_t(cdb_[1] & 0x1f) << 16 | cdb_[2] << 8 | cdb_[3], cdb_[4] ? cdb_[4] : 256,
               op == 0x0a);
        return;
    case 0x28: // READ(10)
    case 0x2a: // WRITE(10)
        if (!need(10)) return;
        stream(get32be(&cdb_[2]), get16be(&cdb_[7]), op == 0x2a);
        return;
    case 0x88: // READ(16)
    case 0x8a: // WRITE(16)
        if (!need(16)) return;
        stream(get64be(&cdb_[2]), get32be(&cdb_[10]), op == 0x8a);
        return;
    case 0x35: // SYNCHRONIZE CACHE(10)
        if (::fdatasync(fd_) != 0) fail(KeyMediumError, 0x0c);
        break;
    default:
        fail(KeyIllegalRequest, AscInvalidOpcode);
        return;
    }
}

} // namespace vyrsim
