// Wire: one camera's control socket and the right to use it, shared by the control worker and
// the threads that call its ControlPorts.
//
// Requests are strictly one at a time on the wire. Whoever holds the slot (an atomic flag, not a
// mutex: it is only ever tried, except by the worker on its way out) sends on the socket and reads
// from it; nobody else touches the socket, the request id counter or the receive buffer. The
// worker holds the slot while it has anything queued or in flight and lets go of it when idle.
// A caller that finds the slot free and the worker wanting nothing takes it and carries its own
// request through on its own thread (run_direct): sending, waiting for the acknowledge on the
// socket, retrying, honouring PENDING_ACK. That saves the two thread hand-offs of the queued path
// (caller to worker and back), which cost about as much as the round trip itself on a short link.
//
// While a caller holds the slot the worker's poller does not watch the socket (the caller turns
// the watch off and on again), so an acknowledge wakes the caller alone. Device events the caller
// reads meanwhile are kept for the worker, which acknowledges and delivers them once it has the
// slot again; the caller wakes it for that, and whenever the worker asked for the slot while it
// was held (a queued request or a heartbeat came due).
//
// Thread-safe. The worker closes the wire on its way out (while holding the slot); later direct
// attempts find it closed and fall back to the queued path, which then fails as usual.
#pragma once

#include <sys/socket.h>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "gige/address.hpp"
#include "gige/link.hpp"
#include "gige/runner.hpp"
#include "poller.hpp"
#include "time.hpp"
#include "unique_fd.hpp"

namespace corvisk::gige {

class Transaction;

// What a datagram on the control socket may be taken as, by its source. Commands (device events)
// are taken from the device's address alone, acknowledges also from its control port on another
// address: a multi-homed device may answer from another of its addresses than the one we sent to
// (the route back leaves through another interface). Such a foreign acknowledge is accepted only
// when it matches the request in flight by id, and counted apart. The risk: another sender that
// guesses the current id (ids are sequential) could settle that one request in the device's
// place, never inject commands or events; a mismatched id from elsewhere is dropped silently.
enum class Inbound { Command, Ack, ForeignAck, Ignored };
Inbound classify_inbound(std::span<const uint8_t> datagram, const sockaddr_storage& source,
                         const SocketAddress& device);

class Wire {
  public:
    // A datagram the device sent while a caller held the slot, other than the acknowledge the
    // caller waited for: kept for the worker.
    struct Deferred {
        Bytes datagram;
        sockaddr_storage source{};
        socklen_t source_len = 0;
    };

    Wire(UniqueFd socket, const RunnerConfig& config, std::shared_ptr<Shared> shared);

    // Called once by spawn() before the worker starts: the worker's poller (borrowed; the worker
    // closes the wire before dropping it), the token it watches the socket under, and its waker.
    void attach_worker(int poller_fd, uint64_t socket_token, std::shared_ptr<Waker> waker);

    // The slot. try_acquire never blocks; acquire blocks until the holder lets go (worker only,
    // on its way out). release wakes the worker when it asked for the slot meanwhile.
    bool try_acquire();
    void acquire();
    void release();
    // Worker side: it has work waiting for the slot; callers leave the slot to it.
    void set_worker_wants(bool wants) { worker_wants_.store(wants); }
    // Requests posted to the worker's queue and not yet taken up by it (port: posted; worker:
    // taken, counted down only once it holds the slot or wants it). While any are there, direct
    // requests wait their turn in the queue, so one thread's requests keep their order.
    void note_posted() { posted_.fetch_add(1); }
    void note_taken(uint32_t n) { posted_.fetch_sub(n); }

    // Runs a blocking request on the caller's thread when the slot is free, the worker wants
    // nothing and the wire is open. False leaves `msg` untouched for the queued path; true means
    // the request's handle is settled (answer, device error, or AckTimeout once `timeout` ran
    // out: a caller's failure is final, a late acknowledge is then ignored).
    bool run_direct(ToWorker& msg, Duration timeout);

    // Holder only (the worker, holding the slot).
    int fd() const { return socket_.get(); }
    uint16_t next_id() { return last_id_ = gvcp::next_request_id(last_id_); }
    ssize_t send(std::span<const uint8_t> packet) const;
    std::vector<Deferred> take_deferred() { return std::exchange(deferred_, {}); }
    // Closes the socket; later direct attempts fall back. The worker calls it holding the slot.
    void close();

  private:
    struct Reception;
    void watch_socket(bool on) const;
    void run(Transaction tx, Instant deadline);
    std::optional<gvcp::AckHeader> wait_ack(uint16_t id, Instant until);
    std::optional<gvcp::AckHeader> take_datagram(uint16_t id, size_t n,
                                                 const sockaddr_storage& source, socklen_t len);
    bool send_counted(std::span<const uint8_t> packet);

    UniqueFd socket_;
    SocketAddress device_;
    sockaddr_storage device_sa_{};
    socklen_t device_len_ = 0;
    Duration timeout_;
    uint8_t retries_;
    bool monitor_;
    std::shared_ptr<Shared> shared_;
    int poller_fd_ = -1;
    uint64_t socket_token_ = 0;
    std::shared_ptr<Waker> waker_;

    std::atomic<uint32_t> slot_{0};
    std::atomic<bool> worker_wants_{false};
    std::atomic<uint32_t> posted_{0};
    // Holder only.
    uint16_t last_id_ = 0;
    bool closed_ = false;
    Bytes recv_buf_;
    std::vector<Deferred> deferred_;
};

}  // namespace corvisk::gige
