// Structured logging facade: level, target, message and named fields.
//
// The library installs no sink: by default every event is discarded, and a disabled level costs
// one relaxed atomic load (the message and fields are not even formatted). Tests install a
// capturing sink to assert what was logged; the corvisk package installs one that hands records
// to Python's logging (src/ext/log_tap.cpp). The facade is
// thread-safe (docs/threading.md); the sink lock is a leaf lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

namespace corvisk::log {

enum class Level : uint8_t { Trace = 0, Debug = 1, Warn = 2, Error = 3, Off = 4 };

const char* level_name(Level level);

struct Field {
    std::string name;
    std::string value;
};
using Fields = std::vector<Field>;

struct Record {
    Level level;
    std::string target;
    std::string message;
    Fields fields;

    // The value of the named field, or nullptr.
    const std::string* field(std::string_view name) const;
};

class Sink {
  public:
    virtual ~Sink() = default;
    virtual void write(const Record& record) = 0;
};

// True when an event of this level would reach a sink.
bool enabled(Level level) noexcept;
void emit(Level level, std::string_view target, Fields fields, std::string message);

// Installs a sink receiving events of at least min_level; nullptr restores the discarding
// default. Returns the previous sink. For tests and embedders inside this process only.
std::shared_ptr<Sink> set_sink(std::shared_ptr<Sink> sink, Level min_level = Level::Trace);

// Restores the discarding default if `sink` is the installed sink (another may have replaced
// it since, and stays). True when it was removed.
bool remove_sink(const std::shared_ptr<Sink>& sink);

// Builds a field list from name/value pairs: fields("id", 5, "tries_left", 3).
inline void append_fields(Fields&) {}
template <class V, class... Rest>
void append_fields(Fields& out, const char* name, const V& value, const Rest&... rest) {
    out.push_back(Field{name, fmt::format("{}", value)});
    append_fields(out, rest...);
}
template <class... Args>
Fields fields(const Args&... args) {
    static_assert(sizeof...(Args) % 2 == 0, "fields() takes name/value pairs");
    Fields out;
    out.reserve(sizeof...(Args) / 2);
    append_fields(out, args...);
    return out;
}

// A thread-safe sink that keeps every record; for tests.
class CaptureSink : public Sink {
  public:
    void write(const Record& record) override;
    std::vector<Record> records() const;
    // True when a record of this level and target has exactly this message.
    bool contains(Level level, std::string_view target, std::string_view message) const;
    // Number of records whose message contains the fragment.
    size_t count_containing(std::string_view fragment) const;
    void clear();

  private:
    mutable std::mutex mu_;
    std::vector<Record> records_;
};

// Installs a CaptureSink for the lifetime of the guard (tests).
class ScopedCapture {
  public:
    explicit ScopedCapture(Level min_level = Level::Trace);
    ~ScopedCapture();
    ScopedCapture(const ScopedCapture&) = delete;
    ScopedCapture& operator=(const ScopedCapture&) = delete;
    CaptureSink& sink() { return *sink_; }

  private:
    std::shared_ptr<CaptureSink> sink_;
    std::shared_ptr<Sink> previous_;
};

}  // namespace corvisk::log

// CVK_LOG(level, target, fields, format, args...): `fields` is {} or log::fields(...); it and the
// message are evaluated only when the level is enabled.
#define CVK_LOG(level, target, fields_expr, ...)                                     \
    do {                                                                             \
        if (::corvisk::log::enabled(level)) {                                        \
            ::corvisk::log::emit(level, target, ::corvisk::log::Fields(fields_expr), \
                                 ::fmt::format(__VA_ARGS__));                        \
        }                                                                            \
    } while (0)
