// One control transaction without a socket: the datagram it asks the worker to send and its
// answer to every kind of acknowledge, plus the acknowledge payload decoders.
#include <gtest/gtest.h>

#include <vector>

#include "control_scripted_device.hpp"
#include "gige/proto/gvcp.hpp"
#include "gige/transaction.hpp"

using namespace corvisk;
using namespace corvisk::gige;

namespace {

// An acknowledge datagram, parsed the way the worker parses one.
struct Ack {
    Bytes bytes;
    gvcp::AckHeader header;
};

Bytes make_ack_bytes(uint16_t status, uint16_t code, const Bytes& payload) {
    return corvisk::testing::make_ack(status, code, 1, payload);
}

Ack make_ack(uint16_t status, uint16_t code, Bytes payload, uint16_t id = 1) {
    Ack a;
    a.bytes = corvisk::testing::make_ack(status, code, id, payload);
    EXPECT_TRUE(gvcp::parse_ack(a.bytes, a.header));
    return a;
}

// Quirks of a standard device: nothing learned.
DeviceQuirks& quirks() {
    static DeviceQuirks q;
    return q;
}

Transaction read_memory(uint32_t address, uint32_t length, ResponseHandle<Bytes> handle) {
    return *Transaction::from_message(to_worker::ReadMemory{address, length, handle}, quirks());
}

std::string error_text(const SharedCameraError& e) {
    return e->message();
}

}  // namespace

TEST(AckDecodeTest, PayloadDecodersReadWhatIsThere) {
    EXPECT_EQ(gvcp::decode_read_reg_ack(Bytes{0, 0, 0, 1, 0xAA, 0xBB, 0xCC, 0xDD, 9}),
              (std::vector<uint32_t>{1, 0xAABBCCDD}));
    EXPECT_TRUE(gvcp::decode_read_reg_ack(Bytes{1, 2, 3}).empty());
    EXPECT_FALSE(gvcp::decode_read_mem_ack(Bytes{0, 0, 1}));
    const Bytes payload = {0, 0, 0x10, 0, 7, 8};
    auto mem = gvcp::decode_read_mem_ack(payload);
    ASSERT_TRUE(mem);
    EXPECT_EQ(mem->address, 0x1000u);
    EXPECT_EQ(Bytes(mem->data.begin(), mem->data.end()), (Bytes{7, 8}));
    EXPECT_EQ(gvcp::decode_pending_ack(make_ack(0, gvcp::kPendingAck, {0, 0, 0x0B, 0xB8}).header),
              3000u);
    EXPECT_FALSE(gvcp::decode_pending_ack(make_ack(0, gvcp::kPendingAck, {0, 0}).header));
    EXPECT_FALSE(gvcp::decode_pending_ack(make_ack(0, gvcp::kReadRegAck, {0, 0, 0, 1}).header));
}

TEST(TransactionTest, OnlyRequestMessagesBecomeTransactions) {
    EXPECT_FALSE(Transaction::from_message(to_worker::Shutdown{}, quirks()));
    auto [tx, rx] = chan::unbounded<GvcpEvent>();
    EXPECT_FALSE(Transaction::from_message(to_worker::Subscribe{std::move(tx)}, quirks()));
}

TEST(TransactionTest, RegisterAnswersFulfilOrFailTheHandle) {
    struct Case {
        Bytes ack;
        std::string expected;  // empty: success
    };
    const Case cases[] = {
        {make_ack_bytes(0, gvcp::kReadRegAck, {0, 0, 0, 9}), ""},
        {make_ack_bytes(0, gvcp::kReadRegAck, {0, 0, 0, 9, 0, 0, 0, 8}),
         "malformed packet: read register ack carried 2 values, expected 1"},
        {make_ack_bytes(0x8001, gvcp::kReadRegAck, {}),
         "device answered command 0x0080 with not implemented (0x8001)"},
        {make_ack_bytes(0, gvcp::kWriteRegAck, {}),
         "malformed packet: expected ack 0x0081, got 0x0083"},
    };
    for (const auto& c : cases) {
        ResponseHandle<std::vector<uint32_t>> handle;
        auto tx = *Transaction::from_message(to_worker::ReadRegisters{{0x10}, handle}, quirks());
        EXPECT_EQ(tx.encode(3), gvcp::encode_read_reg(std::vector<uint32_t>{0x10}, 3));
        gvcp::AckHeader header;
        ASSERT_TRUE(gvcp::parse_ack(c.ack, header));
        EXPECT_EQ(tx.on_ack(header), AckOutcome::Done);
        auto r = handle.get();
        SCOPED_TRACE(c.expected);
        ASSERT_EQ(r.ok(), c.expected.empty()) << (r.ok() ? "" : error_text(r.error()));
        if (c.expected.empty()) {
            EXPECT_EQ(r.value(), (std::vector<uint32_t>{9}));
        } else {
            EXPECT_EQ(error_text(r.error()), c.expected);
        }
    }
}

TEST(TransactionTest, MemoryReadContinuesChunkByChunkAndReturnsExactlyTheLength) {
    ResponseHandle<Bytes> handle;
    auto tx = read_memory(0x1000, 514, handle);
    EXPECT_EQ(tx.encode(1), gvcp::encode_read_mem(0x1000, 512, 1));
    Bytes first = {0, 0, 0x10, 0};
    first.resize(4 + 512, 0xAB);
    EXPECT_EQ(tx.on_ack(make_ack(0, gvcp::kReadMemAck, first).header), AckOutcome::Continue);
    EXPECT_FALSE(handle.is_filled());
    // The rest is 2 bytes, asked for rounded up to 4; the surplus is dropped.
    EXPECT_EQ(tx.encode(2), gvcp::encode_read_mem(0x1200, 4, 2));
    EXPECT_EQ(tx.on_ack(make_ack(0, gvcp::kReadMemAck, {0, 0, 0x12, 0, 1, 2, 3, 4}).header),
              AckOutcome::Done);
    Bytes got = handle.get().value();
    ASSERT_EQ(got.size(), 514u);
    EXPECT_EQ(got[511], 0xAB);
    EXPECT_EQ(got[512], 1);
    EXPECT_EQ(got[513], 2);
}

TEST(TransactionTest, MemoryReadFailsOnShortOrEmptyAnswers) {
    for (auto [payload, expected] :
         {std::pair{Bytes{0, 0}, "malformed packet: short read memory ack"},
          std::pair{Bytes{0, 0, 0x10, 0}, "malformed packet: empty read memory ack"}}) {
        ResponseHandle<Bytes> handle;
        auto tx = read_memory(0x1000, 8, handle);
        EXPECT_EQ(tx.on_ack(make_ack(0, gvcp::kReadMemAck, payload).header), AckOutcome::Done);
        EXPECT_EQ(error_text(handle.get().error()), expected);
    }
}

TEST(TransactionTest, MemoryWriteSendsConsecutiveChunks) {
    ResponseHandle<void> handle;
    Bytes data(600);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    auto tx = *Transaction::from_message(to_worker::WriteMemory{0x2000, data, handle}, quirks());
    EXPECT_EQ(tx.command(), gvcp::kWriteMemCmd);
    EXPECT_EQ(tx.encode(1), gvcp::encode_write_mem(0x2000, std::span(data).first(512), 1));
    EXPECT_EQ(tx.on_ack(make_ack(0, gvcp::kWriteMemAck, {}).header), AckOutcome::Continue);
    EXPECT_EQ(tx.encode(2), gvcp::encode_write_mem(0x2200, std::span(data).subspan(512), 2));
    EXPECT_EQ(tx.on_ack(make_ack(0, gvcp::kWriteMemAck, {}).header), AckOutcome::Done);
    EXPECT_TRUE(handle.get().ok());
}

TEST(TransactionTest, HeartbeatLosesControlOnNakClearedBitOrSilence) {
    auto hb = Transaction::heartbeat();
    EXPECT_TRUE(hb.is_heartbeat());
    EXPECT_EQ(hb.encode(5), gvcp::encode_read_reg(std::vector<uint32_t>{0x0A00}, 5));
    EXPECT_EQ(hb.on_ack(make_ack(0, gvcp::kReadRegAck, {0, 0, 0, 2}).header), AckOutcome::Done);
    EXPECT_EQ(hb.on_ack(make_ack(0, gvcp::kReadRegAck, {0, 0, 0, 1}).header),
              AckOutcome::ControlLost);
    EXPECT_EQ(hb.on_ack(make_ack(0x8006, gvcp::kReadRegAck, {}).header), AckOutcome::ControlLost);
    // A wrong acknowledge code is not a verdict on control: the next heartbeat decides.
    EXPECT_EQ(hb.on_ack(make_ack(0, gvcp::kWriteRegAck, {}).header), AckOutcome::Done);
    EXPECT_EQ(hb.on_timeout(), AckOutcome::ControlLost);
}

TEST(TransactionTest, TimeoutAndFailureReachTheRequester) {
    ResponseHandle<void> handle;
    auto tx =
        *Transaction::from_message(to_worker::WriteRegisters{{{0x0A00, 2}}, handle}, quirks());
    EXPECT_EQ(tx.on_timeout(), AckOutcome::Done);
    EXPECT_EQ(error_text(handle.get().error()), "timed out waiting for acknowledge");
    ResponseHandle<uint32_t> other;
    auto read = *Transaction::from_message(to_worker::ReadRegister{0x0A00, other}, quirks());
    read.fail(CameraError::not_connected());
    EXPECT_EQ(error_text(other.get().error()), "driver is not connected");
}
