#include "text_codec.h"

#include <algorithm>

namespace hk::registry_detail {

bool IsScalarValue(std::uint32_t c) {
    return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF);
}

std::optional<std::wstring> Utf8ToWide(std::string_view bytes, std::size_t* badOffset) {
    std::wstring out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::uint32_t c;
        std::size_t length;
        std::uint32_t minimum;
        if (lead < 0x80) {
            c = lead, length = 1, minimum = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F, length = 2, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F, length = 3, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            c = lead & 0x07, length = 4, minimum = 0x10000;
        } else {
            if (badOffset) *badOffset = i;
            return std::nullopt;
        }
        if (i + length > bytes.size()) {
            if (badOffset) *badOffset = i;
            return std::nullopt;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                if (badOffset) *badOffset = i;
                return std::nullopt;
            }
            c = (c << 6) | (next & 0x3F);
        }
        // Overlong forms and surrogates are not UTF-8.
        if (c < minimum || !IsScalarValue(c)) {
            if (badOffset) *badOffset = i;
            return std::nullopt;
        }
        out.push_back(static_cast<wchar_t>(c));
        i += length;
    }
    return out;
}

std::string WideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        const auto c = static_cast<std::uint32_t>(wc);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::vector<std::uint8_t> WideToUtf16Le(std::wstring_view text) {
    std::vector<std::uint8_t> out;
    out.reserve(text.size() * 2);
    auto put = [&out](std::uint32_t unit) {
        out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        out.push_back(static_cast<std::uint8_t>(unit >> 8));
    };
    for (wchar_t wc : text) {
        const auto c = static_cast<std::uint32_t>(wc);
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return out;
}

std::optional<std::wstring> Utf16LeToWide(const std::uint8_t* bytes, std::size_t size,
                                          std::size_t* badUnit) {
    const std::size_t units = size / 2;
    auto unitAt = [bytes](std::size_t i) {
        return static_cast<std::uint32_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    };
    std::wstring out;
    out.reserve(units);
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            const std::uint32_t low = unitAt(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
                ++i;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF) {
            if (badUnit) *badUnit = i;
            return std::nullopt;
        }
        out.push_back(static_cast<wchar_t>(unit));
    }
    if (size % 2 != 0) {
        if (badUnit) *badUnit = units;
        return std::nullopt;
    }
    return out;
}

DecodedFile DecodeRegFileBytes(std::string_view bytes) {
    DecodedFile result;
    auto startsWith = [bytes](std::string_view prefix) {
        return bytes.substr(0, prefix.size()) == prefix;
    };
    if (startsWith("\xFF\xFE")) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2;
        const std::size_t size = bytes.size() - 2;
        std::size_t badUnit = 0;
        result.text = Utf16LeToWide(data, size, &badUnit);
        if (!result.text) {
            int line = 1;
            for (std::size_t i = 0; i < badUnit; ++i) {
                if (data[2 * i] == '\n' && data[2 * i + 1] == 0) ++line;
            }
            result.errorLine = line;
            result.errorMessage = "expected UTF-16LE text (broken surrogate pair or odd byte count)";
        }
        return result;
    }
    if (startsWith("\xFE\xFF")) {
        result.errorLine = 1;
        result.errorMessage = "expected UTF-8 or UTF-16LE text, found a UTF-16BE byte order mark";
        return result;
    }
    if (startsWith("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    std::size_t badOffset = 0;
    result.text = Utf8ToWide(bytes, &badOffset);
    if (!result.text) {
        result.errorLine =
            1 + static_cast<int>(std::count(bytes.begin(), bytes.begin() + badOffset, '\n'));
        result.errorMessage = "expected UTF-8 text";
    }
    return result;
}

}  // namespace hk::registry_detail
