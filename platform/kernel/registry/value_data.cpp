// Value data layouts and error text shared by the registry's users.
#include "hostkernel/registry.h"

#include "text_codec.h"

namespace hk {

using registry_detail::Utf16LeToWide;
using registry_detail::WideToUtf16Le;

std::string RegError::ToString() const {
    if (line <= 0) return file + ": " + message;
    return file + ":" + std::to_string(line) + ": " + message;
}

std::vector<std::uint8_t> RegSzData(const std::wstring& text) {
    std::vector<std::uint8_t> data = WideToUtf16Le(text);
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::vector<std::uint8_t> RegDwordData(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::optional<std::wstring> RegSzText(const std::vector<std::uint8_t>& data) {
    if (data.size() % 2 != 0) return std::nullopt;
    std::size_t units = data.size() / 2;
    for (std::size_t i = 0; i < units; ++i) {
        if (data[2 * i] == 0 && data[2 * i + 1] == 0) {
            units = i;
            break;
        }
    }
    return Utf16LeToWide(data.data(), units * 2, nullptr);
}

}  // namespace hk
