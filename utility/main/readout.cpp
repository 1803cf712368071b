#include "readout.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::string FormatGeneral(double value, const std::string& decimalSeparator) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    if (value == 0.0) return "0";  // also -0
    // The shortest of 1..15 significant digits that reads back as the value;
    // 15 digits when none does.
    char text[64];
    for (int digits = 1; digits <= 15; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e-4 && magnitude < 1e15 && std::strchr(text, 'e') != nullptr) {
        // %g chose an exponent (e.g. 1e+02 for 100): write it out in full.
        const double rounded = std::strtod(text, nullptr);
        const int exponent = static_cast<int>(std::floor(std::log10(std::fabs(rounded))));
        int decimals = 0;
        const char* mantissa_end = std::strchr(text, 'e');
        const char* point = std::strchr(text, '.');
        if (point != nullptr && point < mantissa_end) decimals = static_cast<int>(mantissa_end - point - 1);
        const int fraction = decimals - exponent > 0 ? decimals - exponent : 0;
        std::snprintf(text, sizeof text, "%.*f", fraction, rounded);
    }
    std::string out(text);
    const std::size_t point = out.find('.');
    if (point != std::string::npos) out.replace(point, 1, decimalSeparator);
    return out;
}

std::int32_t SensorReadout::SignedCount(std::uint16_t raw) {
    return raw >= 0x8000 ? static_cast<std::int32_t>(raw) - 0x10000 : static_cast<std::int32_t>(raw);
}

void SensorReadout::Update(const std::uint8_t* block) {
    double sumOfSquares = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        const std::uint16_t raw =
            static_cast<std::uint16_t>(block[40 + 2 * axis] | static_cast<unsigned>(block[41 + 2 * axis]) << 8);
        std::int32_t* window = window_[axis];
        std::int32_t sum = 0;
        for (int slot = 0; slot < kWindowSlots - 1; ++slot) {
            window[slot] = window[slot + 1];
            sum += window[slot];
        }
        window[kWindowSlots - 1] = SignedCount(raw);
        average_[axis] = sum / 6;
        // A zero divisor would come only from a caller's CountsPerG of 0.
        g_[axis] = countsPerG_ != 0 ? static_cast<float>(average_[axis]) / static_cast<float>(countsPerG_) : 0.0f;
        sumOfSquares += static_cast<double>(g_[axis]) * static_cast<double>(g_[axis]);
    }
    magnitude_ = static_cast<float>(std::sqrt(sumOfSquares));
}

int SensorReadout::Angle(Axis axis) const {
    double g = g_[Index(axis)];
    if (g > 1.0) g = 1.0;
    if (g < -1.0) g = -1.0;
    const double degrees = std::asin(g) * 180.0 * 0.31830914183855363;
    return static_cast<int>((degrees * 100.0 + 0.5) * 0.01);
}

std::string SensorReadout::AngleText(Axis axis, const std::string& decimalSeparator) const {
    static const char* const kPrefix[3] = {"Andle_X= ", "Andle_Y= ", "Andle_Z= "};
    return kPrefix[Index(axis)] + FormatGeneral(Angle(axis), decimalSeparator) + "  Deg";
}

int SensorReadout::BarDisplay(Axis axis) const {
    const int position = BarPosition(axis);
    return position < 0 ? 0 : position > kBarMaximum ? kBarMaximum : position;
}

std::string SensorReadout::MagnitudeText(const std::string& decimalSeparator) const {
    return FormatGeneral(magnitude_, decimalSeparator);
}

std::string SensitivityText(int position) { return std::to_string(position * 16); }

std::string DelayPositionText(int position) { return std::to_string(position); }

std::string DelayMillisecondsText(int position, const std::string& decimalSeparator) {
    return FormatGeneral(position * 2.5, decimalSeparator);
}
