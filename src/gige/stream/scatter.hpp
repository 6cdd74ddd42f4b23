// The stream socket's receive batches: one recvmmsg per batch, each payload the assembler
// expects received straight into its frame buffer, and every datagram of the batch fed to the
// assembler. Worker-only.
//
// A message that has landings is laid out as (header, payload) pairs: the header of each
// packet goes into a small buffer of its own and its payload into the frame buffer where the
// packet id the assembler predicts belongs, then an overflow area catches anything longer.
// Without receive offload a message is one pair. With it the kernel may hand over several of
// the device's equal-sized datagrams as one (their size in a control message), so a message
// gets as many pairs as the coalesced datagrams lately held: segment k's header and payload
// then land in pair k.
//
// After the receive every segment's header is checked against its landing. A payload that
// landed elsewhere in the frame it belongs to is moved to its place during delivery, in order,
// which is safe while it moves below its landing (or past every landing of the batch): nothing
// not yet read is ever written over. Any other message that did not land as laid out is put
// back together in its own buffer before anything of the batch is delivered, and goes through
// the copy path; so does every later message of the batch not wholly in place, since a message
// placed from its own buffer may write into any landing.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "error.hpp"
#include "gige/proto/gvsp.hpp"
#include "gige/stream/assembler.hpp"

namespace corvisk::gige {

class ScatterReceiver {
  public:
    static constexpr unsigned kMessages = 16;
    // The kernel coalesces at most this many datagrams into one.
    static constexpr unsigned kMaxSegments = 64;
    static constexpr size_t kDatagramSize = 65535;
    // Messages in a row that came one datagram each, full size, after which the layout goes
    // back to one pair a message.
    static constexpr unsigned kSingleRunToReset = 4;
    // Short batches in a row without any landing, after which batches take every message.
    static constexpr unsigned kShortBatches = 3;

    // What happened to the segments and messages so far (internal figures for tests/benches).
    struct Counts {
        uint64_t coalesced_datagrams = 0;  // device datagrams the kernel handed over coalesced
        uint64_t coalesced_messages = 0;   // messages that held them
        uint64_t moved_segments = 0;       // landed in their frame but not in place: moved once
        uint64_t gathered_messages = 0;    // put back together first, then copied
    };

    // Buffers for one batch (Io ENOMEM when they cannot be had). Only datagrams from
    // `device`'s IP are taken.
    static CameraResult<std::unique_ptr<ScatterReceiver>> create(const sockaddr_in& device);

    // Asks the kernel to coalesce on `fd`; whether it will. Where refused, datagrams come one
    // by one and every message is one pair.
    bool enable_offload(int fd);

    // One recvmmsg on the non-blocking `fd`, everything it took fed to `assembler` with one
    // clock reading. Returns the messages taken, or -1 with errno set.
    int receive(int fd, Assembler& assembler);

    // Whether the last receive took fewer messages than it asked for: the socket had no more.
    bool emptied() const { return emptied_; }
    const Counts& counts() const { return counts_; }
    // Pairs per message the next batch is laid out with.
    unsigned segments_per_message() const { return segments_; }

  private:
    enum class Mode : uint8_t { Skip, Whole, Scattered };
    static constexpr size_t kIovsPerMessage = 2 * kMaxSegments + 1;

    explicit ScatterReceiver(const sockaddr_in& device) : device_(device) {}
    unsigned aim(Assembler& assembler);
    void aim_message(unsigned i, unsigned first, unsigned pairs);
    void classify(unsigned i, bool& copied);
    bool scattered_as_laid_out(unsigned i, bool& in_place);
    bool in_order(const gvsp::GvspHeader& h, const Assembler::Landing& l) const;
    void gather(unsigned i);
    void deliver(unsigned i, Assembler& assembler, Instant now);
    void adapt(unsigned i);
    size_t coalesced_segment(unsigned i) const;
    bool from_device(unsigned i) const;
    uint8_t* datagram(unsigned i) { return datagrams_.data() + size_t{i} * kDatagramSize; }
    uint8_t* overflow(unsigned i) { return overflow_.data() + size_t{i} * kDatagramSize; }

    sockaddr_in device_;
    bool offload_ = false;
    unsigned segments_ = 1;
    unsigned single_run_ = 0;
    unsigned short_batches_ = 0;
    bool emptied_ = false;
    uint64_t last_predicted_ = 0;  // highest packet id with a landing in the batch
    Counts counts_;

    std::vector<uint8_t> datagrams_;
    std::vector<uint8_t> overflow_;
    std::vector<Assembler::Landing> landings_;
    std::vector<std::array<uint8_t, gvsp::kExtendedHeaderSize>> headers_;
    std::vector<gvsp::GvspHeader> parsed_;
    std::vector<iovec> iovs_;
    std::array<mmsghdr, kMessages> msgs_{};
    std::array<sockaddr_in, kMessages> sources_{};
    std::array<std::array<uint8_t, CMSG_SPACE(sizeof(int))>, kMessages> controls_{};
    std::array<unsigned, kMessages> pairs_{};        // (header, payload) pairs posted; 0: whole
    std::array<unsigned, kMessages> segments_in_{};  // segments received, when scattered
    std::array<size_t, kMessages> stride_{};         // their size, the last one's at most
    std::array<size_t, kMessages> header_size_{};
    std::array<Mode, kMessages> mode_{};
};

}  // namespace corvisk::gige
