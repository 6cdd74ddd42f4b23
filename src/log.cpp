// Logging facade: a global sink pointer guarded by a mutex, with an atomic level gate in front.
#include "log.hpp"

#include <atomic>
#include <utility>

namespace corvisk::log {

namespace {

std::atomic<uint8_t> g_min_level{static_cast<uint8_t>(Level::Off)};

struct SinkSlot {
    std::mutex mu;
    std::shared_ptr<Sink> sink;
};

SinkSlot& slot() {
    static SinkSlot* s = new SinkSlot;  // never destroyed: workers may log during exit
    return *s;
}

}  // namespace

const char* level_name(Level level) {
    switch (level) {
        case Level::Trace:
            return "TRACE";
        case Level::Debug:
            return "DEBUG";
        case Level::Warn:
            return "WARN";
        case Level::Error:
            return "ERROR";
        case Level::Off:
            return "OFF";
    }
    return "?";
}

const std::string* Record::field(std::string_view name) const {
    for (const Field& f : fields) {
        if (f.name == name) {
            return &f.value;
        }
    }
    return nullptr;
}

bool enabled(Level level) noexcept {
    return static_cast<uint8_t>(level) >= g_min_level.load(std::memory_order_relaxed);
}

void emit(Level level, std::string_view target, Fields fields, std::string message) {
    std::shared_ptr<Sink> sink;
    {
        std::lock_guard lock(slot().mu);
        sink = slot().sink;
    }
    if (sink && enabled(level)) {
        sink->write(Record{level, std::string(target), std::move(message), std::move(fields)});
    }
}

std::shared_ptr<Sink> set_sink(std::shared_ptr<Sink> sink, Level min_level) {
    std::lock_guard lock(slot().mu);
    g_min_level.store(static_cast<uint8_t>(sink ? min_level : Level::Off),
                      std::memory_order_relaxed);
    return std::exchange(slot().sink, std::move(sink));
}

bool remove_sink(const std::shared_ptr<Sink>& sink) {
    std::shared_ptr<Sink> removed;  // released outside the lock
    std::lock_guard lock(slot().mu);
    if (!sink || slot().sink != sink) {
        return false;
    }
    g_min_level.store(static_cast<uint8_t>(Level::Off), std::memory_order_relaxed);
    removed = std::exchange(slot().sink, nullptr);
    return true;
}

void CaptureSink::write(const Record& record) {
    std::lock_guard lock(mu_);
    records_.push_back(record);
}

std::vector<Record> CaptureSink::records() const {
    std::lock_guard lock(mu_);
    return records_;
}

bool CaptureSink::contains(Level level, std::string_view target, std::string_view message) const {
    std::lock_guard lock(mu_);
    for (const Record& r : records_) {
        if (r.level == level && r.target == target && r.message == message) {
            return true;
        }
    }
    return false;
}

size_t CaptureSink::count_containing(std::string_view fragment) const {
    std::lock_guard lock(mu_);
    size_t n = 0;
    for (const Record& r : records_) {
        n += r.message.find(fragment) != std::string::npos;
    }
    return n;
}

void CaptureSink::clear() {
    std::lock_guard lock(mu_);
    records_.clear();
}

ScopedCapture::ScopedCapture(Level min_level)
    : sink_(std::make_shared<CaptureSink>()), previous_(set_sink(sink_, min_level)) {}

ScopedCapture::~ScopedCapture() {
    set_sink(previous_);
}

}  // namespace corvisk::log
