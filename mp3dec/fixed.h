// Exact integer helpers shared by the spectral and synthesis stages.
//
// Q-format names: Qn is a signed 32-bit word with n fraction bits (Q31: 1.0 = 2^31).
#pragma once

#include <cstdint>

namespace mp3 {

// Upper 32 bits of the signed 64-bit product, rounded towards minus infinity.
constexpr int32_t hi(int32_t a, int32_t b) {
    return static_cast<int32_t>((static_cast<int64_t>(a) * b) >> 32);
}

// acc + a * b in 64 bits.
constexpr int64_t mac(int64_t acc, int32_t a, int32_t b) {
    return acc + static_cast<int64_t>(a) * b;
}

// Wrapping 32-bit arithmetic, as the fixed-point stages define it.
constexpr int32_t wadd(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
constexpr int32_t wsub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
constexpr int32_t wshl(int32_t a, int n) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) << n);
}

// Clamp to the signed 16-bit range.
constexpr int16_t saturate16(int32_t v) {
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

static_assert(hi(0x40000000, 0x40000000) == 0x10000000);
static_assert(hi(-1, 1) == -1);
static_assert(saturate16(40000) == 32767 && saturate16(-40000) == -32768);

} // namespace mp3
