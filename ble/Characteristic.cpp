// Thread-safe value and notification state of characteristics and services.
#include "ble/Characteristic.h"
#include "ble/Service.h"

namespace ble {

std::optional<Bytes> Characteristic::value() const {
    std::lock_guard lock(mutex_);
    return value_;
}

bool Characteristic::isNotifying() const {
    std::lock_guard lock(mutex_);
    return notifying_;
}

void Characteristic::setValue(Bytes value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
}

void Characteristic::setNotifying(bool notifying) {
    std::lock_guard lock(mutex_);
    notifying_ = notifying;
}

std::optional<Service::Characteristics> Service::characteristics() const {
    std::lock_guard lock(mutex_);
    return characteristics_;
}

void Service::setCharacteristics(std::optional<Characteristics> characteristics) {
    std::lock_guard lock(mutex_);
    characteristics_ = std::move(characteristics);
}

}  // namespace ble
