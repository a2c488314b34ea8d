// The product's name and maker as every front end reports them to its host (the VST 2 identity
// answers, the LV2 bundle's Turtle).
#pragma once

inline constexpr const char* kEffectName = "corvella 9-30-2003";
inline constexpr const char* kVendorName = "Quobel";
