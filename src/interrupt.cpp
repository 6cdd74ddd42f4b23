// See interrupt.hpp.
#include "interrupt.hpp"

#include <utility>

namespace corvisk {
namespace {

thread_local InterruptScope* t_scope = nullptr;

}  // namespace

InterruptScope::InterruptScope(std::function<bool()> check)
    : check_(std::move(check)), outer_(t_scope) {
    t_scope = this;
}

InterruptScope::~InterruptScope() {
    t_scope = outer_;
}

bool interrupt_scope_active() {
    return t_scope != nullptr;
}

bool interrupt_requested() {
    InterruptScope* scope = t_scope;
    if (scope == nullptr) {
        return false;
    }
    if (!scope->fired_ && scope->check_) {
        scope->fired_ = scope->check_();
    }
    return scope->fired_;
}

}  // namespace corvisk
