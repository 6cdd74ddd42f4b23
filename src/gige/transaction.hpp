// One GVCP transaction as the control worker carries it: the request it puts on the wire and
// what it does with the acknowledge (done, continue with the next chunk, or control lost).
//
// Socket-free: the worker sends what encode() returns and feeds back the acknowledge that
// matched the request id, so every answer a device can give is testable without a network.
// The request and the bookkeeping live in one value, so a queued entry cannot pair an operation
// with a payload of another kind.
//
// Worker-only (not thread-safe); it holds the requester's handle, which is thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "error.hpp"
#include "gige/link.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/runner.hpp"
#include "handle.hpp"

namespace corvisk::gige {

// What the worker does once an acknowledge has been handled.
enum class AckOutcome {
    Done,         // the requester's handle is fulfilled (value or error)
    Continue,     // more chunks: send encode() again with a fresh id and a full retry budget
    ControlLost,  // a heartbeat showed the device no longer grants control
};

// Device deviations handled here (each learned once and remembered in DeviceQuirks):
// - a multi-address READREG answered with fewer values than asked, or refused, is repeated one
//   address per command, and so is every later one;
// - a READMEM/WRITEMEM refused as not implemented or as an invalid parameter is carried out by
//   READREG/WRITEREG over the aligned 32-bit words, and so is every later memory access.
class Transaction {
  public:
    // Most words one register command carries when a memory access goes by registers.
    static constexpr size_t kMaxWordsPerCommand = 16;

    // The transaction of a request message; none for Subscribe and Shutdown. `quirks` is
    // borrowed for the transaction's lifetime (the connection's Shared outlives the worker).
    static std::optional<Transaction> from_message(ToWorker&& msg, DeviceQuirks& quirks);
    // The heartbeat: a read of CCP whose answer must keep the control bit set.
    static Transaction heartbeat();

    bool is_heartbeat() const;
    // The command code of the request, as reported in a Status error.
    uint16_t command() const;
    // True once the requester's handle holds a result, for example because the caller gave up
    // waiting and settled it with AckTimeout: such a request must not go (on) to the device.
    bool is_settled() const;
    // The next datagram of the request with request id `id`.
    Bytes encode(uint16_t id) const;

    // A matched acknowledge other than PENDING_ACK.
    AckOutcome on_ack(const gvcp::AckHeader& ack);
    // The last try went unanswered: AckTimeout for a request, control lost for a heartbeat.
    AckOutcome on_timeout();
    // Fails the requester's handle; a heartbeat has none and drops the error.
    void fail(const SharedCameraError& error);
    void fail(CameraError error) { fail(share(std::move(error))); }

  private:
    struct ReadRegister {
        uint32_t address;
        ResponseHandle<uint32_t> handle;
    };
    struct ReadRegisters {
        std::vector<uint32_t> addresses;
        ResponseHandle<std::vector<uint32_t>> handle;
        bool one_by_one = false;            // one address per command
        std::vector<uint32_t> values = {};  // gathered so far when going one by one
    };
    struct WriteRegisters {
        RegisterPairs pairs;
        ResponseHandle<void> handle;
    };
    struct ReadMemory {
        uint32_t next_address;
        uint32_t total;
        ResponseHandle<Bytes> handle;
        Bytes received;
        bool by_registers = false;  // READREG over the words instead of READMEM
        bool one_by_one = false;    // ... one word per command
    };
    struct WriteMemory {
        uint32_t base;
        uint32_t offset;  // bytes already acknowledged
        ResponseHandle<void> handle;
        Bytes data;
        bool by_registers = false;  // WRITEREG of the words instead of WRITEMEM
        bool one_by_one = false;    // ... one word per command
    };
    struct Heartbeat {};
    using State = std::variant<ReadRegister, ReadRegisters, WriteRegisters, ReadMemory, WriteMemory,
                               Heartbeat>;

    Transaction(State state, DeviceQuirks* quirks) : state_(std::move(state)), quirks_(quirks) {}

    bool fall_back(gvcp::GvcpStatus status);
    void learn_one_by_one(bool& one_by_one);
    void learn_registers_for_memory(bool& by_registers);
    AckOutcome complete(std::span<const uint8_t> payload);
    AckOutcome read_registers_answer(ReadRegisters& o, std::span<const uint8_t> payload);
    AckOutcome read_memory_chunk(ReadMemory& o, std::span<const uint8_t> payload);
    AckOutcome read_memory_words(ReadMemory& o, std::span<const uint8_t> payload);
    AckOutcome write_memory_chunk(WriteMemory& o);
    Bytes encode_memory_by_registers(const ReadMemory& o, uint16_t id) const;
    Bytes encode_memory_by_registers(const WriteMemory& o, uint16_t id) const;
    static AckOutcome heartbeat_answer(std::span<const uint8_t> payload);

    State state_;
    DeviceQuirks* quirks_;  // null only for the heartbeat
};

}  // namespace corvisk::gige
