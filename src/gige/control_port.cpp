// ControlPort posting and the blocking PortIo read/write on top of it.
#include "gige/control_port.hpp"

#include "bytes.hpp"
#include "log.hpp"

namespace corvisk::gige {

namespace {

constexpr const char* kTarget = "corvisk::gige";
constexpr uint64_t kAddressSpace = uint64_t{1} << 32;
constexpr uint32_t kWord = 4;

// A transfer that would run past the end of the 32-bit address space would wrap around to
// address 0 on the wire; refuse it instead.
bool wraps(uint32_t address, size_t length) {
    return uint64_t{address} + length > kAddressSpace;
}

// A non-empty memory access that one READMEM/WRITEMEM carries and that stays below 2^32.
bool fits_one_datagram(uint32_t address, size_t length) {
    return length > 0 && length <= gvcp::kMaxMemoryChunk && !wraps(address, length);
}

CameraError beyond_32_bit(uint64_t address) {
    return CameraError::malformed(fmt::format("address {:#x} beyond 32 bit", address));
}

}  // namespace

WorkerRef WorkerRef::of(const ThreadHandle& worker) {
    return WorkerRef{worker.alive_flag(), worker.stop_flag(), worker.waker()};
}

void WorkerRef::wake() const {
    if (waker) {
        waker->wake();
    }
}

template <class T>
void ControlPort::post(ToWorker msg, const ResponseHandle<T>& handle) const {
    if (!worker_.is_alive()) {
        handle.fail(CameraError::not_connected());
        return;
    }
    if (wire_) {
        wire_->note_posted();
    }
    if (sender_.try_send(std::move(msg)) != chan::SendResult::Ok) {
        if (wire_) {
            wire_->note_taken(1);
        }
        handle.fail(CameraError::not_connected());
        return;
    }
    worker_.wake();
    // The worker may have finished its final drain just before the message arrived: answer
    // it here (a result the worker already gave stays, the first one wins).
    if (!worker_.is_alive()) {
        handle.fail(CameraError::not_connected());
    }
}

template <class T>
CameraResult<T> ControlPort::call(ToWorker msg, const ResponseHandle<T>& handle,
                                  Duration timeout) const {
    if (interrupt_requested()) {
        return Err{interrupted_error()};  // the operation was interrupted: send nothing more
    }
    if (wire_ && worker_.is_alive() && wire_->run_direct(msg, timeout)) {
        return unshare(handle.get());
    }
    post(std::move(msg), handle);
    return wait_or_cancel(handle, timeout);
}

ResponseHandle<uint32_t> ControlPort::read_register(uint32_t address) const {
    ResponseHandle<uint32_t> handle;
    post(to_worker::ReadRegister{address, handle}, handle);
    return handle;
}

ResponseHandle<std::vector<uint32_t>> ControlPort::read_registers(
    std::vector<uint32_t> addresses) const {
    ResponseHandle<std::vector<uint32_t>> handle;
    post(to_worker::ReadRegisters{std::move(addresses), handle}, handle);
    return handle;
}

ResponseHandle<void> ControlPort::write_register(uint32_t address, uint32_t value) const {
    CVK_LOG(log::Level::Trace, kTarget, {}, "write register {:#06x} := {:#010x}", address, value);
    ResponseHandle<void> handle;
    post(to_worker::WriteRegisters{{{address, value}}, handle}, handle);
    return handle;
}

ResponseHandle<Bytes> ControlPort::read_memory(uint32_t address, uint32_t length) const {
    ResponseHandle<Bytes> handle;
    if (address % 4 != 0) {
        handle.fail(CameraError::malformed("read address must be 4-byte aligned"));
    } else if (wraps(address, length)) {
        handle.fail(beyond_32_bit(uint64_t{address} + length - 1));
    } else if (length == 0 && worker_.is_alive()) {
        handle.fulfill(Bytes{});  // nothing to ask the device for
    } else if (length == 0) {
        handle.fail(CameraError::not_connected());
    } else {
        post(to_worker::ReadMemory{address, length, handle}, handle);
    }
    return handle;
}

ResponseHandle<void> ControlPort::write_memory(uint32_t address, Bytes data) const {
    CVK_LOG(log::Level::Trace, kTarget, {}, "write memory {:#06x} ({} bytes)", address,
            data.size());
    ResponseHandle<void> handle;
    if (address % 4 != 0 || data.size() % 4 != 0) {
        handle.fail(CameraError::malformed("write address and length must be 4-byte aligned"));
    } else if (wraps(address, data.size())) {
        handle.fail(beyond_32_bit(uint64_t{address} + data.size() - 1));
    } else if (data.empty() && worker_.is_alive()) {
        handle.fulfill({});
    } else if (data.empty()) {
        handle.fail(CameraError::not_connected());
    } else {
        post(to_worker::WriteMemory{address, std::move(data), handle}, handle);
    }
    return handle;
}

void ControlPort::subscribe_events(chan::Sender<GvcpEvent> sender) const {
    if (sender_.try_send(to_worker::Subscribe{std::move(sender)}) == chan::SendResult::Ok) {
        worker_.wake();
    }
}

void ControlPort::shutdown() const {
    if (sender_.try_send(to_worker::Shutdown{}) == chan::SendResult::Ok) {
        worker_.wake();
    }
}

Duration ControlPort::memory_wait(size_t length) const {
    auto chunks = static_cast<Duration::rep>(length / gvcp::kMaxMemoryChunk + 1);
    if (request_timeout_.count() > Duration::max().count() / chunks) {
        return Duration::max();
    }
    return request_timeout_ * chunks;
}

CameraResult<void> ControlPort::read(uint64_t address, std::span<uint8_t> buffer) {
    if (address >= kAddressSpace) {
        return Err{beyond_32_bit(address)};
    }
    if (buffer.size() >= kAddressSpace) {
        return Err{beyond_32_bit(address + buffer.size() - 1)};
    }
    auto addr = static_cast<uint32_t>(address);
    if (addr % kWord != 0) {
        return read_unaligned(addr, buffer);
    }
    if (buffer.size() == kWord) {
        ResponseHandle<uint32_t> handle;
        uint32_t value =
            CVK_TRY(call(to_worker::ReadRegister{addr, handle}, handle, request_timeout_));
        store_be32(buffer.data(), value);
        return {};
    }
    const auto length = static_cast<uint32_t>(buffer.size());
    Bytes bytes;
    if (fits_one_datagram(addr, length)) {  // a string or a wide register: worth the direct path
        ResponseHandle<Bytes> handle;
        bytes =
            CVK_TRY(call(to_worker::ReadMemory{addr, length, handle}, handle, memory_wait(length)));
    } else {
        bytes = CVK_TRY(wait_or_cancel(read_memory(addr, length), memory_wait(length)));
    }
    if (bytes.size() != buffer.size()) {
        return Err{CameraError::malformed("short memory read")};
    }
    std::copy(bytes.begin(), bytes.end(), buffer.begin());
    return {};
}

CameraResult<void> ControlPort::write(uint64_t address, std::span<const uint8_t> data) {
    if (address >= kAddressSpace) {
        return Err{beyond_32_bit(address)};
    }
    if (data.size() >= kAddressSpace) {
        return Err{beyond_32_bit(address + data.size() - 1)};
    }
    auto addr = static_cast<uint32_t>(address);
    if (addr % kWord != 0 || data.size() % kWord != 0) {
        return write_unaligned(addr, data);
    }
    if (data.size() == kWord) {
        const uint32_t value = load_be32(data.data());
        CVK_LOG(log::Level::Trace, kTarget, {}, "write register {:#06x} := {:#010x}", addr, value);
        ResponseHandle<void> handle;
        return call(to_worker::WriteRegisters{{{addr, value}}, handle}, handle, request_timeout_);
    }
    if (fits_one_datagram(addr, data.size())) {
        ResponseHandle<void> handle;
        return call(to_worker::WriteMemory{addr, Bytes(data.begin(), data.end()), handle}, handle,
                    memory_wait(data.size()));
    }
    auto handle = write_memory(addr, Bytes(data.begin(), data.end()));
    return wait_or_cancel(handle, memory_wait(data.size()));
}

CameraResult<ControlPort::Words> ControlPort::enclosing_words(uint32_t address, size_t length) {
    if (wraps(address, length)) {
        return Err{beyond_32_bit(uint64_t{address} + length - 1)};
    }
    Words w;
    w.begin = address & ~uint32_t{kWord - 1};
    w.offset = address - w.begin;
    // The end rounds up to at most 2^32 (a multiple of the word size), so the words never wrap.
    uint64_t end = (uint64_t{address} + length + kWord - 1) & ~uint64_t{kWord - 1};
    uint64_t size = end - w.begin;
    if (size >= kAddressSpace) {
        return Err{beyond_32_bit(end - 1)};
    }
    w.bytes.resize(static_cast<size_t>(size));
    CVK_TRY_VOID(read(w.begin, w.bytes));
    return w;
}

CameraResult<void> ControlPort::read_unaligned(uint32_t address, std::span<uint8_t> buffer) {
    if (buffer.empty()) {
        return {};
    }
    Words w = CVK_TRY(enclosing_words(address, buffer.size()));
    auto first = w.bytes.begin() + static_cast<std::ptrdiff_t>(w.offset);
    std::copy(first, first + static_cast<std::ptrdiff_t>(buffer.size()), buffer.begin());
    return {};
}

// Read-modify-write: the device's memory commands move whole aligned words only, and no
// command writes part of one, so the bytes sharing a word with the target have to be sent
// along, and the only way to know them is to read them first. This is not atomic on the
// device: a neighbouring byte the device itself changes between the read and the write
// (a status or self-clearing bit) is written back with its old value, as is one another
// caller of this port writes meanwhile. Descriptions that pack independent fields into one
// word accept that; there is no other way to reach such a register.
CameraResult<void> ControlPort::write_unaligned(uint32_t address, std::span<const uint8_t> data) {
    if (data.empty()) {
        return {};
    }
    Words w = CVK_TRY(enclosing_words(address, data.size()));
    std::copy(data.begin(), data.end(), w.bytes.begin() + static_cast<std::ptrdiff_t>(w.offset));
    return write(w.begin, w.bytes);
}

}  // namespace corvisk::gige
