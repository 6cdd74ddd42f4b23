// Cursor reader and writer over byte spans, big-endian (network order) by default.
//
// Every read checks the request against the remaining length (never pointer arithmetic past the
// end). A failed read or write is sticky: the cursor moves to the end and every later call fails,
// so a decoder can run a sequence of reads and test ok() once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace corvisk {

class ByteReader {
  public:
    explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}

    bool ok() const { return ok_; }
    size_t pos() const { return pos_; }
    size_t remaining() const { return data_.size() - pos_; }

    bool read_u8(uint8_t& out) { return read_be(out); }
    bool read_u16(uint16_t& out) { return read_be(out); }
    bool read_u32(uint32_t& out) { return read_be(out); }
    bool read_u64(uint64_t& out) { return read_be(out); }

    // A view of the next n bytes, borrowing the underlying buffer. Advances the cursor.
    bool read_span(size_t n, std::span<const uint8_t>& out) {
        if (!ok_ || n > remaining()) {
            return fail();
        }
        out = data_.subspan(pos_, n);
        pos_ += n;
        return true;
    }
    // The rest of the buffer; advances to the end.
    std::span<const uint8_t> read_rest() {
        auto out = data_.subspan(pos_);
        pos_ = data_.size();
        return out;
    }
    bool skip(size_t n) {
        if (!ok_ || n > remaining()) {
            return fail();
        }
        pos_ += n;
        return true;
    }

  private:
    template <class T>
    bool read_be(T& out) {
        if (!ok_ || sizeof(T) > remaining()) {
            return fail();
        }
        T v = 0;
        for (size_t i = 0; i < sizeof(T); ++i) {
            v = static_cast<T>((static_cast<uint64_t>(v) << 8) | data_[pos_ + i]);
        }
        out = v;
        pos_ += sizeof(T);
        return true;
    }
    bool fail() {
        ok_ = false;
        pos_ = data_.size();
        return false;
    }

    std::span<const uint8_t> data_;
    size_t pos_ = 0;
    bool ok_ = true;
};

class ByteWriter {
  public:
    explicit ByteWriter(std::span<uint8_t> buf) : buf_(buf) {}

    bool ok() const { return ok_; }
    size_t size() const { return pos_; }
    size_t remaining() const { return buf_.size() - pos_; }

    bool write_u8(uint8_t v) { return write_be(v); }
    bool write_u16(uint16_t v) { return write_be(v); }
    bool write_u32(uint32_t v) { return write_be(v); }
    bool write_u64(uint64_t v) { return write_be(v); }
    bool write_bytes(std::span<const uint8_t> bytes) {
        if (!ok_ || bytes.size() > remaining()) {
            return fail();
        }
        if (!bytes.empty()) {
            std::memcpy(buf_.data() + pos_, bytes.data(), bytes.size());
        }
        pos_ += bytes.size();
        return true;
    }
    bool write_zeros(size_t n) {
        if (!ok_ || n > remaining()) {
            return fail();
        }
        std::memset(buf_.data() + pos_, 0, n);
        pos_ += n;
        return true;
    }

  private:
    template <class T>
    bool write_be(T v) {
        if (!ok_ || sizeof(T) > remaining()) {
            return fail();
        }
        for (size_t i = 0; i < sizeof(T); ++i) {
            buf_[pos_ + i] =
                static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * (sizeof(T) - 1 - i)));
        }
        pos_ += sizeof(T);
        return true;
    }
    bool fail() {
        ok_ = false;
        pos_ = buf_.size();
        return false;
    }

    std::span<uint8_t> buf_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Fixed-offset big-endian helpers for code that has already checked the length.
inline uint16_t load_be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t load_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline uint64_t load_be64(const uint8_t* p) {
    return (uint64_t{load_be32(p)} << 32) | load_be32(p + 4);
}
inline void store_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void store_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void store_be64(uint8_t* p, uint64_t v) {
    store_be32(p, static_cast<uint32_t>(v >> 32));
    store_be32(p + 4, static_cast<uint32_t>(v));
}

}  // namespace corvisk
