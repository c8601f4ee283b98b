// A GATT characteristic of a peripheral: UUID, property bits and its latest value.
#pragma once

#include "ble/BleTypes.h"
#include "ble/Uuid.h"

#include <mutex>
#include <optional>

namespace ble {

// Created by a radio implementation when a service's characteristics are discovered and
// shared with the user through std::shared_ptr; identity is the object. The accessors are
// thread-safe. The radio sets the value on the main queue just before it delivers the
// didUpdateValue callback for it, so inside that callback value() is the notified or read
// bytes.
class Characteristic {
public:
    Characteristic(Uuid uuid, Uuid serviceUuid, CharacteristicProperties properties)
        : uuid_(std::move(uuid)), serviceUuid_(std::move(serviceUuid)), properties_(properties) {}
    virtual ~Characteristic() = default;
    Characteristic(const Characteristic&) = delete;
    Characteristic& operator=(const Characteristic&) = delete;

    const Uuid& uuid() const { return uuid_; }
    const Uuid& serviceUuid() const { return serviceUuid_; }
    CharacteristicProperties properties() const { return properties_; }

    // The bytes of the latest notification or read; empty until one has arrived.
    std::optional<Bytes> value() const;
    bool isNotifying() const;

    // For radio implementations only.
    void setValue(Bytes value);
    void setNotifying(bool notifying);

private:
    const Uuid uuid_;
    const Uuid serviceUuid_;
    const CharacteristicProperties properties_;
    mutable std::mutex mutex_;
    std::optional<Bytes> value_;
    bool notifying_ = false;
};

}  // namespace ble
