// Text conversions between the wire (UTF-8) and the kernel's names (UTF-16
// in wchar_t strings), and of registry string data (UTF-16LE bytes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hostuser {

// Invalid UTF-8 sequences become U+FFFD.
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);
// UTF-16LE bytes (an odd last byte is dropped, embedded NULs are kept) as UTF-8.
std::string Utf8FromUtf16Le(const std::vector<std::uint8_t>& bytes);

}  // namespace hostuser
