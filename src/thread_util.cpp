// Worker scheduling and the owner-side thread handle.
#include "thread_util.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#include <cerrno>
#include <system_error>

#include "errno_text.hpp"
#include "log.hpp"

namespace corvisk {

namespace {

constexpr const char* kTarget = "corvisk::thread_util";

std::optional<std::string> apply_affinity(unsigned cpu) {
    long configured = ::sysconf(_SC_NPROCESSORS_CONF);
    long n = configured > 0 ? configured : 1;
    if (cpu >= static_cast<unsigned long>(n) || cpu >= CPU_SETSIZE) {
        return fmt::format("CPU {} out of range 0..{}", cpu, n - 1);
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (int rc = ::pthread_setaffinity_np(::pthread_self(), sizeof set, &set); rc != 0) {
        return errno_text(rc);
    }
    return std::nullopt;
}

std::optional<std::string> apply_priority(int32_t priority) {
    int lo = ::sched_get_priority_min(SCHED_FIFO);
    int hi = ::sched_get_priority_max(SCHED_FIFO);
    if (priority < lo || priority > hi) {
        return fmt::format("SCHED_FIFO priority {} out of range [{}..={}]", priority, lo, hi);
    }
    sched_param param{};
    param.sched_priority = priority;
    if (int rc = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param); rc != 0) {
        return errno_text(rc);
    }
    return std::nullopt;
}

}  // namespace

void ThreadConfig::apply_logged() const {
    if (!affinity && priority <= 0) {
        return;
    }
    std::optional<std::string> error;
    if (affinity) {
        error = apply_affinity(*affinity);
    }
    if (!error && priority > 0) {
        error = apply_priority(priority);
    }
    if (error) {
        CVK_LOG(log::Level::Warn, kTarget, {}, "thread scheduling not applied: {}", *error);
    }
}

ThreadHandle::ThreadHandle()
    : alive_(std::make_shared<std::atomic<bool>>(true)),
      stop_(std::make_shared<std::atomic<bool>>(false)) {}

ThreadHandle& ThreadHandle::operator=(ThreadHandle&& other) noexcept {
    if (this != &other) {
        stop_and_join();
        alive_ = std::move(other.alive_);
        stop_ = std::move(other.stop_);
        join_ = std::move(other.join_);
        waker_ = std::move(other.waker_);
        owns_ = other.owns_;
        other.join_.reset();
        other.owns_ = false;
    }
    return *this;
}

ThreadHandle::~ThreadHandle() {
    stop_and_join();
}

void ThreadHandle::set_handle(std::thread thread) {
    if (has_thread()) {
        // Detaching would leave a worker running on flags nobody joins any more.
        CVK_LOG(log::Level::Error, kTarget, {},
                "worker handle replaced while its thread runs; stopping and joining it");
        stop_and_join();
    }
    join_ = std::move(thread);
}

void ThreadHandle::stop_and_join() {
    if (!owns_ || !stop_) {
        return;
    }
    request_stop();
    wake();
    if (join_ && join_->joinable()) {
        if (join_->get_id() == std::this_thread::get_id()) {
            join_->detach();  // dropped by the worker itself: it cannot wait for itself
        } else {
            join_->join();
        }
    }
    join_.reset();
}

CameraResult<void> spawn_worker(ThreadHandle& handle, std::string name,
                                std::function<void()> body) {
    if (handle.has_thread()) {
        return Err{CameraError::thread_spawn("the handle already holds a worker")};
    }
    Flag alive = handle.alive_flag();
    if (name.size() > 15) {
        name.resize(15);  // the kernel's limit for thread names
    }
    try {
        std::thread t([alive, name, body = std::move(body)] {
            ::pthread_setname_np(::pthread_self(), name.c_str());
            try {
                body();
            } catch (const std::exception& e) {
                CVK_LOG(log::Level::Error, kTarget, log::fields("thread", name),
                        "worker thread ended by an exception: {}", e.what());
            } catch (...) {
                CVK_LOG(log::Level::Error, kTarget, log::fields("thread", name),
                        "worker thread ended by an unknown exception");
            }
            alive->store(false, std::memory_order_release);
        });
        handle.set_handle(std::move(t));
    } catch (const std::system_error& e) {
        alive->store(false, std::memory_order_release);
        return Err{CameraError::thread_spawn(e.code().message())};
    }
    return {};
}

}  // namespace corvisk
