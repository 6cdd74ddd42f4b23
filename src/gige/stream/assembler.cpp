// Frame assembly: find-or-create, packet placement, completion, delivery and packet resend.
#include "gige/stream/assembler.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "errno_text.hpp"
#include "gige/proto/gvcp.hpp"
#include "log.hpp"

namespace corvisk::gige {

namespace {

constexpr const char* kTarget = kStreamWorkerLogTarget;
// 2^64: the first double an unsigned 64-bit count cannot hold.
constexpr double kTwoPow64 = 18446744073709551616.0;
// A frame id at most this far behind the last started one belongs to a frame already started
// or finished; one further behind is taken as the device's id counter having restarted.
constexpr int64_t kLateFrameWindow = 99;

// The re-requests a frame may make: packet_count x ratio as an unsigned count, saturating, and
// at least one. A frame's first request for each of its packets is not counted: those are
// bounded by the packet count itself, and counting them would leave every frame that lost more
// than the ratio unable to complete although the device would resend all it lost.
uint64_t rerequest_budget(uint64_t packet_count, double ratio) {
    double budget = static_cast<double>(packet_count) * ratio;
    if (budget >= kTwoPow64) {
        return std::numeric_limits<uint64_t>::max();
    }
    return std::max<uint64_t>(1, static_cast<uint64_t>(budget));
}

// How an incomplete frame fails: its recorded status, or unplaceable data, or `otherwise`.
FrameStatus failure(const FrameInFlight& f, FrameStatus otherwise) {
    if (f.status) {
        return *f.status;
    }
    return f.unplaced ? FrameStatus::PayloadUnsupported : otherwise;
}

void advance_contiguous(FrameInFlight& f) {
    auto last = static_cast<int64_t>(f.packet_count) - 1;
    while (f.contiguous < last && f.slot.packets[static_cast<size_t>(f.contiguous + 1)].received) {
        ++f.contiguous;
    }
}

// After the packet count shrank, the prefix cannot reach past the new end.
void clamp_contiguous(FrameInFlight& f) {
    f.contiguous = std::min(f.contiguous, static_cast<int64_t>(f.packet_count) - 1);
}

}  // namespace

CameraResult<Assembler> Assembler::create(const AssemblerConfig& config, AssemblerHooks hooks) {
    uint64_t hint = 0;
    if (config.packet_size > gvsp::kStandardOverhead) {
        hint = gvsp::packet_count_for(config.payload_size,
                                      config.packet_size - gvsp::kStandardOverhead);
    }
    CVK_TRY_VOID(
        check_pool_memory(config.n_buffers, config.payload_size, config.pool_memory_limit));
    auto pool =
        CVK_TRY(FramePool::create(config.n_buffers, config.payload_size, hint, config.pool));
    return Assembler(config, std::move(hooks), std::move(pool));
}

Assembler::Assembler(const AssemblerConfig& config, AssemblerHooks hooks, FramePool pool)
    : config_(config), hooks_(std::move(hooks)), pool_(std::move(pool)) {
    if (!hooks_.wall_clock) {
        hooks_.wall_clock = [] { return wall_clock_ns(); };
    }
    // A frame in flight holds a pool buffer, so there are never more than n_buffers of them.
    in_flight_.reserve(std::max<uint64_t>(4, std::min<uint64_t>(config_.n_buffers, 64)));
}

uint64_t Assembler::packet_limit(uint64_t per_packet) const {
    uint64_t natural =
        gvsp::packet_count_for(config_.payload_size, std::max<uint64_t>(per_packet, 1));
    uint64_t floor = gvsp::packet_count_for(config_.payload_size, kMinPayloadPerPacket);
    return std::max({natural, floor, kMinPacketLimit});
}

void Assembler::on_datagram(std::span<const uint8_t> datagram, Instant now) {
    gvsp::GvspHeader h;
    if (!gvsp::parse_header(datagram, h)) {
        stats_.packets += 1;
        stats_.bytes += datagram.size();
        stats_.ignored_packets += 1;
        return;
    }
    on_packet(h, datagram.size(), now);
}

void Assembler::on_packet(const gvsp::GvspHeader& h, size_t size, Instant now) {
    stats_.packets += 1;
    stats_.bytes += size;
    if (first_packet_) {
        // The first frame seen is never late and never counts skipped ids.
        last_block_id_ = h.block_id - 1;
        first_packet_ = false;
    }
    std::optional<size_t> index = find_frame(h.block_id);
    if (index) {
        in_flight_[*index].last_packet_at = now;
    } else if (!(index = find_or_create_frame(h, now))) {
        return;
    }
    FrameInFlight& f = in_flight_[*index];
    if (f.provisional && h.format != gvsp::kAllIn && !take_over_provisional(f, h, now)) {
        count_stray();
        return;
    }
    if (h.is_error()) {
        on_error_packet(f, h);
        check_frame_completion(now, h.block_id);
        return;
    }
    if (!place_packet(f, h)) {
        return;
    }
    missing_packet_check(f, h.packet_id, now);
    check_frame_completion(now, h.block_id);
}

void Assembler::predict(std::span<Landing> out) {
    std::fill(out.begin(), out.end(), Landing{});
    if (in_flight_.empty()) {
        return;
    }
    FrameInFlight& f = in_flight_.back();
    // Before its first payload packet a frame is predicted with the negotiated size, which
    // only the receiver can confirm (from how the payloads landed).
    constexpr uint64_t kLargestPayload = 65535;
    bool tentative = !f.payload_size_learned;
    if (f.status || f.trailer_seen || f.payload_per_packet == 0 ||
        (tentative && f.payload_per_packet > kLargestPayload)) {
        return;
    }
    auto next = static_cast<uint64_t>(f.highest_received + 1);
    uint64_t buffer_length = f.slot.data.size();
    for (size_t i = 0; i < out.size(); ++i) {
        uint64_t p = next + i;
        if (p + 2 > f.packet_count) {
            return;
        }
        uint64_t offset = (p - 1) * f.payload_per_packet;
        if (p == 0 || f.slot.packets[p].received || offset >= buffer_length) {
            continue;
        }
        out[i].block_id = f.block_id;
        out[i].packet_id = static_cast<uint32_t>(p);
        out[i].extended_id = f.extended_id;
        out[i].tentative = tentative;
        out[i].region = std::span<uint8_t>(f.slot.data.data() + offset,
                                           std::min(f.payload_per_packet, buffer_length - offset));
    }
}

void Assembler::tick(Instant now) {
    check_frame_completion(now, std::nullopt);
}

void Assembler::abort_all() {
    while (!in_flight_.empty()) {
        close_frame(0, FrameStatus::Aborted);
    }
}

std::optional<size_t> Assembler::find_frame(uint64_t block_id) const {
    // Newest first: nearly every packet belongs to the frame being sent.
    for (size_t i = in_flight_.size(); i-- > 0;) {
        if (in_flight_[i].block_id == block_id) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> Assembler::initial_packet_count(const gvsp::GvspHeader& h) const {
    uint64_t overhead = h.extended_id ? gvsp::kExtendedOverhead : gvsp::kStandardOverhead;
    if (config_.packet_size <= overhead) {
        return std::nullopt;
    }
    uint64_t per_packet = config_.packet_size - overhead;
    uint64_t count = 0;
    switch (h.format) {
        case gvsp::kLeader: {
            auto leader = gvsp::parse_leader(h.payload);
            if (!leader || !gvsp::is_supported_payload_type(leader->payload_type)) {
                return std::nullopt;
            }
            count = gvsp::packet_count_for(config_.payload_size, per_packet);
            break;
        }
        case gvsp::kPayload:
            count = gvsp::packet_count_for(config_.payload_size, per_packet);
            break;
        case gvsp::kTrailer:
            count = uint64_t{h.packet_id} + 1;
            break;
        case gvsp::kAllIn:
            count = 1;
            break;
        default:
            return std::nullopt;
    }
    // A trailer numbered far beyond what the buffer can hold must not size the packet array.
    if (count > packet_limit(per_packet)) {
        return std::nullopt;
    }
    return count;
}

std::optional<size_t> Assembler::find_or_create_frame(const gvsp::GvspHeader& h, Instant now) {
    if (starved_block_ == h.block_id && h.block_id == last_block_id_) {
        return retry_starved_frame(h, now);
    }
    int64_t distance = gvsp::frame_id_distance(last_block_id_, h.block_id, h.extended_id);
    if (distance >= -kLateFrameWindow && distance <= 0) {
        CVK_LOG(log::Level::Trace, kTarget,
                log::fields("frame_id", h.block_id, "last", last_block_id_),
                "discarding late frame");
        stats_.ignored_packets += 1;
        return std::nullopt;
    }
    if (!gvsp::is_known_format(h.format)) {
        // A packet of a format not understood does not start a frame: it may be a stray sent
        // ahead of its frame's leader, and the frame's own packets must still find their id
        // unused. A device sending nothing else has each of its frames counted once.
        stats_.ignored_packets += 1;
        if (!last_unknown_block_ || *last_unknown_block_ != h.block_id) {
            stats_.unsupported_frames += 1;
            last_unknown_block_ = h.block_id;
        }
        return std::nullopt;
    }
    std::optional<uint64_t> count = initial_packet_count(h);
    if (!count) {
        stats_.ignored_packets += 1;
        stats_.unsupported_frames += 1;
        last_block_id_ = h.block_id;
        return std::nullopt;
    }
    BufSlot slot;
    if (!take_buffer(slot, h, now)) {
        return std::nullopt;
    }
    if (distance >= 2) {
        CVK_LOG(log::Level::Trace, kTarget,
                log::fields("skipped", distance - 1, "after", last_block_id_), "frame ids skipped");
        stats_.missing_frames += static_cast<uint64_t>(distance - 1);
    }
    last_block_id_ = h.block_id;
    return open_frame(std::move(slot), h, *count, now);
}

// A free buffer for the new frame `h`. With none left, a frame that waits at the head of the
// queue may be closed to make room (close_waiting_frame); when that brings no buffer back at
// once (the subscribers still hold what it delivered), the frame underruns and its later
// packets try again.
bool Assembler::take_buffer(BufSlot& slot, const gvsp::GvspHeader& h, Instant now) {
    starved_block_.reset();
    if (pool_.take(slot) == chan::RecvResult::Item) {
        return true;
    }
    bool closed = close_waiting_frame(now);
    if (closed && pool_.take(slot) == chan::RecvResult::Item) {
        return true;
    }
    stats_.underruns += 1;
    last_block_id_ = h.block_id;
    if (closed) {
        starved_block_ = h.block_id;
    }
    if (in_flight_.empty() && !warned_all_held_) {
        // Nothing here holds a buffer: the application keeps every frame it was given (or has
        // not taken them yet), which from its side only looks like frames that stop coming.
        warned_all_held_ = true;
        CVK_LOG(log::Level::Warn, kTarget,
                log::fields("n_buffers", config_.n_buffers, "frame_id", h.block_id),
                "no free frame buffer: all {} are held by the application or queued for it; "
                "new frames are lost until one is released",
                config_.n_buffers);
    }
    return false;
}

// The pool is empty. If the oldest frame in flight still waits for packets while newer frames
// queue behind it, it is what holds the buffers: it is closed as its timeout would close it,
// and the finished frames behind it go out with it, in order. A frame with all its packets in
// is never closed this way (it is already gone: frames close as soon as they are done), nor is
// a frame alone in flight, which holds no other frame back.
bool Assembler::close_waiting_frame(Instant now) {
    if (!config_.pool.close_waiting_when_empty || in_flight_.size() < 2 ||
        in_flight_[0].complete()) {
        return false;
    }
    CVK_LOG(log::Level::Trace, kTarget, log::fields("frame_id", in_flight_[0].block_id),
            "no free buffer: closing the oldest waiting frame");
    close_frame(0, failure(in_flight_[0], FrameStatus::Timeout));
    check_frame_completion(now, std::nullopt);
    return true;
}

// A later packet of the frame that underran after a waiting frame was closed: once a buffer is
// back the frame starts with this packet, and the ones it missed are asked for again like any
// other lost packets.
std::optional<size_t> Assembler::retry_starved_frame(const gvsp::GvspHeader& h, Instant now) {
    std::optional<uint64_t> count = initial_packet_count(h);
    BufSlot slot;
    if (!count || pool_.take(slot) != chan::RecvResult::Item) {
        stats_.ignored_packets += 1;
        return std::nullopt;
    }
    starved_block_.reset();
    return open_frame(std::move(slot), h, *count, now);
}

size_t Assembler::open_frame(BufSlot slot, const gvsp::GvspHeader& h, uint64_t count, Instant now) {
    start_frame(in_flight_.emplace_back(), std::move(slot), h, count, now);
    in_flight_.back().provisional = h.format == gvsp::kAllIn;
    return in_flight_.size() - 1;
}

void Assembler::start_frame(FrameInFlight& f, BufSlot slot, const gvsp::GvspHeader& h,
                            uint64_t count, Instant now) {
    slot.packets.assign(count, PacketSlot{});  // keeps the capacity of earlier frames
    uint64_t overhead = h.extended_id ? gvsp::kExtendedOverhead : gvsp::kStandardOverhead;
    f = FrameInFlight{};
    f.slot = std::move(slot);
    f.last_packet_at = now;
    f.last_progress_at = now;
    f.packets_at_progress = stats_.packets;
    f.block_id = h.block_id;
    f.packet_count = count;
    f.payload_per_packet = config_.packet_size - overhead;
    f.extended_id = h.extended_id;
}

// A leader, payload or trailer for a frame an all-in packet opened: that packet was a stray
// ahead of the frame's own packets, which now fill the frame as if it had not come. False when
// the packet cannot size the frame (the frame then stays as the all-in packet left it).
bool Assembler::take_over_provisional(FrameInFlight& f, const gvsp::GvspHeader& h, Instant now) {
    std::optional<uint64_t> count = initial_packet_count(h);
    if (!count) {
        return false;
    }
    start_frame(f, std::move(f.slot), h, *count, now);
    f.unplaced = true;
    placement_.stray_packets += 1;  // already counted as ignored when it arrived
    return true;
}

// An error status in place of a packet. When nothing will ever bring that packet (the device
// said it cannot resend it, or this stream does not ask), its slot counts as accounted for, so
// the frame closes as MissingPackets as soon as its other packets are in, instead of waiting for
// a timeout that a leader-only frame would never reach.
void Assembler::on_error_packet(FrameInFlight& f, const gvsp::GvspHeader& h) {
    stats_.error_packets += 1;
    bool stops = gvsp::stops_resend(h.status);
    if (stops) {
        f.resend_disabled = true;
        stats_.resend_disabled += 1;
    }
    uint64_t p = h.packet_id;
    if ((!stops && config_.resend_enabled) || p >= f.packet_count || f.slot.packets[p].received) {
        return;
    }
    f.slot.packets[p].received = true;
    f.received_packets += 1;
    f.gone_packets += 1;
    f.last_progress_at = f.last_packet_at;
    advance_contiguous(f);
}

// Marks the packet received and dispatches on its format. False for a duplicate, which ends
// the datagram's processing.
bool Assembler::place_packet(FrameInFlight& f, const gvsp::GvspHeader& h) {
    uint64_t p = h.packet_id;
    bool placeable =
        h.format == gvsp::kLeader || h.format == gvsp::kTrailer || h.format == gvsp::kPayload;
    // A packet whose data is not placed, inside a frame it did not start, takes no slot: the
    // frame's own packets go on filling it, and it fails only if they do not all arrive.
    if (!placeable && !(f.provisional && h.format == gvsp::kAllIn)) {
        count_stray();
        f.unplaced = true;
        return false;
    }
    // Nor does a payload packet numbered past the frame's last payload slot (the trailer's, or
    // beyond): a device glitch that must neither spoil the frame nor take the trailer's slot.
    if (h.format == gvsp::kPayload && p + 2 > f.packet_count && !f.status) {
        CVK_LOG(log::Level::Trace, kTarget,
                log::fields("frame_id", f.block_id, "packet_id", p, "packets", f.packet_count),
                "ignoring stray payload packet");
        count_stray();
        return false;
    }
    if (p < f.packet_count) {
        PacketSlot& slot = f.slot.packets[p];
        if (slot.received) {
            stats_.duplicated_packets += 1;
            return false;
        }
        if (slot.requested) {
            stats_.resent_packets += 1;
        }
        slot.received = true;
        f.received_packets += 1;
        f.last_progress_at = f.last_packet_at;  // stamped with this packet's arrival
        f.packets_at_progress = stats_.packets;
        f.highest_received = std::max(f.highest_received, static_cast<int64_t>(p));
        advance_contiguous(f);
    }
    switch (h.format) {
        case gvsp::kLeader:
            place_leader(f, h);
            break;
        case gvsp::kTrailer:
            place_trailer(f, p);
            break;
        case gvsp::kPayload:
            place_payload(f, h);
            break;
        default:  // all-in data is not placed; other formats are not understood
            stats_.ignored_packets += 1;
            // Its data never reaches the buffer, so the frame must not close as Complete.
            if (!f.status) {
                f.status = FrameStatus::PayloadUnsupported;
            }
            break;
    }
    return true;
}

void Assembler::count_stray() {
    stats_.ignored_packets += 1;
    placement_.stray_packets += 1;
}

void Assembler::place_leader(FrameInFlight& f, const gvsp::GvspHeader& h) {
    if (f.status) {
        return;
    }
    if (h.packet_id != 0) {
        f.status = FrameStatus::WrongPacketId;
        return;
    }
    f.system_timestamp_ns = hooks_.wall_clock();
    if (auto leader = gvsp::parse_leader(h.payload)) {
        f.leader = *leader;
    }
}

void Assembler::place_trailer(FrameInFlight& f, uint64_t p) {
    f.trailer_seen = true;
    if (f.status) {
        return;
    }
    if (p + 1 <= f.packet_count) {
        f.packet_count = p + 1;  // the trailer gives the frame's real length
        clamp_contiguous(f);
    } else {
        f.status = FrameStatus::WrongPacketId;
    }
}

void Assembler::place_payload(FrameInFlight& f, const gvsp::GvspHeader& h) {
    if (f.status) {
        return;
    }
    uint64_t p = h.packet_id;
    uint64_t length = h.payload.size();
    if (p == 1 && length > 0 && !f.payload_size_learned && !learn_payload_size(f, length)) {
        return;
    }
    if (p >= 1 && p + 2 <= f.packet_count) {
        copy_payload(f, p, h.payload);
        return;
    }
    CVK_LOG(log::Level::Trace, kTarget, {},
            "payload packet id {} outside 1..={} (frame {}, {} data bytes, ext={})", p,
            f.packet_count >= 2 ? f.packet_count - 2 : 0, f.block_id, length, f.extended_id);
    f.status = FrameStatus::WrongPacketId;
}

// The first payload packet fixes the frame's payload per packet (devices may send less than
// the negotiated size). False when the recomputed packet count would outgrow what the buffer
// can hold: the frame is then marked wrongly numbered instead of growing its packet array.
bool Assembler::learn_payload_size(FrameInFlight& f, uint64_t length) {
    f.payload_size_learned = true;
    if (length == f.payload_per_packet) {
        return true;
    }
    if (!f.trailer_seen) {
        uint64_t count = gvsp::packet_count_for(config_.payload_size, length);
        if (count > packet_limit(f.payload_per_packet)) {
            CVK_LOG(log::Level::Trace, kTarget,
                    log::fields("frame_id", f.block_id, "length", length),
                    "payload packets too small for the frame buffer");
            f.status = FrameStatus::WrongPacketId;
            return false;
        }
        f.packet_count = count;
        if (f.slot.packets.size() < count) {
            f.slot.packets.reserve(count);  // exactly: no geometric overshoot past the limit
            f.slot.packets.resize(count);
        }
        clamp_contiguous(f);
        advance_contiguous(f);
    }
    f.payload_per_packet = length;
    return true;
}

void Assembler::copy_payload(FrameInFlight& f, uint64_t p, std::span<const uint8_t> data) {
    uint64_t offset = (p - 1) * f.payload_per_packet;
    uint64_t length = data.size();
    uint64_t buffer_length = f.slot.data.size();
    if (offset + length > buffer_length) {
        if (p + 2 != f.packet_count) {
            stats_.size_mismatch_errors += 1;
        }
        length = offset >= buffer_length ? 0 : buffer_length - offset;
    }
    if (length == 0) {
        return;
    }
    uint8_t* target = f.slot.data.data() + offset;
    if (target == data.data()) {  // received in place: nothing to move
        placement_.in_place_bytes += length;
    } else {
        std::memmove(target, data.data(), length);
        placement_.copied_bytes += length;
    }
    f.received_size += length;
    f.data_end = std::max(f.data_end, offset + length);
}

std::optional<FrameStatus> Assembler::closing_status(const FrameInFlight& f, bool newer_exists,
                                                     Instant now) const {
    // An all-in frame waits a little for packets of its own id: if they come, it was a stray.
    if (f.provisional && !newer_exists && now - f.last_packet_at < config_.resend_interval) {
        return std::nullopt;
    }
    if (f.complete()) {
        return f.status.value_or(f.gone_packets > 0 ? FrameStatus::MissingPackets
                                                    : FrameStatus::Complete);
    }
    // Without resends the holes of a frame the device has moved past will never be filled.
    if ((!config_.resend_enabled || f.resend_disabled) && newer_exists) {
        return f.unplaced ? FrameStatus::PayloadUnsupported : FrameStatus::MissingPackets;
    }
    // Nor will they once the frame may ask for no more and its trailer is in: closing it now
    // frees its buffer and the frames queued behind it.
    if ((f.resend_disabled || f.ratio_reached) && f.trailer_seen) {
        return failure(f, FrameStatus::MissingPackets);
    }
    // A frame out of re-requests whose last answers had a full interval to come and did not
    // is as good as lost: waiting for the timeout would only hold back the frames behind it.
    // Without its trailer it closes as the timeout would have closed it.
    if (f.ratio_reached && now - f.last_packet_at >= config_.resend_interval) {
        return failure(f, FrameStatus::Timeout);
    }
    // A leader alone may precede a long exposure; a frame already failed, or one with packets
    // past a hole, has nothing to wait for. The timeout runs from the last packet that filled
    // a slot, so a device repeating packets cannot hold a frame (and those behind it) forever.
    bool only_leader_of_newest = !f.status && f.contiguous == 0 && f.received_packets == 1 &&
                                 !f.trailer_seen && f.block_id == last_block_id_;
    if (!only_leader_of_newest && now - f.last_progress_at >= config_.frame_timeout) {
        return failure(f, FrameStatus::Timeout);
    }
    return std::nullopt;
}

void Assembler::check_frame_completion(Instant now, std::optional<uint64_t> placed_block) {
    while (!in_flight_.empty()) {
        auto status = closing_status(in_flight_[0], in_flight_.size() > 1, now);
        if (!status) {
            break;
        }
        close_frame(0, *status);
    }
    // A frame that has gone quiet is swept for holes up to its end; one the device has moved
    // past (newer frames got a run of packets since its last one) as soon as it is quiet for
    // the initial delay, since its missing tail, trailer included, will not come by itself.
    for (size_t i = 0; i < in_flight_.size(); ++i) {
        FrameInFlight& f = in_flight_[i];
        if (placed_block && f.block_id == *placed_block) {
            continue;
        }
        Duration quiet = now - f.last_packet_at;
        bool passed = i + 1 < in_flight_.size() && quiet >= config_.resend_initial_delay &&
                      stats_.packets - f.packets_at_progress >= kPassedAfterPackets;
        if (passed || quiet >= config_.resend_interval) {
            missing_packet_check(f, f.packet_count - 1, now);
        }
    }
}

void Assembler::close_frame(size_t index, FrameStatus status) {
    if (hooks_.before_close) {
        hooks_.before_close();
    }
    FrameInFlight f = std::move(in_flight_[index]);
    in_flight_.erase(in_flight_.begin() + static_cast<ptrdiff_t>(index));
    count_closed(f, status);
    FramePtr frame = build_frame(f, status);
    publish();
    deliver(frame);
}

void Assembler::count_closed(const FrameInFlight& f, FrameStatus status) {
    if (status == FrameStatus::Complete) {
        stats_.completed_frames += 1;
        return;
    }
    CVK_LOG(log::Level::Trace, kTarget,
            log::fields("frame_id", f.block_id, "status", frame_status_name(status)),
            "frame closed incomplete");
    if (status == FrameStatus::Aborted) {
        stats_.aborted_frames += 1;
        return;
    }
    if (status == FrameStatus::Timeout) {
        stats_.timed_out_frames += 1;
    }
    stats_.failed_frames += 1;
    stats_.missing_packets +=
        f.packet_count - static_cast<uint64_t>(f.contiguous + 1) + f.gone_packets;
}

FramePtr Assembler::build_frame(FrameInFlight& f, FrameStatus status) {
    auto frame = std::make_shared<Frame>();
    frame->frame_id = f.block_id;
    frame->system_timestamp_ns = f.system_timestamp_ns;
    frame->received_size = f.received_size;
    frame->data_end = f.data_end;
    gvsp::PayloadClass kind = gvsp::classify_payload(f.leader);
    frame->payload_kind = kind.kind;
    frame->payload_type = kind.raw;
    if (f.leader) {
        const gvsp::LeaderInfo& l = *f.leader;
        frame->timestamp_ticks = l.timestamp;
        frame->has_chunks = l.has_chunks;
        frame->pixel_format = l.pixel_format;
        frame->width = l.size_x;
        frame->height = l.size_y;
        frame->x_offset = l.offset_x;
        frame->y_offset = l.offset_y;
        frame->padding_x = l.padding_x;
        frame->padding_y = l.padding_y;
    }
    frame->timestamp_ns =
        device_timestamp_ns(frame->timestamp_ticks, config_.tick_frequency, f.system_timestamp_ns);
    frame->status = status;
    frame->buffer = PooledBuf(std::move(f.slot), pool_.home);
    return frame;
}

void Assembler::deliver(const FramePtr& frame) {
    uint64_t dropped = 0;
    for (size_t i = 0; i < subscribers_.size();) {
        FramePtr copy = frame;
        switch (subscribers_[i].try_send(std::move(copy))) {
            case chan::SendResult::Ok:
                ++i;
                break;
            case chan::SendResult::Full:
                ++dropped;
                ++i;
                break;
            case chan::SendResult::Disconnected:
                subscribers_.erase(subscribers_.begin() + static_cast<ptrdiff_t>(i));
                break;
        }
    }
    if (dropped > 0) {
        stats_.frames_dropped += dropped;
        publish();
    }
}

// Only two things can make a call request anything: a hole that is due, and none is before
// next_due; new holes (past holes_known_upto) only get their first request time, which is never
// due at once. So the search over the frame's packets runs only when a hole is due, not for
// every packet placed behind one.
void Assembler::missing_packet_check(FrameInFlight& f, uint64_t upto, Instant now) {
    // A ratio of zero (or less, or NaN) asks for nothing at all.
    if (!config_.resend_enabled || f.resend_disabled || f.ratio_reached ||
        !(config_.resend_ratio > 0.0) || upto >= f.packet_count) {
        return;
    }
    uint64_t budget = rerequest_budget(f.packet_count, config_.resend_ratio);
    auto start = static_cast<uint64_t>(f.contiguous + 1);
    if (start > upto + 1) {
        return;
    }
    auto known = static_cast<uint64_t>(std::max<int64_t>(f.holes_known_upto, f.contiguous));
    if (f.next_due < now) {
        walk_holes(f, start, upto, budget, now);
        return;
    }
    Instant first_request = now + config_.resend_initial_delay;
    for (uint64_t p = std::max(start, known + 1); p <= upto; ++p) {
        PacketSlot& slot = f.slot.packets[p];
        if (!slot.received && !slot.next_request_at) {
            slot.next_request_at = first_request;
            f.next_due = std::min(f.next_due, first_request);
        }
    }
    f.holes_known_upto = std::max(f.holes_known_upto, static_cast<int64_t>(upto));
}

// The full search from `start` to `upto`: first request times for new holes, runs of due holes
// requested as ranges, and next_due recomputed from what the walk saw.
void Assembler::walk_holes(FrameInFlight& f, uint64_t start, uint64_t upto, uint64_t budget,
                           Instant now) {
    bool covers_all_known = static_cast<int64_t>(upto) >= f.holes_known_upto;
    Instant earliest = covers_all_known ? Instant::max() : f.next_due;
    f.holes_known_upto = std::max(f.holes_known_upto, static_cast<int64_t>(upto));
    std::optional<uint64_t> run;  // first packet of the open run of due packets
    for (uint64_t p = start; p <= upto + 1; ++p) {
        PacketSlot* slot = p <= upto ? &f.slot.packets[p] : nullptr;
        if (slot && !slot->received) {
            if (!slot->next_request_at) {
                slot->next_request_at = now + config_.resend_initial_delay;
            }
            if (*slot->next_request_at < now) {
                run = run.value_or(p);
                continue;
            }
            earliest = std::min(earliest, *slot->next_request_at);
        }
        if (run) {
            if (!close_run(f, *run, p, budget, now)) {
                return;
            }
            earliest = std::min(earliest, now + config_.resend_interval);
            run.reset();
        }
    }
    f.next_due = earliest;
}

// Requests packets first..end-1, unless their re-requests would exceed the frame's budget (then
// the frame stops requesting) or the stream's pacing has no room for them now (then the run
// stays due and is asked for a little later); false in both cases, which ends the walk.
bool Assembler::close_run(FrameInFlight& f, uint64_t first, uint64_t end, uint64_t budget,
                          Instant now) {
    uint64_t again = 0;
    for (uint64_t p = first; p < end; ++p) {
        again += f.slot.packets[p].requested ? 1 : 0;
    }
    if (f.rerequested_total + again > budget) {
        f.ratio_reached = true;
        stats_.resend_ratio_reached += 1;
        return false;
    }
    if (!take_resend_tokens(end - first, now)) {
        f.next_due = now + config_.resend_initial_delay;
        return false;
    }
    f.rerequested_total += again;
    f.requested_total += end - first;
    for (uint64_t p = first; p < end; ++p) {
        f.slot.packets[p].requested = true;
        f.slot.packets[p].next_request_at = now + config_.resend_interval;
    }
    send_resend_request(f, first, end - 1);
    return true;
}

// Refills the pacing tokens from the datagrams received and the time passed, then takes
// `packets` of them if there are that many.
bool Assembler::take_resend_tokens(uint64_t packets, Instant now) {
    // Room for two of the largest frames this stream may number, so a whole frame can always
    // be asked for at once.
    uint64_t per_packet = config_.packet_size > gvsp::kStandardOverhead
                              ? config_.packet_size - gvsp::kStandardOverhead
                              : kMinPayloadPerPacket;
    double cap = static_cast<double>(std::max(kMinResendBurst, 2 * packet_limit(per_packet)));
    if (!tokens_at_) {
        resend_tokens_ = cap;
    } else {
        double seconds = std::chrono::duration<double>(now - *tokens_at_).count();
        resend_tokens_ += static_cast<double>(stats_.packets - tokens_packets_seen_) +
                          kResendTokensPerSecond * std::max(seconds, 0.0);
    }
    resend_tokens_ = std::min(resend_tokens_, cap);
    tokens_at_ = now;
    tokens_packets_seen_ = stats_.packets;
    if (resend_tokens_ < static_cast<double>(packets)) {
        return false;
    }
    resend_tokens_ -= static_cast<double>(packets);
    return true;
}

void Assembler::send_resend_request(const FrameInFlight& f, uint64_t first, uint64_t last) {
    CVK_LOG(log::Level::Trace, kTarget,
            log::fields("frame_id", f.block_id, "first", first, "last", last),
            "requesting packet resend");
    resend_req_id_ = resend_req_id_ == kLastResendRequestId
                         ? kFirstResendRequestId
                         : static_cast<uint16_t>(resend_req_id_ + 1);
    size_t n =
        gvcp::encode_packet_resend(resend_buffer_, f.block_id, static_cast<uint32_t>(first),
                                   static_cast<uint32_t>(last), f.extended_id, resend_req_id_);
    if (hooks_.send) {
        if (int err = hooks_.send(std::span<const uint8_t>(resend_buffer_.data(), n)); err != 0) {
            CVK_LOG(log::Level::Trace, kTarget, {}, "resend request send failed: {}",
                    errno_text(err));
        }
    }
    stats_.resend_requests += last - first + 1;
}

void Assembler::publish() {
    if (hooks_.publish) {
        hooks_.publish(stats_);
    }
}

}  // namespace corvisk::gige
