// Request encoding and acknowledge handling of one control transaction.
#include "gige/transaction.hpp"

#include <algorithm>

#include "bytes.hpp"
#include "gige/proto/bootstrap.hpp"
#include "log.hpp"

namespace corvisk::gige {

namespace {

// The worker's events: the transaction is the worker's own unit.
constexpr const char* kTarget = "corvisk::gige::runner";
// A memory read's buffer grows as data arrives beyond this, so a huge requested length cannot
// allocate before the device has sent anything.
constexpr size_t kMaxInitialReserve = 64 * 1024;
constexpr size_t kWordSize = 4;

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// The statuses with which a device says it has no memory commands at all (as opposed to a
// refusal of this address, which is final).
bool refuses_command(gvcp::GvcpStatus status) {
    return status.code() == 0x8001 || status.code() == 0x8002;
}

size_t words_of(size_t bytes) {
    return (bytes + kWordSize - 1) / kWordSize;
}

// Words the next register command of a memory transfer carries.
size_t words_now(size_t bytes_left, bool one_by_one) {
    return std::min(words_of(bytes_left),
                    one_by_one ? size_t{1} : Transaction::kMaxWordsPerCommand);
}

CameraError count_mismatch(size_t got, size_t expected) {
    return CameraError::malformed(
        fmt::format("read register ack carried {} values, expected {}", got, expected));
}

}  // namespace

std::optional<Transaction> Transaction::from_message(ToWorker&& msg, DeviceQuirks& quirks) {
    const bool single = quirks.single_register_commands.load(std::memory_order_relaxed);
    const bool by_regs = quirks.registers_for_memory.load(std::memory_order_relaxed);
    auto make = [&](State state) {
        return std::optional<Transaction>(Transaction(std::move(state), &quirks));
    };
    return std::visit(
        Overloaded{
            [&](to_worker::ReadRegister& m) {
                return make(ReadRegister{m.address, std::move(m.handle)});
            },
            [&](to_worker::ReadRegisters& m) {
                return make(ReadRegisters{std::move(m.addresses), std::move(m.handle), single});
            },
            [&](to_worker::WriteRegisters& m) {
                return make(WriteRegisters{std::move(m.pairs), std::move(m.handle)});
            },
            [&](to_worker::ReadMemory& m) {
                Bytes received;
                received.reserve(std::min<size_t>(m.length, kMaxInitialReserve));
                return make(ReadMemory{m.address, m.length, std::move(m.handle),
                                       std::move(received), by_regs, single});
            },
            [&](to_worker::WriteMemory& m) {
                return make(WriteMemory{m.address, 0, std::move(m.handle), std::move(m.data),
                                        by_regs, single});
            },
            [](auto&) -> std::optional<Transaction> { return std::nullopt; },
        },
        msg);
}

Transaction Transaction::heartbeat() {
    return Transaction(Heartbeat{}, nullptr);
}

bool Transaction::is_heartbeat() const {
    return std::holds_alternative<Heartbeat>(state_);
}

bool Transaction::is_settled() const {
    return std::visit(Overloaded{
                          [](const Heartbeat&) { return false; },
                          [](const auto& o) { return o.handle.is_filled(); },
                      },
                      state_);
}

uint16_t Transaction::command() const {
    return std::visit(Overloaded{
                          [](const WriteRegisters&) -> uint16_t { return gvcp::kWriteRegCmd; },
                          [](const ReadMemory& o) -> uint16_t {
                              return o.by_registers ? gvcp::kReadRegCmd : gvcp::kReadMemCmd;
                          },
                          [](const WriteMemory& o) -> uint16_t {
                              return o.by_registers ? gvcp::kWriteRegCmd : gvcp::kWriteMemCmd;
                          },
                          [](const auto&) -> uint16_t { return gvcp::kReadRegCmd; },
                      },
                      state_);
}

Bytes Transaction::encode(uint16_t id) const {
    return std::visit(
        Overloaded{
            [&](const ReadRegister& o) {
                const uint32_t address[] = {o.address};
                return gvcp::encode_read_reg(address, id);
            },
            [&](const ReadRegisters& o) {
                if (o.one_by_one && !o.addresses.empty()) {
                    const uint32_t address[] = {o.addresses[o.values.size()]};
                    return gvcp::encode_read_reg(address, id);
                }
                return gvcp::encode_read_reg(o.addresses, id);
            },
            [&](const WriteRegisters& o) { return gvcp::encode_write_reg(o.pairs, id); },
            [&](const ReadMemory& o) {
                if (o.by_registers) {
                    return encode_memory_by_registers(o, id);
                }
                uint32_t count = gvcp::read_mem_count(o.total - o.received.size());
                return gvcp::encode_read_mem(o.next_address, count, id);
            },
            [&](const WriteMemory& o) {
                if (o.by_registers) {
                    return encode_memory_by_registers(o, id);
                }
                size_t k = std::min<size_t>(o.data.size() - o.offset, gvcp::kMaxMemoryChunk);
                std::span<const uint8_t> chunk(o.data.data() + o.offset, k);
                return gvcp::encode_write_mem(o.base + o.offset, chunk, id);
            },
            [&](const Heartbeat&) {
                const uint32_t address[] = {bootstrap::kCcp};
                return gvcp::encode_read_reg(address, id);
            },
        },
        state_);
}

Bytes Transaction::encode_memory_by_registers(const ReadMemory& o, uint16_t id) const {
    std::vector<uint32_t> addresses(words_now(o.total - o.received.size(), o.one_by_one));
    for (size_t i = 0; i < addresses.size(); ++i) {
        addresses[i] = o.next_address + static_cast<uint32_t>(i * kWordSize);
    }
    return gvcp::encode_read_reg(addresses, id);
}

Bytes Transaction::encode_memory_by_registers(const WriteMemory& o, uint16_t id) const {
    RegisterPairs pairs(words_now(o.data.size() - o.offset, o.one_by_one));
    for (size_t i = 0; i < pairs.size(); ++i) {
        size_t at = o.offset + i * kWordSize;
        pairs[i] = {o.base + static_cast<uint32_t>(at), load_be32(o.data.data() + at)};
    }
    return gvcp::encode_write_reg(pairs, id);
}

void Transaction::fail(const SharedCameraError& error) {
    std::visit(Overloaded{
                   [](Heartbeat&) {},
                   [&](auto& o) { o.handle.fulfill(Err{error}); },
               },
               state_);
}

AckOutcome Transaction::on_ack(const gvcp::AckHeader& ack) {
    if (ack.status.is_error()) {
        if (is_heartbeat()) {
            CVK_LOG(log::Level::Warn, kTarget, {}, "heartbeat rejected with {}, control lost",
                    ack.status.display());
            return AckOutcome::ControlLost;
        }
        if (fall_back(ack.status)) {
            return AckOutcome::Continue;
        }
        fail(CameraError::status(command(), ack.status));
        return AckOutcome::Done;
    }
    uint16_t expected = command() + 1;
    if (ack.ack_code != expected) {
        // A heartbeat answered this way is dropped silently: the next one decides.
        fail(CameraError::malformed(
            fmt::format("expected ack {:#06x}, got {:#06x}", expected, ack.ack_code)));
        return AckOutcome::Done;
    }
    return complete(ack.payload);
}

AckOutcome Transaction::on_timeout() {
    if (is_heartbeat()) {
        CVK_LOG(log::Level::Warn, kTarget, {}, "heartbeat timed out, considering control lost");
        return AckOutcome::ControlLost;
    }
    fail(CameraError::ack_timeout());
    return AckOutcome::Done;
}

void Transaction::learn_one_by_one(bool& one_by_one) {
    one_by_one = true;
    if (!quirks_->single_register_commands.exchange(true, std::memory_order_relaxed)) {
        CVK_LOG(log::Level::Debug, kTarget, {},
                "device does not concatenate register commands; sending one address each");
    }
}

void Transaction::learn_registers_for_memory(bool& by_registers) {
    by_registers = true;
    if (!quirks_->registers_for_memory.exchange(true, std::memory_order_relaxed)) {
        CVK_LOG(log::Level::Debug, kTarget, {},
                "device refuses memory commands; using register commands instead");
    }
}

// A refusal that says the device lacks a form of command rather than that the request is
// wrong: switches to the form it has and asks to send again. False when there is none left.
bool Transaction::fall_back(gvcp::GvcpStatus status) {
    return std::visit(
        Overloaded{
            [&](ReadRegisters& o) {
                if (o.one_by_one || o.addresses.size() < 2) {
                    return false;
                }
                learn_one_by_one(o.one_by_one);
                return true;
            },
            [&](ReadMemory& o) {
                if (!o.by_registers) {
                    if (!refuses_command(status)) {
                        return false;
                    }
                    learn_registers_for_memory(o.by_registers);
                    return true;
                }
                if (o.one_by_one || words_now(o.total - o.received.size(), false) < 2) {
                    return false;
                }
                learn_one_by_one(o.one_by_one);
                return true;
            },
            [&](WriteMemory& o) {
                if (!o.by_registers) {
                    if (!refuses_command(status)) {
                        return false;
                    }
                    learn_registers_for_memory(o.by_registers);
                    return true;
                }
                if (o.one_by_one || words_now(o.data.size() - o.offset, false) < 2) {
                    return false;
                }
                learn_one_by_one(o.one_by_one);
                return true;
            },
            [](auto&) { return false; },
        },
        state_);
}

// A successful acknowledge with the expected code.
AckOutcome Transaction::complete(std::span<const uint8_t> payload) {
    return std::visit(Overloaded{
                          [&](ReadRegister& o) {
                              auto values = gvcp::decode_read_reg_ack(payload);
                              if (values.empty()) {
                                  o.handle.fail(CameraError::malformed("empty read register ack"));
                              } else {
                                  o.handle.fulfill(values.front());
                              }
                              return AckOutcome::Done;
                          },
                          [&](ReadRegisters& o) { return read_registers_answer(o, payload); },
                          [&](WriteRegisters& o) {
                              o.handle.fulfill({});
                              return AckOutcome::Done;
                          },
                          [&](ReadMemory& o) {
                              return o.by_registers ? read_memory_words(o, payload)
                                                    : read_memory_chunk(o, payload);
                          },
                          [&](WriteMemory& o) { return write_memory_chunk(o); },
                          [&](Heartbeat&) { return heartbeat_answer(payload); },
                      },
                      state_);
}

AckOutcome Transaction::read_registers_answer(ReadRegisters& o, std::span<const uint8_t> payload) {
    auto values = gvcp::decode_read_reg_ack(payload);
    if (o.one_by_one && o.addresses.size() > 1) {
        if (values.empty()) {
            o.handle.fail(CameraError::malformed("empty read register ack"));
            return AckOutcome::Done;
        }
        o.values.push_back(values.front());
        if (o.values.size() < o.addresses.size()) {
            return AckOutcome::Continue;
        }
        o.handle.fulfill(std::move(o.values));
        return AckOutcome::Done;
    }
    // Fewer values than addresses: a device that answers only the first of a concatenated read.
    if (values.size() < o.addresses.size() && o.addresses.size() > 1) {
        learn_one_by_one(o.one_by_one);
        return AckOutcome::Continue;
    }
    if (values.size() != o.addresses.size()) {
        o.handle.fail(count_mismatch(values.size(), o.addresses.size()));
    } else {
        o.handle.fulfill(std::move(values));
    }
    return AckOutcome::Done;
}

// A failed transfer discards the bytes gathered so far (they go with the transaction).
AckOutcome Transaction::read_memory_chunk(ReadMemory& o, std::span<const uint8_t> payload) {
    auto ack = gvcp::decode_read_mem_ack(payload);
    if (!ack) {
        o.handle.fail(CameraError::malformed("short read memory ack"));
        return AckOutcome::Done;
    }
    size_t take = std::min<size_t>(ack->data.size(), o.total - o.received.size());
    o.received.insert(o.received.end(), ack->data.begin(), ack->data.begin() + take);
    if (o.received.size() >= o.total) {
        o.handle.fulfill(std::move(o.received));
        return AckOutcome::Done;
    }
    if (ack->data.empty()) {
        o.handle.fail(CameraError::malformed("empty read memory ack"));
        return AckOutcome::Done;
    }
    o.next_address += static_cast<uint32_t>(take);
    return AckOutcome::Continue;
}

// The words of a memory read that went by READREG, in order, big-endian as memory holds them.
AckOutcome Transaction::read_memory_words(ReadMemory& o, std::span<const uint8_t> payload) {
    const size_t left = o.total - o.received.size();
    const size_t asked = words_now(left, o.one_by_one);
    auto values = gvcp::decode_read_reg_ack(payload);
    if (values.size() < asked && !o.one_by_one) {
        learn_one_by_one(o.one_by_one);
        return AckOutcome::Continue;
    }
    if (values.size() != asked) {
        o.handle.fail(count_mismatch(values.size(), asked));
        return AckOutcome::Done;
    }
    for (uint32_t v : values) {
        uint8_t word[kWordSize];
        store_be32(word, v);
        size_t take = std::min(kWordSize, o.total - o.received.size());
        o.received.insert(o.received.end(), word, word + take);
    }
    if (o.received.size() >= o.total) {
        o.handle.fulfill(std::move(o.received));
        return AckOutcome::Done;
    }
    o.next_address += static_cast<uint32_t>(asked * kWordSize);
    return AckOutcome::Continue;
}

AckOutcome Transaction::write_memory_chunk(WriteMemory& o) {
    const size_t left = o.data.size() - o.offset;
    const size_t sent = o.by_registers ? words_now(left, o.one_by_one) * kWordSize
                                       : std::min<size_t>(left, gvcp::kMaxMemoryChunk);
    o.offset += static_cast<uint32_t>(sent);
    if (o.offset >= o.data.size()) {
        o.handle.fulfill({});
        return AckOutcome::Done;
    }
    return AckOutcome::Continue;
}

AckOutcome Transaction::heartbeat_answer(std::span<const uint8_t> payload) {
    auto values = gvcp::decode_read_reg_ack(payload);
    if (!values.empty() && (values.front() & bootstrap::kCcpControl)) {
        return AckOutcome::Done;
    }
    CVK_LOG(log::Level::Warn, kTarget, {}, "device control was lost (CCP cleared)");
    return AckOutcome::ControlLost;
}

}  // namespace corvisk::gige
