#include "patterns/CQb32Patterns.h"

#include "patterns/tables/PatternTables.h"

namespace qb32 {
namespace {

namespace t = tables;

// Everything that distinguishes one pattern from another; the rest of the
// record is common to all twelve.
struct Entry {
    const char* name;
    const char* label;
    std::int32_t variantCount;
    std::int32_t modalFilterLength;
    std::int32_t crossoverLength;
    std::int32_t hfMode;
    std::uint32_t patternCode;
    const float* modalFilters;
    const std::int32_t* beamwidthDeg;
    const float* polarResponse;
};

void fill(CQbPattern& p, const Entry& e) noexcept {
    p.orderCount = t::orderCount;
    p.modalFilterLength = e.modalFilterLength;
    p.postFilterLength = t::postTapCount;
    p.variantCount = e.variantCount;
    p.polarPointCount = t::polarPointCount;
    p.patternCode = e.patternCode;
    vkPattern::copyText(p.name, e.name);
    p.designSampleRate = 44100.0f;
    p.flag = 1;
    vkPattern::copyText(p.label, e.label);
    p.modalFilters = e.modalFilters;
    p.modalFilterLengths = e.modalFilterLength == 1 ? t::modalFilterLengthsOmni : t::modalFilterLengthsFull;
    p.wngDb = e.variantCount == 1 ? t::wngDbSingle : t::wngDbFive;
    p.beamwidthDeg = e.beamwidthDeg;
    p.polarResponse = e.polarResponse;
    p.postFilters = t::postFilters;
    p.postFilterLengths = t::postFilterLengths;
    p.crossoverLength = e.crossoverLength;
    p.hfMode = e.hfMode;
    switch (e.crossoverLength) {
        case 55: p.lowBandFilter = t::lowBandFilter55; p.highBandFilter = t::highBandFilter55; break;
        case 41: p.lowBandFilter = t::lowBandFilter41; p.highBandFilter = t::highBandFilter41; break;
        default: p.lowBandFilter = t::lowBandFilter37; p.highBandFilter = t::highBandFilter37; break;
    }
}

constexpr std::int32_t full = t::modalTapCount;

}  // namespace

CQb32Omni::CQb32Omni() noexcept {
    fill(*this, {"omni", "", 1, 1, 55, 1, 0x0A0A0001u, t::omniModalFilters,
                         t::omniBeamwidthDeg, t::omniPolarResponse});
}
CQb32Super3::CQb32Super3() noexcept {
    fill(*this, {"super3", "WNG", 5, full, 41, 2, 0x0A2B0001u, t::super3ModalFilters,
                         t::super3BeamwidthDeg, t::super3PolarResponse});
}
CQb32Super2::CQb32Super2() noexcept {
    fill(*this, {"super2", "WNG", 5, full, 41, 2, 0x0A2A0001u, t::super2ModalFilters,
                         t::super2BeamwidthDeg, t::super2PolarResponse});
}
CQb32Super1::CQb32Super1() noexcept {
    fill(*this, {"super1", "", 1, full, 37, 2, 0x0A290001u, t::super1ModalFilters,
                         t::super1BeamwidthDeg, t::super1PolarResponse});
}
CQb32Hyper3::CQb32Hyper3() noexcept {
    fill(*this, {"hyper3", "WNG", 5, full, 41, 2, 0x0A210001u, t::hyper3ModalFilters,
                         t::hyper3BeamwidthDeg, t::hyper3PolarResponse});
}
CQb32Hyper2::CQb32Hyper2() noexcept {
    fill(*this, {"hyper2", "WNG", 5, full, 41, 2, 0x0A200001u, t::hyper2ModalFilters,
                         t::hyper2BeamwidthDeg, t::hyper2PolarResponse});
}
CQb32Hyper1::CQb32Hyper1() noexcept {
    fill(*this, {"hyper1", "", 1, full, 37, 2, 0x0A1F0001u, t::hyper1ModalFilters,
                         t::hyper1BeamwidthDeg, t::hyper1PolarResponse});
}
CQb32Card3::CQb32Card3() noexcept {
    fill(*this, {"card3", "WNG", 5, full, 41, 2, 0x0A170001u, t::card3ModalFilters,
                         t::card3BeamwidthDeg, t::card3PolarResponse});
}
CQb32Card2::CQb32Card2() noexcept {
    fill(*this, {"card2", "WNG", 5, full, 41, 2, 0x0A160001u, t::card2ModalFilters,
                         t::card2BeamwidthDeg, t::card2PolarResponse});
}
CQb32Card1::CQb32Card1() noexcept {
    fill(*this, {"card1", "", 1, full, 37, 1, 0x0A150001u, t::card1ModalFilters,
                         t::card1BeamwidthDeg, t::card1PolarResponse});
}
CQb32Dipole1::CQb32Dipole1() noexcept {
    fill(*this, {"dipole1", "", 1, full, 41, 1, 0x0A330001u, t::dipole1ModalFilters,
                         t::dipole1BeamwidthDeg, t::dipole1PolarResponse});
}
CQb32Torus2::CQb32Torus2() noexcept {
    fill(*this, {"torus", "", 1, full, 41, 1, 0x0A3C0001u, t::torusModalFilters,
                         t::torusBeamwidthDeg, t::torusPolarResponse});
}

}  // namespace qb32
