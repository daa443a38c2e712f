#pragma once
// The quality presets of the dialog's digit keys, shared by the dialog and rpx.

#include <cstdint>
#include <optional>

#include "codec/codec_state.h"

namespace kirune {

struct Preset {
    int digit;             // key 0..9
    int32_t qualityLevel;  // handed to codecParams
    int32_t colourSampling;  // a ColourSampling
    int dbFigure;          // promised quality, also part of the output name
    int radio;             // radio button selected afterwards, -1 for none
};

inline constexpr Preset kPresets[10] = {
    {0, 400, Sampling420, 35, -1}, {1, 21, Sampling444, 47, 0},  {2, 12, Sampling444, 49, 1},
    {3, 6, Sampling444, 51, 2},    {4, 4, Sampling444, 53, -1},  {5, 3, Sampling444, 54, -1},
    {6, 1, Sampling444, 56, -1},   {7, 65, Sampling444, 42, -1}, {8, 100, Sampling422, 40, -1},
    {9, 200, Sampling422, 38, -1},
};

// "4:2:0", "4:2:2" or "4:4:4" for a colourSampling value.
inline constexpr const char* samplingName(int32_t colourSampling) {
    return colourSampling == Sampling420 ? "4:2:0" : colourSampling == Sampling422 ? "4:2:2" : "4:4:4";
}

inline constexpr int kDefaultPresetDigit = 2;  // 高画質
// What the dialog starts with and falls back to, and rpx without -p.
inline constexpr const Preset& kDefaultPreset = kPresets[kDefaultPresetDigit];

// The preset of a radio button (0 標準, 1 高画質, 2 超高画質).
inline std::optional<Preset> presetForRadio(int radio) {
    for (const Preset& p : kPresets)
        if (p.radio == radio && radio >= 0) return p;
    return std::nullopt;
}

}  // namespace kirune
