// Debug output, assertions, bug checks and the kernel's printf family.
//
// Formatting follows the Windows kernel's rules where they differ from the
// C library's: "l" is 32 bits, "I64" is 64 bits, %p prints all 16 hex
// digits in upper case, %wZ prints a UNICODE_STRING and %ws a wide string.
#include <cstdio>
#include <iostream>

#include "kernel_internal.h"

using hk::K;
using Impl = hk::Kernel::Impl;

namespace hk {

std::string NarrowFromWide(const WCHAR* text, std::size_t length) {
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        WCHAR c = text[i];
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::string FormatWindows(const char* format, va_list args) {
    std::string out;
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        std::string spec = "%";
        while (*p != '\0' && strchr("-+ #0", *p) != nullptr) spec.push_back(*p++);
        if (*p == '*') {
            spec += std::to_string(va_arg(args, int));
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') spec.push_back(*p++);
        }
        if (*p == '.') {
            spec.push_back(*p++);
            if (*p == '*') {
                spec += std::to_string(va_arg(args, int));
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') spec.push_back(*p++);
            }
        }
        enum { kInt, kShort, kChar, kLong64, kWide, kSizeT } size = kInt;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            size = kLong64;
            p += 3;
        } else if (p[0] == 'l' && p[1] == 'l') {
            size = kLong64;
            p += 2;
        } else if (*p == 'l') {
            ++p;  // 32 bits on Windows
        } else if (p[0] == 'h' && p[1] == 'h') {
            size = kChar;
            p += 2;
        } else if (*p == 'h') {
            size = kShort;
            ++p;
        } else if (*p == 'w') {
            size = kWide;
            ++p;
        } else if (*p == 'z' || *p == 'I') {
            size = kSizeT;
            ++p;
        }
        char conversion = *p;
        if (conversion == '\0') {
            out.append(start);
            break;
        }
        ++p;
        char buffer[512];
        switch (conversion) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                if (size == kLong64 || size == kSizeT) {
                    spec += "ll";
                    spec.push_back(conversion);
                    snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, long long));
                } else {
                    if (size == kShort) spec += "h";
                    if (size == kChar) spec += "hh";
                    spec.push_back(conversion);
                    snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, int));
                }
                out += buffer;
                break;
            }
            case 'c':
                spec.push_back('c');
                snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, int));
                out += buffer;
                break;
            case 'p': {
                auto value = reinterpret_cast<std::uintptr_t>(va_arg(args, void*));
                snprintf(buffer, sizeof buffer, "%016llX", static_cast<unsigned long long>(value));
                out += buffer;
                break;
            }
            case 'f':
            case 'e':
            case 'g':
            case 'F':
            case 'E':
            case 'G':
                spec.push_back(conversion);
                snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, double));
                out += buffer;
                break;
            case 's':
            case 'S': {
                std::string text;
                if (size == kWide || conversion == 'S') {
                    const WCHAR* w = va_arg(args, const WCHAR*);
                    text = w == nullptr ? "(null)" : NarrowFromWide(w, wcslen(w));
                } else {
                    const char* s = va_arg(args, const char*);
                    text = s == nullptr ? "(null)" : s;
                }
                spec += "s";
                std::vector<char> b(text.size() + 512);
                snprintf(b.data(), b.size(), spec.c_str(), text.c_str());
                out += b.data();
                break;
            }
            case 'Z': {
                std::string text;
                if (size == kWide) {
                    auto* u = va_arg(args, PCUNICODE_STRING);
                    text = u == nullptr || u->Buffer == nullptr ? "(null)"
                                                                 : NarrowFromWide(u->Buffer, u->Length / sizeof(WCHAR));
                } else {
                    auto* a = va_arg(args, const ANSI_STRING*);
                    text = a == nullptr || a->Buffer == nullptr ? "(null)" : std::string(a->Buffer, a->Length);
                }
                out += text;
                break;
            }
            default:
                out.append(start, p);
                break;
        }
    }
    return out;
}

}  // namespace hk

extern "C" {

int _vsnprintf(char* Buffer, size_t Count, const char* Format, va_list Arguments) {
    std::string text = hk::FormatWindows(Format, Arguments);
    if (text.size() < Count) {
        memcpy(Buffer, text.data(), text.size());
        Buffer[text.size()] = '\0';
        return static_cast<int>(text.size());
    }
    memcpy(Buffer, text.data(), Count);
    return text.size() == Count ? static_cast<int>(Count) : -1;
}

int _snprintf(char* Buffer, size_t Count, const char* Format, ...) {
    va_list args;
    va_start(args, Format);
    int n = _vsnprintf(Buffer, Count, Format, args);
    va_end(args);
    return n;
}

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    std::string text = hk::FormatWindows(Format, args);
    va_end(args);
    Impl& k = K();
    k.debugOutput.push_back(text);
    if (k.options.echoDebugOutput) std::cerr << text << std::flush;
    if (k.debugSink) k.debugSink(text);
    return STATUS_SUCCESS;
}

VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PSTR MutableMessage) {
    const char* expression = static_cast<const char*>(VoidFailedAssertion);
    const char* file = static_cast<const char*>(VoidFileName);
    DbgPrint("\n*** Assertion failed: %s%s\n***   Source File: %s, line %u\n\n",
             MutableMessage != nullptr ? MutableMessage : "", expression, file, LineNumber);
    K().Stop("ASSERTION_FAILED",
             std::string("assertion failed: ") + expression + " at " + file + " line " + std::to_string(LineNumber),
             reinterpret_cast<std::uintptr_t>(VoidFailedAssertion), reinterpret_cast<std::uintptr_t>(VoidFileName),
             LineNumber);
}

VOID DbgBreakPoint(VOID) { K().Stop("BREAKPOINT", "DbgBreakPoint was called"); }

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    char code[32];
    snprintf(code, sizeof code, "BUGCHECK_0x%X", BugCheckCode);
    K().Stop(code, "KeBugCheckEx was called", P1, P2, P3, P4);
}

}  // extern "C"
