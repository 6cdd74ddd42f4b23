// The control worker: the single owner of one camera's GVCP socket. It runs on the thread
// "corvisk-gvcp", keeps exactly one transaction in flight, retransmits on silence, honours
// PENDING_ACK, keeps control alive with heartbeats, acknowledges device events, and on the way
// out fails every outstanding request and releases the device.
//
// API threads post ToWorker messages (through the ControlPort) and wait on the ResponseHandle
// inside; a blocking caller that finds the wire idle carries its request through itself instead
// (see gige/wire.hpp), under the same one-at-a-time rule.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "error.hpp"
#include "gige/address.hpp"
#include "gige/link.hpp"
#include "handle.hpp"
#include "queue.hpp"
#include "thread_util.hpp"
#include "time.hpp"

namespace corvisk::gige {

class Wire;

using Bytes = std::vector<uint8_t>;
using RegisterPairs = std::vector<std::pair<uint32_t, uint32_t>>;

// Messages from API threads to the worker.
namespace to_worker {
struct ReadRegister {
    uint32_t address;
    ResponseHandle<uint32_t> handle;
};
struct ReadRegisters {
    std::vector<uint32_t> addresses;
    ResponseHandle<std::vector<uint32_t>> handle;
};
struct WriteRegisters {
    RegisterPairs pairs;
    ResponseHandle<void> handle;
};
struct ReadMemory {
    uint32_t address;
    uint32_t length;
    ResponseHandle<Bytes> handle;
};
struct WriteMemory {
    uint32_t address;
    Bytes data;
    ResponseHandle<void> handle;
};
// Device events are offered (without blocking) to this channel until it disconnects.
struct Subscribe {
    chan::Sender<GvcpEvent> sender;
};
// Ends the worker: outstanding requests fail with NotConnected and CCP is released.
struct Shutdown {};
}  // namespace to_worker

using ToWorker = std::variant<to_worker::ReadRegister, to_worker::ReadRegisters,
                              to_worker::WriteRegisters, to_worker::ReadMemory,
                              to_worker::WriteMemory, to_worker::Subscribe, to_worker::Shutdown>;

struct RunnerConfig {
    SocketAddress device;            // the device's control address (port 3956)
    std::optional<IpAddress> local;  // bind address (port 0); none = unspecified of the family
    Duration gvcp_timeout = std::chrono::milliseconds(500);  // per-try acknowledge timeout
    uint8_t retries = 4;                                     // retransmissions per transaction
    uint32_t heartbeat_timeout_ms = 3000;  // heartbeat interval = max(this / 3, 10) ms
    ThreadConfig thread_config;
    // Monitor access: the application holds no control privilege, so the worker sends no
    // heartbeat, never releases CCP and refuses every write.
    bool monitor = false;
};

// What spawn() hands back: the owning handle of the worker (dropping it stops and joins the
// thread), the control socket's bound address, and the wire the worker shares with callers.
struct SpawnedRunner {
    ThreadHandle worker;
    SocketAddress local_address;
    std::shared_ptr<Wire> wire;
};

// Binds the control socket, sets up the poller and starts the worker thread, which consumes
// `receiver`. Every failure is ThreadSpawn; nothing is left running or open after one.
CameraResult<SpawnedRunner> spawn(chan::Receiver<ToWorker> receiver, std::shared_ptr<Shared> shared,
                                  const RunnerConfig& config);

// The heartbeat interval for a heartbeat timeout: a third of it, never below 10 ms.
Duration heartbeat_interval(uint32_t heartbeat_timeout_ms);

}  // namespace corvisk::gige
