#pragma once
// CModalBiquadBank: the biquad equaliser cascades of all 16 modal components,
// run side by side.
//
// Component k is lane k of the bank. Every lane has its own coefficients
// (the components of one order share theirs) and its own history; lanes with
// fewer sections than the longest cascade are padded with pass-through
// sections, which leave a signal unchanged bit for bit. Running the lanes
// together lets four of them share one vector operation and keeps several
// independent recursions in flight, where one cascade at a time is bound by
// the latency of its own recursion.
//
// Arithmetic: per sample and section, in double, with the normalised
// coefficients c0..c4 = b0/a0, b1/a0, b2/a0, a1/a0, a2/a0 and history z0, z1
// (transposed direct form II):
//   y = c0 x + z0;  z0 = c1 x + z1 - c3 y;  z1 = c2 x - c4 y;
// the last section's y is rounded to float. Below the AVX2 level with
// separate multiplies and adds: exactly the arithmetic of the primitive
// biquadFilterInPlace, so a lane's output equals that primitive's output for
// the same coefficients, bit for bit. From AVX2 up the products meet their
// sums in fused multiply-adds (one rounding fewer per line, in double):
// within a few units of the double rounding of the primitive, which after
// the final rounding to float is its output or one float step from it
// (tested against the primitive).
//
// Lanes with fewer sections than the longest cascade are padded with
// pass-through sections; a group of four lanes whose cascades are all shorter
// skips them (they would change no bit).
//
// A lane gets no cascade (hasLane false; its channel is left untouched) when
// its coefficients are missing, its section count is 0 or less, or a section
// has a0 = 0 or b0 = 0: the cases the primitive's constructor refuses.
//
// Real time: process and clear allocate nothing, take no lock, never throw.
// create allocates (null when memory is short).

namespace qb32 {

class CModalBiquadBank {
public:
    static constexpr int laneCount = 16;

    // coefficients[k]: sections[k] groups b0 b1 b2 a0 a1 a2 for lane k.
    static CModalBiquadBank* create(const double* const* coefficients, const int* sections) noexcept;
    ~CModalBiquadBank();
    CModalBiquadBank(const CModalBiquadBank&) = delete;
    CModalBiquadBank& operator=(const CModalBiquadBank&) = delete;

    // Filters channels[k] in place for every lane k < count that has a cascade.
    void process(float* const* channels, int count, int frames) noexcept;
    void clear() noexcept;  // histories to zero
    [[nodiscard]] bool hasLane(int k) const noexcept { return k >= 0 && k < laneCount && laneActive[k]; }

private:
    CModalBiquadBank() noexcept = default;

    int sectionCount = 0;
    int groupSections[laneCount / 4] = {};  // sections each group of four lanes runs (non-decreasing)
    void* memory = nullptr;          // coefficients, then histories (32-byte aligned)
    double* coefficients = nullptr;  // [section][5][laneCount]
    double* history = nullptr;       // [section][2][laneCount]
    bool laneActive[laneCount] = {};
};

}  // namespace qb32
