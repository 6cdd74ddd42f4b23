// Receive batches laid out over the frame buffers, checked after the receive, and delivered.
#include "gige/stream/scatter.hpp"

#include <netinet/udp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace corvisk::gige {

namespace {

size_t header_size(bool extended_id) {
    return extended_id ? gvsp::kExtendedHeaderSize : gvsp::kStandardHeaderSize;
}

}  // namespace

CameraResult<std::unique_ptr<ScatterReceiver>> ScatterReceiver::create(const sockaddr_in& device) {
    std::unique_ptr<ScatterReceiver> r(new ScatterReceiver(device));
    try {
        r->datagrams_.resize(kMessages * kDatagramSize);
        r->overflow_.resize(kMessages * kDatagramSize);
        r->landings_.resize(kMessages * kMaxSegments);
        r->headers_.resize(kMessages * kMaxSegments);
        r->parsed_.resize(kMessages * kMaxSegments);
        r->iovs_.resize(kMessages * kIovsPerMessage);
    } catch (const std::bad_alloc&) {
        return Err{CameraError::io(ENOMEM)};
    }
    for (unsigned i = 0; i < kMessages; ++i) {
        r->msgs_[i].msg_hdr.msg_name = &r->sources_[i];
        r->msgs_[i].msg_hdr.msg_iov = &r->iovs_[i * kIovsPerMessage];
    }
    return r;
}

bool ScatterReceiver::enable_offload(int fd) {
    const int on = 1;
    offload_ = ::setsockopt(fd, IPPROTO_UDP, UDP_GRO, &on, sizeof on) == 0;
    return offload_;
}

int ScatterReceiver::receive(int fd, Assembler& assembler) {
    const unsigned wanted = aim(assembler);
    int n = ::recvmmsg(fd, msgs_.data(), wanted, MSG_DONTWAIT, nullptr);
    emptied_ = n < static_cast<int>(wanted);
    if (n <= 0) {
        return n;
    }
    // One clock reading for the whole batch: its datagrams were all waiting at once.
    const Instant now = Clock::now();
    const auto count = static_cast<unsigned>(n);
    bool copied = false;
    for (unsigned i = 0; i < count; ++i) {
        classify(i, copied);
    }
    for (unsigned i = 0; i < count; ++i) {
        deliver(i, assembler, now);
    }
    if (offload_) {
        for (unsigned i = 0; i < count; ++i) {
            adapt(i);
        }
    }
    return n;
}

// Message i gets the landings i*m .. i*m+m-1, up to the first one missing. Returns how many
// messages to take: past the last landing only one more (a trailer, or the next frame's
// leader), and without any landing just one, so that the frame that comes next is predicted
// from the next batch on instead of the whole batch being copied; after a few such short
// batches without any landing, all of them.
unsigned ScatterReceiver::aim(Assembler& assembler) {
    const unsigned m = segments_;
    assembler.predict(std::span<Assembler::Landing>(landings_.data(), size_t{kMessages} * m));
    last_predicted_ = 0;
    unsigned landed = 0;  // leading messages with landings
    for (unsigned i = 0; i < kMessages; ++i) {
        msghdr& h = msgs_[i].msg_hdr;
        h.msg_namelen = sizeof(sockaddr_in);
        h.msg_control = offload_ ? controls_[i].data() : nullptr;
        h.msg_controllen = offload_ ? controls_[i].size() : 0;
        unsigned first = i * m, pairs = 0;
        while (pairs < m && !landings_[first + pairs].region.empty()) {
            ++pairs;
        }
        aim_message(i, first, pairs);
        landed += landed == i && pairs > 0;
    }
    if (landed > 0) {
        short_batches_ = 0;
        return landed == kMessages ? kMessages : landed + 1;
    }
    return ++short_batches_ <= kShortBatches ? 1 : kMessages;
}

void ScatterReceiver::aim_message(unsigned i, unsigned first, unsigned pairs) {
    pairs_[i] = pairs;
    msghdr& h = msgs_[i].msg_hdr;
    iovec* iov = h.msg_iov;
    if (pairs == 0) {
        iov[0] = iovec{datagram(i), kDatagramSize};
        h.msg_iovlen = 1;
        return;
    }
    size_t hs = header_size(landings_[first].extended_id);
    header_size_[i] = hs;
    for (unsigned j = 0; j < pairs; ++j) {
        const Assembler::Landing& l = landings_[first + j];
        iov[2 * j] = iovec{headers_[first + j].data(), hs};
        iov[2 * j + 1] = iovec{l.region.data(), l.region.size()};
    }
    iov[2 * pairs] = iovec{overflow(i), kDatagramSize};
    h.msg_iovlen = 2 * pairs + 1;
    last_predicted_ = std::max<uint64_t>(last_predicted_, landings_[first + pairs - 1].packet_id);
}

// A message delivered from its own buffer may write into any landing of the frame, so once
// one is in the batch every later message that did not land wholly in place is copied out
// too: only a payload in its own place cannot be written over by another one.
void ScatterReceiver::classify(unsigned i, bool& copied) {
    if (!from_device(i)) {
        mode_[i] = Mode::Skip;
        return;
    }
    if (pairs_[i] == 0) {
        mode_[i] = Mode::Whole;
        copied = true;
        return;
    }
    // A message copied out may have taught the frame another payload size, which tentative
    // landings did not know.
    bool in_place = false;
    bool trusted = !copied || !landings_[size_t{i} * segments_].tentative;
    if (trusted && scattered_as_laid_out(i, in_place) && (in_place || !copied)) {
        mode_[i] = Mode::Scattered;
        return;
    }
    gather(i);
    counts_.gathered_messages += 1;
    mode_[i] = Mode::Whole;
    copied = true;
}

// Whether every segment of message i sits in its pair whole (header in its buffer, payload
// within its landing) with a header that parses, and may be delivered in batch order from
// where it landed. Parses the headers into parsed_, with their payloads where they landed;
// `in_place` tells whether every segment is the payload its landing was meant for.
bool ScatterReceiver::scattered_as_laid_out(unsigned i, bool& in_place) {
    const size_t length = msgs_[i].msg_len;
    const size_t hs = header_size_[i];
    size_t stride = coalesced_segment(i);
    stride = stride == 0 ? length : stride;
    if (stride == 0) {
        return false;
    }
    const size_t count = (length + stride - 1) / stride;
    if (count > pairs_[i]) {
        return false;
    }
    const size_t first = size_t{i} * segments_;
    in_place = true;
    for (size_t j = 0; j < count; ++j) {
        size_t segment = std::min(stride, length - j * stride);
        const Assembler::Landing& l = landings_[first + j];
        // Only a segment that fills its pair exactly leaves the next header where it belongs,
        // and only one that fills it confirms a tentative landing.
        bool exact = segment == hs + l.region.size();
        if (segment < hs || segment - hs > l.region.size() ||
            ((j + 1 < count || l.tentative) && !exact)) {
            return false;
        }
        gvsp::GvspHeader& h = parsed_[first + j];
        if (!gvsp::parse_header(std::span<const uint8_t>(headers_[first + j].data(), hs), h) ||
            header_size(h.extended_id) != hs) {
            return false;
        }
        h.payload = std::span<const uint8_t>(l.region.data(), segment - hs);
        if (!in_order(h, l)) {
            return false;
        }
        in_place =
            in_place && h.format == gvsp::kPayload && !h.is_error() && h.packet_id == l.packet_id;
    }
    segments_in_[i] = static_cast<unsigned>(count);
    stride_[i] = stride;
    return true;
}

// Delivering `h` from landing `l` in batch order writes nothing a later segment of the batch
// still has to be read from: leaders, trailers and error packets write no frame buffer; a
// payload of the predicted frame goes to its landing, below it (landings rise through the
// batch, so all of the batch's landings below it are read already) or past all of them. A
// payload of any other frame goes to a place not known here.
bool ScatterReceiver::in_order(const gvsp::GvspHeader& h, const Assembler::Landing& l) const {
    if (h.is_error() || h.format == gvsp::kLeader || h.format == gvsp::kTrailer) {
        return true;
    }
    if (h.format != gvsp::kPayload || h.block_id != l.block_id || h.extended_id != l.extended_id) {
        return false;
    }
    return h.packet_id <= l.packet_id || h.packet_id > last_predicted_;
}

// Copies message i's pieces (its pairs' headers and landings, then the overflow) into its
// datagram buffer, in order.
void ScatterReceiver::gather(unsigned i) {
    const msghdr& h = msgs_[i].msg_hdr;
    size_t left = msgs_[i].msg_len;
    uint8_t* out = datagram(i);
    for (size_t k = 0; k < h.msg_iovlen && left > 0; ++k) {
        size_t n = std::min(left, h.msg_iov[k].iov_len);
        std::memcpy(out, h.msg_iov[k].iov_base, n);
        out += n;
        left -= n;
    }
}

void ScatterReceiver::deliver(unsigned i, Assembler& assembler, Instant now) {
    const size_t length = msgs_[i].msg_len;
    const size_t coalesced = coalesced_segment(i);
    if (mode_[i] == Mode::Whole) {
        const uint8_t* data = datagram(i);
        if (coalesced == 0) {
            assembler.on_datagram(std::span<const uint8_t>(data, length), now);
            return;
        }
        counts_.coalesced_messages += 1;
        for (size_t offset = 0; offset < length; offset += coalesced) {
            counts_.coalesced_datagrams += 1;
            assembler.on_datagram(
                std::span<const uint8_t>(data + offset, std::min(coalesced, length - offset)), now);
        }
    } else if (mode_[i] == Mode::Scattered) {
        const size_t first = size_t{i} * segments_;
        counts_.coalesced_messages += coalesced != 0;
        for (size_t j = 0; j < segments_in_[i]; ++j) {
            const gvsp::GvspHeader& h = parsed_[first + j];
            bool moved =
                h.format == gvsp::kPayload && h.packet_id != landings_[first + j].packet_id;
            counts_.moved_segments += moved;
            counts_.coalesced_datagrams += coalesced != 0;
            assembler.on_packet(h, std::min(stride_[i], length - j * stride_[i]), now);
        }
    }
}

// The layout follows what the kernel does: as many pairs as the largest coalesced message held,
// and back to one pair once messages keep coming one full-sized datagram each.
void ScatterReceiver::adapt(unsigned i) {
    if (mode_[i] == Mode::Skip) {
        return;
    }
    const size_t length = msgs_[i].msg_len;
    if (size_t stride = coalesced_segment(i); stride != 0) {
        auto count = static_cast<unsigned>((length + stride - 1) / stride);
        segments_ = std::clamp(std::max(segments_, count), 1u, kMaxSegments);
        single_run_ = 0;
        return;
    }
    if (segments_ > 1 && pairs_[i] > 0 &&
        length == header_size_[i] + landings_[size_t{i} * segments_].region.size() &&
        ++single_run_ >= kSingleRunToReset) {
        segments_ = 1;
        single_run_ = 0;
    }
}

// The segment size of message i when the kernel coalesced several datagrams into it, else 0.
size_t ScatterReceiver::coalesced_segment(unsigned i) const {
    const msghdr& m = msgs_[i].msg_hdr;
    if (!offload_) {
        return 0;
    }
    for (const cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&m), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level == IPPROTO_UDP && c->cmsg_type == UDP_GRO &&
            c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int segment = 0;
            std::memcpy(&segment, CMSG_DATA(c), sizeof segment);
            return segment > 0 && static_cast<size_t>(segment) < msgs_[i].msg_len
                       ? static_cast<size_t>(segment)
                       : 0;
        }
    }
    return 0;
}

bool ScatterReceiver::from_device(unsigned i) const {
    const msghdr& m = msgs_[i].msg_hdr;
    const auto* source = static_cast<const sockaddr_in*>(m.msg_name);
    return m.msg_namelen >= sizeof(sockaddr_in) && source->sin_family == AF_INET &&
           source->sin_addr.s_addr == device_.sin_addr.s_addr;
}

}  // namespace corvisk::gige
