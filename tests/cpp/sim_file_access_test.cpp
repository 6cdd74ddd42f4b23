// The simulated camera's file store through its registers: what it refuses (transfers beyond
// the file or the buffer, writes to a file opened for reading, a second open, a close of a
// closed file, deleting an open or read-only file) and a command that reads back as running.
#include <gtest/gtest.h>

#include <cstring>

#include "description_device.hpp"
#include "file_access.hpp"
#include "gvcp_device.hpp"
#include "registers.hpp"

namespace corvisk::sim {
namespace {

constexpr uint32_t kUserData = 0, kUserSet1 = 1, kUserFile1 = 2;
constexpr uint32_t kRead = 0, kWrite = 1, kReadWrite = 2;

struct Store {
    FileAccess files;
    explicit Store(FileAccessConfig c = {}) : files(c, 1) {}

    uint32_t get(uint32_t addr) {
        uint32_t v = 0;
        EXPECT_EQ(files.read(addr, v), reg::kSuccess) << std::hex << addr;
        return v;
    }
    void set(uint32_t addr, uint32_t v) {
        EXPECT_EQ(files.write(addr, v), reg::kSuccess) << std::hex << addr;
    }
    // Runs `op` on `file`: true for Success.
    bool run(uint32_t file, FileOp op, uint32_t offset = 0, uint32_t length = 0) {
        set(filereg::kSelector, file);
        set(filereg::kOperation, static_cast<uint32_t>(op));
        set(filereg::kOffset, offset);
        set(filereg::kLength, length);
        set(filereg::kExecute, 1);
        return get(filereg::kStatus) == filereg::kStatusSuccess;
    }
    bool open(uint32_t file, uint32_t mode) {
        set(filereg::kOpenMode, mode);
        return run(file, FileOp::Open);
    }
};

TEST(SimFileAccess, RefusesWhatAStrictDeviceRefuses) {
    Store s;
    EXPECT_FALSE(s.open(kUserSet1, kWrite));        // read-only file
    EXPECT_FALSE(s.open(kUserSet1, 7));             // no such mode
    EXPECT_FALSE(s.run(kUserSet1, FileOp::Close));  // not open
    ASSERT_TRUE(s.open(kUserSet1, kRead));
    EXPECT_TRUE(s.files.is_open(kUserSet1));
    EXPECT_FALSE(s.open(kUserSet1, kRead));               // already open
    EXPECT_FALSE(s.run(kUserSet1, FileOp::Write, 0, 4));  // opened for reading
    EXPECT_FALSE(s.run(kUserSet1, FileOp::Delete));
    const auto size = static_cast<uint32_t>(s.files.contents(kUserSet1).size());
    EXPECT_EQ(s.get(filereg::kSize), size);
    EXPECT_FALSE(s.run(kUserSet1, FileOp::Read, size + 1, 4));   // starts past the end
    EXPECT_FALSE(s.run(kUserSet1, FileOp::Read, 0, 516));        // more than the buffer
    EXPECT_TRUE(s.run(kUserSet1, FileOp::Read, size - 3, 100));  // a short read ends it
    EXPECT_EQ(s.get(filereg::kResult), 3u);
    EXPECT_TRUE(s.run(kUserSet1, FileOp::Close));
    EXPECT_FALSE(s.files.is_open(kUserSet1));
    uint32_t ignored = 0;
    EXPECT_EQ(s.files.write(filereg::kSelector, 3), reg::kInvalidParameter);
    EXPECT_EQ(s.files.write(filereg::kStatus, 0), reg::kWriteProtect);
    EXPECT_EQ(s.files.read(filereg::kBuffer + 512, ignored), reg::kInvalidAddress);
}

TEST(SimFileAccess, WritesGrowOnlyWithoutHolesAndWithinCapacity) {
    FileAccessConfig c;
    c.buffer = 8;
    Store s(c);
    ASSERT_TRUE(s.open(kUserFile1, kReadWrite));
    s.set(filereg::kBuffer, 0x01020304);
    s.set(filereg::kBuffer + 4, 0x05060708);
    EXPECT_FALSE(s.run(kUserFile1, FileOp::Write, 1, 8));  // would leave a hole
    EXPECT_TRUE(s.run(kUserFile1, FileOp::Write, 0, 6));
    EXPECT_EQ(s.get(filereg::kResult), 6u);
    EXPECT_EQ(s.files.contents(kUserFile1), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(s.run(kUserFile1, FileOp::Write, FileAccess::kUserFileCapacity - 4, 8));
    EXPECT_FALSE(s.run(kUserFile1, FileOp::Delete));  // still open
    EXPECT_TRUE(s.run(kUserFile1, FileOp::Close));
    EXPECT_TRUE(s.run(kUserFile1, FileOp::Delete));
    EXPECT_TRUE(s.files.contents(kUserFile1).empty());
    ASSERT_TRUE(s.open(kUserData, kWrite));  // fixed size: overwritten, never truncated
    EXPECT_EQ(s.files.contents(kUserData).size(), FileAccess::kUserDataSize);
    EXPECT_FALSE(s.run(kUserData, FileOp::Write, FileAccess::kUserDataSize - 4, 8));
}

TEST(SimFileAccess, ABusyCommandShowsItsOutcomeOnlyOnceDone) {
    FileAccessConfig c;
    c.fail = FileOp::Close;
    c.busy_reads = 2;
    Store s(c);
    s.set(filereg::kOpenMode, kRead);
    s.set(filereg::kSelector, kUserSet1);
    s.set(filereg::kOperation, static_cast<uint32_t>(FileOp::Open));
    s.set(filereg::kExecute, 1);
    EXPECT_EQ(s.get(filereg::kStatus), filereg::kStatusFailure);  // not done yet
    EXPECT_EQ(s.get(filereg::kExecute), 1u);
    EXPECT_EQ(s.get(filereg::kExecute), 1u);
    EXPECT_EQ(s.get(filereg::kExecute), 0u);
    EXPECT_EQ(s.get(filereg::kStatus), filereg::kStatusSuccess);
    s.set(filereg::kOperation, static_cast<uint32_t>(FileOp::Close));
    s.set(filereg::kExecute, 1);
    EXPECT_EQ(s.get(filereg::kExecute), 1u);
    EXPECT_EQ(s.get(filereg::kExecute), 1u);
    EXPECT_EQ(s.get(filereg::kExecute), 0u);
    EXPECT_EQ(s.get(filereg::kStatus), filereg::kStatusFailure);  // --file-fail Close
    EXPECT_TRUE(s.files.is_open(kUserSet1));
}

std::shared_ptr<const Description> described(std::string xml) {
    auto d = prepare_description(std::vector<uint8_t>(xml.begin(), xml.end()), "own.xml", 1);
    EXPECT_TRUE(d.ok()) << (d.ok() ? "" : d.error());
    return d.ok() ? *d : nullptr;
}

// The simulated camera's own description served as a description: its file features are plain
// registers, so the description's memory backs them with a file per FileSelector entry.
TEST(SimFileAccess, AServedDescriptionsFilesWorkThroughItsRegisters) {
    auto d = described(device_xml());
    ASSERT_TRUE(d && d->files) << (d ? d->no_files_reason : "");
    EXPECT_EQ(d->files->files.size(), 3u);
    EXPECT_EQ(d->files->buffer, filereg::kBuffer);
    EXPECT_EQ(d->files->buffer_length, 512u);
    EXPECT_NE(describe_serving(*d).find(", 3 files, "), std::string::npos);
    DescribedMemory mem(d, SimConfig{});
    auto run = [&](uint32_t file, FileOp op, uint32_t offset, uint32_t length) {
        mem.write_word(filereg::kSelector, file);
        mem.write_word(filereg::kOperation, static_cast<uint32_t>(op));
        mem.write_word(filereg::kOffset, offset);
        mem.write_word(filereg::kLength, length);
        mem.write_word(filereg::kExecute, 1);
        EXPECT_EQ(mem.read_word(filereg::kExecute), 0u);  // taken: reads back done
        return mem.read_word(filereg::kStatus) == filereg::kStatusSuccess;
    };
    mem.write_word(filereg::kOpenMode, kFileModeWrite);
    ASSERT_TRUE(run(kUserFile1, FileOp::Open, 0, 0));
    mem.write_word(filereg::kBuffer, 0x41424344);
    EXPECT_TRUE(run(kUserFile1, FileOp::Write, 0, 3));
    EXPECT_FALSE(run(kUserFile1, FileOp::Read, 0, 3));  // opened for writing
    EXPECT_TRUE(run(kUserFile1, FileOp::Close, 0, 0));
    EXPECT_EQ(mem.read_word(filereg::kSize), 3u);
    mem.write_word(filereg::kOpenMode, kFileModeRead);
    mem.write_word(filereg::kBuffer, 0);
    ASSERT_TRUE(run(kUserFile1, FileOp::Open, 0, 0));
    EXPECT_TRUE(run(kUserFile1, FileOp::Read, 1, 100));
    EXPECT_EQ(mem.read_word(filereg::kResult), 2u);
    EXPECT_EQ(mem.read_word(filereg::kBuffer) >> 16, 0x4243u);
    EXPECT_FALSE(run(kUserFile1, FileOp::Read, 0, 513));  // beyond the buffer
}

// A transfer buffer that is not plain device memory cannot be backed, but the files still
// are: they list, open, close and delete, and every transfer fails as a strict device's would.
TEST(SimFileAccess, ADescriptionWhoseBufferMovesServesFilesWithoutTransfers) {
    std::string xml = device_xml();
    const std::string fixed = "<Address>0x20000</Address>\n      <Length>512</Length>";
    const auto at = xml.find(fixed);
    ASSERT_NE(at, std::string::npos);
    xml.replace(at, fixed.size(), "<pAddress>FileAccessOffset</pAddress><Length>512</Length>");
    auto d = described(xml);
    ASSERT_TRUE(d && d->files);
    EXPECT_EQ(d->files->buffer_length, 0u);
    EXPECT_NE(describe_serving(*d).find(", 3 files without transfers (FileAccessBuffer: not at a "
                                        "constant, aligned place)"),
              std::string::npos);
    DescribedMemory mem(d, SimConfig{});
    auto run = [&](FileOp op, uint32_t length) {
        mem.write_word(filereg::kSelector, kUserFile1);
        mem.write_word(filereg::kOperation, static_cast<uint32_t>(op));
        mem.write_word(filereg::kOffset, 0);
        mem.write_word(filereg::kLength, length);
        mem.write_word(filereg::kExecute, 1);
        return mem.read_word(filereg::kStatus) == filereg::kStatusSuccess;
    };
    mem.write_word(filereg::kOpenMode, kFileModeWrite);
    ASSERT_TRUE(run(FileOp::Open, 0));
    EXPECT_FALSE(run(FileOp::Write, 4));
    EXPECT_TRUE(run(FileOp::Close, 0));
    EXPECT_TRUE(run(FileOp::Delete, 0));
}

}  // namespace
}  // namespace corvisk::sim
