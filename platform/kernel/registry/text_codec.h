// Conversions between the encodings the registry meets: UTF-8 (.reg files
// and their exports), UTF-16LE (value data, UTF-16 .reg files) and
// std::wstring (names and text inside the host kernel, one code point per
// wchar_t on the host).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hk::registry_detail {

static_assert(sizeof(wchar_t) == 4, "the host registry keeps one code point per wchar_t");

// A code point that UTF-8 and UTF-16 can both carry (no surrogates).
bool IsScalarValue(std::uint32_t c);

// Strict UTF-8 decoding; on failure *badOffset is the offset of the first
// byte that is not part of a valid sequence.
std::optional<std::wstring> Utf8ToWide(std::string_view bytes, std::size_t* badOffset);
// Encodes text made of scalar values.
std::string WideToUtf8(std::wstring_view text);

// UTF-16LE without any terminator.
std::vector<std::uint8_t> WideToUtf16Le(std::wstring_view text);
// Strict UTF-16LE decoding (even length, paired surrogates); on failure
// *badUnit is the index of the offending 16-bit unit.
std::optional<std::wstring> Utf16LeToWide(const std::uint8_t* bytes, std::size_t size,
                                          std::size_t* badUnit);

// The text of a .reg file: UTF-16LE when it starts with an FF FE byte order
// mark, else UTF-8 (a leading EF BB BF mark is skipped).
struct DecodedFile {
    std::optional<std::wstring> text;
    int errorLine = 0;  // 1-based line of the first undecodable character
    std::string errorMessage;
};
DecodedFile DecodeRegFileBytes(std::string_view bytes);

}  // namespace hk::registry_detail
