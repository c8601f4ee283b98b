// Shared state of every central: radio state and delegate, and the state report.
#include "ble/Central.h"

namespace ble {

void Central::setDelegate(std::weak_ptr<CentralDelegate> delegate) {
    {
        std::lock_guard lock(mutex_);
        delegate_ = std::move(delegate);
    }
    if (state() == CentralState::unknown) return;
    asio::post(mainQueue_, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        if (auto delegate = self->delegate()) delegate->didUpdateState(*self, self->state());
    });
}

std::shared_ptr<CentralDelegate> Central::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void Central::reportState(CentralState state) {
    state_.store(state);
    asio::post(mainQueue_, [weak = weak_from_this(), state] {
        auto self = weak.lock();
        if (!self) return;
        if (auto delegate = self->delegate()) delegate->didUpdateState(*self, state);
    });
}

}  // namespace ble
