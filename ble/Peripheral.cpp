// Thread-safe shared state of every peripheral: name, services, delegate.
#include "ble/Peripheral.h"

namespace ble {

std::optional<std::string> Peripheral::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void Peripheral::setName(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

void Peripheral::setDelegate(std::weak_ptr<PeripheralDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<PeripheralDelegate> Peripheral::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

std::optional<Peripheral::Services> Peripheral::services() const {
    std::lock_guard lock(mutex_);
    return services_;
}

void Peripheral::setServices(std::optional<Services> services) {
    std::lock_guard lock(mutex_);
    services_ = std::move(services);
}

}  // namespace ble
