#pragma once
// FirSideBySide: up to eight FIR filters of one length run as one, each
// filter in its own lane of a vector.
//
// The direct-form kernel (PrimitivesFir.cpp) puts eight consecutive outputs
// of one filter in a vector, so every tap reads its inputs with a load that
// is shifted by one sample from the last: nearly half of those loads cross a
// cache line, and the loads, not the multiply-adds, bound it. Here the
// inputs of eight filters at one sample form one aligned vector (the inputs
// interleaved by filter), each filter's taps ride in its lane, and four
// outputs in a row share every input vector they read: one load of taps and
// about one of inputs for every two multiply-adds.
//
// Exactness: each filter's outputs are the operations of firFilter at the
// AVX2 and AVX-512 levels, in their order (two chains of FMAs, even and odd
// taps from the first, added at the end), and its history takes the inputs
// as firFilter would; so outputs and state are bit for bit those of
// firFilter(src[f], dst[f], n, states[f]) for every filter f.
//
// Covered: the AVX2 and AVX-512 levels, 1 to maxFilters states of the same
// tap count, at most the configured maxTaps. Anything else: filter() answers
// false and touches nothing; the caller runs firFilter itself.
//
// Real time: filter allocates nothing, takes no lock and never throws.
// configure and release allocate and free [set-up].

#include "framework/Primitives.h"

namespace qb32 {

class FirSideBySide {
public:
    static constexpr int maxFilters = 8;

    FirSideBySide() noexcept = default;
    ~FirSideBySide();
    FirSideBySide(const FirSideBySide&) = delete;
    FirSideBySide& operator=(const FirSideBySide&) = delete;

    // Room for filters of up to maxTaps taps; false when the memory cannot
    // be had (filter then always declines).
    bool configure(int maxTaps) noexcept;
    void release() noexcept;

    // dst[f] = states[f] applied to src[f], n samples (a call of any size; src
    // and dst may be the same array). False (nothing done) when not covered.
    bool filter(FirState* const* states, int count, const float* const* src, float* const* dst, int n) noexcept;

private:
    // Outputs per pass over the interleaved inputs: bounds the scratch.
    static constexpr int piece = 256;

    int tapLimit = 0;
    float* memory = nullptr;
    float* taps = nullptr;    // [tap][filter]: the reversed taps interleaved
    float* inputs = nullptr;  // [sample][filter]: the window of a piece
    float* outputs = nullptr; // [sample][filter]
    float* zeros = nullptr;   // the taps and inputs of absent filters
    float* discard = nullptr; // their outputs
};

}  // namespace qb32
