// The simulated camera's files: a small in-memory store (user data, a read-only user set, a
// user file) reached through the standard file access features, as cameras keep files in flash.
//
// A client selects a file and an operation, sets the open mode or the offset and length of a
// transfer, moves data through the transfer buffer in device memory, and writes the execute
// register; the status and result registers then say how the operation went. The unit is strict
// in what it takes: a transfer beyond the file or the buffer, a write to a file opened for
// reading, a second open or a close of a closed file all end with Failure.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace corvisk::sim {

// FileOperationSelector entry values.
enum class FileOp : uint32_t { Open = 0, Close = 1, Read = 2, Write = 3, Delete = 4 };

// How the unit is shaped (corvisk-sim --file-* options).
struct FileAccessConfig {
    // FileAccessBuffer length in bytes: the most one Read or Write moves (4..65536, a multiple
    // of 4).
    uint32_t buffer = 512;
    // This operation always ends with Failure (and a result of 0).
    std::optional<FileOp> fail;
    // After each execute the command reads back as still running this many times, and the
    // status and result show only once it is done: a device whose client must poll.
    uint32_t busy_reads = 0;
    // Leave FileOperationStatus (then only FileOperationResult tells) or FileSize (then a
    // short read ends a file) out of the description.
    bool describe_status = true;
    bool describe_size = true;
    // A read that reaches the end of the file ends with status Overflow (and the bytes it
    // read as its result), as some cameras report the end of a file.
    bool overflow_at_end = false;
};

namespace filereg {
constexpr uint32_t kSelector = 0x10800;  // FileSelector: 0 UserData, 1 UserSet1, 2 UserFile1
constexpr uint32_t kOperation = 0x10804;
constexpr uint32_t kOpenMode = 0x10808;  // 0 Read, 1 Write, 2 ReadWrite
constexpr uint32_t kExecute = 0x1080C;   // write 1: run; reads 1 while running
constexpr uint32_t kOffset = 0x10810;
constexpr uint32_t kLength = 0x10814;
constexpr uint32_t kStatus = 0x10818;  // 0 Success, 1 Failure
constexpr uint32_t kResult = 0x1081C;  // bytes moved by the last Read or Write
constexpr uint32_t kSize = 0x10820;    // size of the selected file
constexpr uint32_t kEnd = 0x10824;
constexpr uint32_t kBuffer = 0x20000;     // FileAccessBuffer
constexpr uint32_t kBufferMax = 0x10000;  // largest buffer
constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusFailure = 1;
constexpr uint32_t kStatusOverflow = 2;
}  // namespace filereg

// Open modes as the store takes them.
constexpr uint32_t kFileModeRead = 0, kFileModeWrite = 1, kFileModeReadWrite = 2;

// One file operation as the registers ask for it.
struct FileRequest {
    FileOp op = FileOp::Open;
    uint32_t mode = kFileModeRead;  // for Open
    uint32_t offset = 0;            // for Read and Write
    uint32_t length = 0;
};

// The files and what may be done to them, without registers: shared by the simulated camera's
// own file access and the one behind a served description.
class FileStore {
  public:
    struct File {
        std::string name;
        std::vector<uint8_t> data;
        uint32_t capacity = 0;
        bool fixed_size = false;  // writes overwrite, never grow or shrink it
        bool writable = false;
        bool deletable = false;
        std::optional<uint32_t> mode = std::nullopt;  // open mode while open
    };

    void add(File f) { files_.push_back(std::move(f)); }
    size_t count() const { return files_.size(); }
    const File& file(uint32_t n) const { return files_.at(n); }

    // Runs `r` on file `n` (< count()), moving data through `buffer`: true with the bytes moved
    // in `result`, or false for a refused operation.
    bool run(uint32_t n, const FileRequest& r, std::span<uint8_t> buffer, uint32_t& result);

  private:
    static bool open(File& f, uint32_t mode);
    static bool read_chunk(File& f, const FileRequest& r, std::span<uint8_t> buffer,
                           uint32_t& result);
    static bool write_chunk(File& f, const FileRequest& r, std::span<const uint8_t> buffer,
                            uint32_t& result);

    std::vector<File> files_;
};

// Not thread-safe: the GvcpDevice calls it under its lock.
class FileAccess {
  public:
    static constexpr uint32_t kUserDataSize = 64u << 10;
    static constexpr uint32_t kUserFileCapacity = 16u << 10;

    FileAccess(const FileAccessConfig& config, uint64_t seed);

    // True for the control registers and the transfer buffer.
    static bool owns(uint32_t addr);
    // GVCP status of a word access at an owned address.
    uint16_t read(uint32_t addr, uint32_t& out);
    uint16_t write(uint32_t addr, uint32_t value);

    // What a test checks: a file's bytes and whether the device holds it open.
    const std::vector<uint8_t>& contents(uint32_t file) const { return store_.file(file).data; }
    bool is_open(uint32_t file) const { return store_.file(file).mode.has_value(); }

  private:
    // Runs the selected operation and records its status and result.
    void execute();

    FileAccessConfig config_;
    FileStore store_;
    std::vector<uint8_t> buffer_;
    uint32_t selector_ = 0, operation_ = 0, open_mode_ = 0, offset_ = 0, length_ = 0;
    uint32_t status_ = filereg::kStatusSuccess, result_ = 0;
    uint32_t busy_left_ = 0;
};

// The description's file access features for `config`, inserted into the device's `xml` (a
// FileAccessControl category under Root).
std::string with_file_access(std::string xml, const FileAccessConfig& config);

}  // namespace corvisk::sim
