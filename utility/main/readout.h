// The live sensor readout of the settings dialog and the main window's track
// bar labels: plain arithmetic on the reply of command 101, no windows.
//
// Every 50 ms tick that got data: raw X, Y, Z from bytes 40..45 (little-endian
// 16-bit two's complement, so 0xFFFF is -1 and 0xFC00 is -1024); per axis a
// seven-slot window whose average covers the six readings before the current
// one (integer, truncating toward zero; the windows start zero-filled and are
// never reset); g = average / CountsPerG as float; tilt angle from the g value
// clamped to -1..1, with 3.1416 for pi, truncated to whole degrees; bar
// position (average + 2048) / 10; magnitude sqrt(gX^2 + gY^2 + gZ^2) with the
// sum at double precision and the root kept as float.
#pragma once

#include <cstdint>
#include <string>

// General-format decimal text: the shortest form that reads back as the same
// number, at most 15 significant digits, no exponent for ordinary magnitudes,
// the given decimal separator ("1", "0.5", "0,99951171875", "2.5").
std::string FormatGeneral(double value, const std::string& decimalSeparator);

enum class Axis { X = 0, Y = 1, Z = 2 };

class SensorReadout {
public:
    static constexpr int kWindowSlots = 7;
    static constexpr int kBarMaximum = 409;  // the progress bars' range is 0..409

    // The reading as a signed count: two's complement of the 16-bit raw value.
    static std::int32_t SignedCount(std::uint16_t raw);

    void SetCountsPerG(std::int32_t countsPerG) { countsPerG_ = countsPerG; }

    // One tick with data: takes bytes 40..45 of the 80-byte reply block.
    void Update(const std::uint8_t* block);

    std::int32_t Average(Axis axis) const { return average_[Index(axis)]; }
    float G(Axis axis) const { return g_[Index(axis)]; }
    // Whole degrees; +1 g gives 90, -1 g gives -89.
    int Angle(Axis axis) const;
    // "Andle_X= 45  Deg" (the label texts, spelled so).
    std::string AngleText(Axis axis, const std::string& decimalSeparator) const;
    // (average + 2048) / 10 as computed, may lie outside 0..409.
    int BarPosition(Axis axis) const { return (average_[Index(axis)] + 2048) / 10; }
    // The position the bar shows: clamped to 0..409 (below 0 is an empty bar).
    int BarDisplay(Axis axis) const;
    float Magnitude() const { return magnitude_; }
    std::string MagnitudeText(const std::string& decimalSeparator) const;

private:
    static int Index(Axis axis) { return static_cast<int>(axis); }

    std::int32_t countsPerG_ = 1024;
    std::int32_t window_[3][kWindowSlots] = {};
    std::int32_t average_[3] = {};
    float g_[3] = {};
    float magnitude_ = 0.0f;
};

// The sensitivity track bar's label: position * 16 ("16" .. "480").
std::string SensitivityText(int position);
// The delay track bar's labels: the position ("3") and position * 2.5 in
// general format ("7.5").
std::string DelayPositionText(int position);
std::string DelayMillisecondsText(int position, const std::string& decimalSeparator);
