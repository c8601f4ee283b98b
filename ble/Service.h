// A GATT service of a peripheral and, once discovered, its characteristics.
#pragma once

#include "ble/Characteristic.h"
#include "ble/Uuid.h"

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace ble {

// Created by a radio implementation during service discovery, shared through std::shared_ptr;
// identity is the object. Thread-safe accessors.
class Service {
public:
    using Characteristics = std::vector<std::shared_ptr<Characteristic>>;

    Service(Uuid uuid, bool primary) : uuid_(std::move(uuid)), primary_(primary) {}
    virtual ~Service() = default;
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    const Uuid& uuid() const { return uuid_; }
    bool isPrimary() const { return primary_; }

    // In the order the peripheral declares them. Empty optional: not discovered yet (an
    // empty list means the service has none).
    std::optional<Characteristics> characteristics() const;

    // For radio implementations only.
    void setCharacteristics(std::optional<Characteristics> characteristics);

private:
    const Uuid uuid_;
    const bool primary_;
    mutable std::mutex mutex_;
    std::optional<Characteristics> characteristics_;
};

}  // namespace ble
