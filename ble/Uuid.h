// A Bluetooth attribute UUID in the canonical text form the agent compares and logs.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ble {

// A UUID is kept as its canonical text: a UUID built on the Bluetooth base UUID
// (0000xxxx-0000-1000-8000-00805F9B34FB) renders as four upper-case hex digits ("FF03"),
// or eight when its upper 16 bits are not zero; any other UUID as the 36-character form in
// upper case. Two UUIDs are equal when their canonical texts are.
class Uuid {
public:
    static Uuid from16(std::uint16_t shortUuid);
    // Accepts 4 or 8 hex digits, or the 36-character form, in either case; anything else
    // gives no value.
    static std::optional<Uuid> parse(std::string_view text);

    const std::string& text() const { return text_; }

    bool operator==(const Uuid&) const = default;
    auto operator<=>(const Uuid&) const = default;

private:
    explicit Uuid(std::string canonical) : text_(std::move(canonical)) {}
    std::string text_;
};

}  // namespace ble
