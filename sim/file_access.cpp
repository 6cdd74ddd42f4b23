// The simulated camera's file store and its file access registers: see file_access.hpp.
#include "file_access.hpp"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <random>

#include <fmt/format.h>

#include "bytes.hpp"
#include "registers.hpp"

namespace corvisk::sim {

namespace {

// A user set as a camera stores it: text lines, their values derived from the seed.
std::vector<uint8_t> user_set_text(uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string text = "# corvisk-sim user set 1\n";
    for (int i = 0; text.size() < 1500; ++i) {
        text += fmt::format("Register{:03}\t{}\n", i, rng() % 100000);
    }
    return {text.begin(), text.end()};
}

bool reads(uint32_t mode) {
    return mode == kFileModeRead || mode == kFileModeReadWrite;
}

bool writes(uint32_t mode) {
    return mode == kFileModeWrite || mode == kFileModeReadWrite;
}

// An IntReg of the file access unit: 4 bytes big-endian at `addr`.
std::string int_reg(const char* name, uint32_t addr, const char* access, bool cached) {
    return fmt::format(
        "    <IntReg Name=\"{}\">\n      <Address>0x{:X}</Address>\n      <Length>4</Length>\n"
        "      <AccessMode>{}</AccessMode>\n      <pPort>Device</pPort>\n{}"
        "      <Sign>Unsigned</Sign>\n      <Endianess>BigEndian</Endianess>\n    </IntReg>\n",
        name, addr, access, cached ? "" : "      <Cachable>NoCache</Cachable>\n");
}

std::string entries(std::initializer_list<const char*> names) {
    std::string out;
    uint32_t value = 0;
    for (const char* name : names) {
        out += fmt::format(
            "      <EnumEntry Name=\"{}\" NameSpace=\"Standard\">\n        <Value>{}</Value>\n"
            "      </EnumEntry>\n",
            name, value++);
    }
    return out;
}

std::string enumeration(const char* name, std::string body, const char* selected) {
    return fmt::format(
        "    <Enumeration Name=\"{0}\" NameSpace=\"Standard\">\n{1}      <pValue>{0}Reg</pValue>\n"
        "{2}    </Enumeration>\n",
        name, body, selected);
}

std::string integer(const char* name, const char* max) {
    return fmt::format(
        "    <Integer Name=\"{0}\" NameSpace=\"Standard\">\n      <pValue>{0}Reg</pValue>\n"
        "      <Min>0</Min>\n      <Max>{1}</Max>\n    </Integer>\n",
        name, max);
}

// Everything FileSelector chooses: the features whose meaning depends on the file.
constexpr char kSelectedByFile[] =
    "      <pSelected>FileOperationSelector</pSelected>\n"
    "      <pSelected>FileOpenMode</pSelected>\n"
    "      <pSelected>FileAccessOffset</pSelected>\n"
    "      <pSelected>FileAccessLength</pSelected>\n"
    "      <pSelected>FileAccessBuffer</pSelected>\n"
    "      <pSelected>FileOperationExecute</pSelected>\n"
    "      <pSelected>FileOperationStatus</pSelected>\n"
    "      <pSelected>FileOperationResult</pSelected>\n"
    "      <pSelected>FileSize</pSelected>\n";

std::string file_features(const FileAccessConfig& c) {
    std::string x;
    x += enumeration("FileSelector", entries({"UserData", "UserSet1", "UserFile1"}),
                     kSelectedByFile);
    x += int_reg("FileSelectorReg", filereg::kSelector, "RW", true);
    x += enumeration("FileOperationSelector", entries({"Open", "Close", "Read", "Write", "Delete"}),
                     "      <pSelected>FileOperationExecute</pSelected>\n");
    x += int_reg("FileOperationSelectorReg", filereg::kOperation, "RW", true);
    x += enumeration("FileOpenMode", entries({"Read", "Write", "ReadWrite"}), "");
    x += int_reg("FileOpenModeReg", filereg::kOpenMode, "RW", true);
    x += "    <Command Name=\"FileOperationExecute\" NameSpace=\"Standard\">\n"
         "      <pValue>FileOperationExecuteReg</pValue>\n"
         "      <CommandValue>1</CommandValue>\n    </Command>\n";
    x += int_reg("FileOperationExecuteReg", filereg::kExecute, "RW", true);
    x += integer("FileAccessOffset", "0xFFFFFFFF");
    x += int_reg("FileAccessOffsetReg", filereg::kOffset, "RW", true);
    x += integer("FileAccessLength", "0xFFFFFFFF");
    x += int_reg("FileAccessLengthReg", filereg::kLength, "RW", true);
    x += fmt::format(
        "    <Register Name=\"FileAccessBuffer\" NameSpace=\"Standard\">\n"
        "      <Address>0x{:X}</Address>\n      <Length>{}</Length>\n"
        "      <AccessMode>RW</AccessMode>\n      <pPort>Device</pPort>\n    </Register>\n",
        filereg::kBuffer, c.buffer);
    if (c.describe_status) {
        x += enumeration("FileOperationStatus",
                         c.overflow_at_end ? entries({"Success", "Failure", "Overflow"})
                                           : entries({"Success", "Failure"}),
                         "");
        x += int_reg("FileOperationStatusReg", filereg::kStatus, "RO", false);
    }
    x += "    <Integer Name=\"FileOperationResult\" NameSpace=\"Standard\">\n"
         "      <pValue>FileOperationResultReg</pValue>\n    </Integer>\n";
    x += int_reg("FileOperationResultReg", filereg::kResult, "RO", false);
    if (c.describe_size) {
        x += "    <Integer Name=\"FileSize\" NameSpace=\"Standard\">\n"
             "      <pValue>FileSizeReg</pValue>\n    </Integer>\n";
        x += int_reg("FileSizeReg", filereg::kSize, "RO", false);
    }
    return x;
}

std::string file_access_xml(const FileAccessConfig& c) {
    std::string category =
        "  <Category Name=\"FileAccessControl\" NameSpace=\"Standard\">\n"
        "    <pFeature>FileSelector</pFeature>\n    <pFeature>FileOperationSelector</pFeature>\n"
        "    <pFeature>FileOpenMode</pFeature>\n    <pFeature>FileAccessOffset</pFeature>\n"
        "    <pFeature>FileAccessLength</pFeature>\n    <pFeature>FileAccessBuffer</pFeature>\n"
        "    <pFeature>FileOperationExecute</pFeature>\n";
    category += c.describe_status ? "    <pFeature>FileOperationStatus</pFeature>\n" : "";
    category += "    <pFeature>FileOperationResult</pFeature>\n";
    category += c.describe_size ? "    <pFeature>FileSize</pFeature>\n" : "";
    category += "  </Category>\n";
    return category + "  <Group Comment=\"File access\">\n" + file_features(c) + "  </Group>\n";
}

}  // namespace

FileAccess::FileAccess(const FileAccessConfig& config, uint64_t seed)
    : config_(config), buffer_(config.buffer, 0) {
    store_.add(
        {"UserData", std::vector<uint8_t>(kUserDataSize, 0), kUserDataSize, true, true, false});
    std::vector<uint8_t> set = user_set_text(seed);
    const auto set_size = static_cast<uint32_t>(set.size());
    store_.add({"UserSet1", std::move(set), set_size, true, false, false});
    store_.add({"UserFile1", {}, kUserFileCapacity, false, true, true});
}

bool FileAccess::owns(uint32_t addr) {
    return (addr >= filereg::kSelector && addr < filereg::kEnd) ||
           (addr >= filereg::kBuffer && addr < filereg::kBuffer + filereg::kBufferMax);
}

uint16_t FileAccess::read(uint32_t addr, uint32_t& out) {
    if (addr >= filereg::kBuffer) {
        const uint32_t at = addr - filereg::kBuffer;
        if (at + 4 > buffer_.size()) {
            return reg::kInvalidAddress;
        }
        out = load_be32(buffer_.data() + at);
        return reg::kSuccess;
    }
    const bool busy = busy_left_ > 0;
    switch (addr) {
        case filereg::kSelector:
            out = selector_;
            break;
        case filereg::kOperation:
            out = operation_;
            break;
        case filereg::kOpenMode:
            out = open_mode_;
            break;
        case filereg::kOffset:
            out = offset_;
            break;
        case filereg::kLength:
            out = length_;
            break;
        case filereg::kExecute:
            out = busy ? 1 : 0;
            busy_left_ -= busy ? 1 : 0;
            break;
        // Until the operation is done they still show that it has not succeeded.
        case filereg::kStatus:
            out = busy ? filereg::kStatusFailure : status_;
            break;
        case filereg::kResult:
            out = busy ? 0 : result_;
            break;
        case filereg::kSize:
            out = static_cast<uint32_t>(store_.file(selector_).data.size());
            break;
        default:
            return reg::kInvalidAddress;
    }
    return reg::kSuccess;
}

uint16_t FileAccess::write(uint32_t addr, uint32_t value) {
    if (addr >= filereg::kBuffer) {
        const uint32_t at = addr - filereg::kBuffer;
        if (at + 4 > buffer_.size()) {
            return reg::kInvalidAddress;
        }
        store_be32(buffer_.data() + at, value);
        return reg::kSuccess;
    }
    switch (addr) {
        case filereg::kSelector:
            if (value >= store_.count()) {
                return reg::kInvalidParameter;
            }
            selector_ = value;
            return reg::kSuccess;
        case filereg::kOperation:
            if (value > static_cast<uint32_t>(FileOp::Delete)) {
                return reg::kInvalidParameter;
            }
            operation_ = value;
            return reg::kSuccess;
        case filereg::kOpenMode:
            open_mode_ = value;
            return reg::kSuccess;
        case filereg::kOffset:
            offset_ = value;
            return reg::kSuccess;
        case filereg::kLength:
            length_ = value;
            return reg::kSuccess;
        case filereg::kExecute:
            if (value == 1) {
                execute();
            }
            return reg::kSuccess;
        default:
            return reg::kWriteProtect;  // status, result and size are read-only
    }
}

void FileAccess::execute() {
    const FileRequest r{static_cast<FileOp>(operation_), open_mode_, offset_, length_};
    uint32_t result = 0;
    const bool ok =
        !(config_.fail && *config_.fail == r.op) && store_.run(selector_, r, buffer_, result);
    status_ = ok ? filereg::kStatusSuccess : filereg::kStatusFailure;
    if (ok && config_.overflow_at_end && r.op == FileOp::Read && result < r.length) {
        status_ = filereg::kStatusOverflow;
    }
    result_ = ok ? result : 0;
    busy_left_ = config_.busy_reads;
}

bool FileStore::run(uint32_t n, const FileRequest& r, std::span<uint8_t> buffer, uint32_t& result) {
    File& f = files_.at(n);
    switch (r.op) {
        case FileOp::Open:
            return open(f, r.mode);
        case FileOp::Close:
            if (!f.mode) {
                return false;
            }
            f.mode.reset();
            return true;
        case FileOp::Read:
            return read_chunk(f, r, buffer, result);
        case FileOp::Write:
            return write_chunk(f, r, buffer, result);
        case FileOp::Delete:
            if (f.mode || !f.deletable) {
                return false;
            }
            f.data.clear();
            return true;
    }
    return false;
}

bool FileStore::open(File& f, uint32_t mode) {
    if (f.mode || mode > kFileModeReadWrite || (writes(mode) && !f.writable)) {
        return false;
    }
    if (mode == kFileModeWrite && !f.fixed_size) {
        f.data.clear();  // writing a file anew replaces it
    }
    f.mode = mode;
    return true;
}

// Reads up to `length` bytes at `offset` into the buffer; fewer at the end of the file.
bool FileStore::read_chunk(File& f, const FileRequest& r, std::span<uint8_t> buffer,
                           uint32_t& result) {
    if (!f.mode || !reads(*f.mode) || r.length > buffer.size() || r.offset > f.data.size()) {
        return false;
    }
    result = std::min<uint32_t>(r.length, static_cast<uint32_t>(f.data.size()) - r.offset);
    std::memcpy(buffer.data(), f.data.data() + r.offset, result);
    return true;
}

// Writes `length` bytes of the buffer at `offset`: within the file's capacity, leaving no hole.
bool FileStore::write_chunk(File& f, const FileRequest& r, std::span<const uint8_t> buffer,
                            uint32_t& result) {
    if (!f.mode || !writes(*f.mode) || r.length > buffer.size() || r.offset > f.data.size() ||
        uint64_t{r.offset} + r.length > f.capacity) {
        return false;
    }
    if (r.offset + r.length > f.data.size()) {
        f.data.resize(r.offset + r.length);
    }
    std::memcpy(f.data.data() + r.offset, buffer.data(), r.length);
    result = r.length;
    return true;
}

std::string with_file_access(std::string xml, const FileAccessConfig& config) {
    const std::string root = "<pFeature>TransportLayerControl</pFeature>";
    if (auto at = xml.find(root); at != std::string::npos) {
        xml.insert(at, "<pFeature>FileAccessControl</pFeature>\n    ");
    }
    const auto end = xml.rfind("</RegisterDescription>");
    if (end != std::string::npos) {
        xml.insert(end, file_access_xml(config));
    }
    return xml;
}

}  // namespace corvisk::sim
