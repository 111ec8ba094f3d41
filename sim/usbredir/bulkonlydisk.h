// A USB mass-storage disk as the device side of the bulk-only transport: the
// command block wrapper on bulk OUT, the data stage, the status wrapper on
// bulk IN, and the SCSI commands a kernel's disk driver sends, answered from a
// disk image file (512-byte blocks). Operation codes from 0xC0 up (vendor
// commands) go to a handler set by the owner.
//
// Not thread-safe: one transport thread drives it, one bulk transfer at a time.
#ifndef VYRSIM_BULKONLYDISK_H
#define VYRSIM_BULKONLYDISK_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vyrsim {

class BulkOnlyDisk {
  public:
    struct VendorReply {
        uint8_t status = 0;         // SCSI status: 0 good, 2 check condition
        std::vector<uint8_t> sense; // fixed-format sense data (check condition)
        std::vector<uint8_t> data;  // device-to-host data
    };
    enum class Direction { None, ToDevice, FromDevice };
    using VendorHandler =
        std::function<VendorReply(const std::vector<uint8_t> &cdb, Direction,
                                  const std::vector<uint8_t> &dataOut, uint32_t length)>;

    static constexpr uint32_t BlockSize = 512;

    BulkOnlyDisk() = default;
    ~BulkOnlyDisk();
    BulkOnlyDisk(const BulkOnlyDisk &) = delete;
    BulkOnlyDisk &operator=(const BulkOnlyDisk &) = delete;

    // Serves the image file (opened read-write; its size sets the capacity).
    bool open(const std::string &imagePath, std::string *error);
    void setVendorHandler(VendorHandler h) { vendor_ = std::move(h); }
    void setIdentity(std::string vendor, std::string product);

    // One bulk OUT transfer; the bytes taken, or -1 for a stall.
    int bulkOut(const uint8_t *data, size_t len);
    // One bulk IN transfer of at most len bytes into out; -1 for a stall.
    int bulkIn(size_t len, std::vector<uint8_t> &out);
    // Bulk-Only Mass Storage Reset: back to waiting for a command block.
    void reset();
    // Waiting for a command block: the last command's status has gone out.
    bool idle() const { return phase_ == Phase::Command; }

    // Operation codes of every command block received, in order.
    const std::vector<uint8_t> &opcodes() const { return opcodes_; }

  private:
    enum class Phase { Command, DataOut, DataIn, Status };
    void execute();
    void finishDataOut();
    void setSense(uint8_t key, uint8_t asc, uint8_t ascq = 0);
    void fail(uint8_t key, uint8_t asc);
    bool blockRange(uint64_t lba, uint32_t blocks);
    int readBlocks(size_t len, std::vector<uint8_t> &out);

    int fd_ = -1;
    uint64_t blocks_ = 0;
    std::string vendorId_ = "Vyrtek", productId_ = "Recovery";
    VendorHandler vendor_;

    Phase phase_ = Phase::Command;
    uint32_t tag_ = 0;
    uint32_t expected_ = 0; // dCBWDataTransferLength
    bool dataIn_ = false;   // bmCBWFlags direction
    std::vector<uint8_t> cdb_;
    uint32_t moved_ = 0;           // bytes of the data stage moved so far
    uint8_t status_ = 0;           // CSW status: 0 passed, 1 failed, 2 phase error
    std::vector<uint8_t> inData_;  // data-in stage of a buffered command
    std::vector<uint8_t> outData_; // data-out stage of a buffered command
    bool streaming_ = false;       // READ/WRITE: the stage goes to the image directly
    uint64_t streamOffset_ = 0;
    uint32_t streamLength_ = 0;
    uint8_t senseKey_ = 0, asc_ = 0, ascq_ = 0;
    std::vector<uint8_t> opcodes_;
};

} // namespace vyrsim

#endif
