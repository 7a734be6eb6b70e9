#include "patterns/CQb32Patterns.h"

#include "patterns/tables/PatternTables.h"

namespace qb32 {
namespace {

namespace t = tables;

// Everything that distinguishes one pattern from another; the rest of the
// record is common to all twelve.
// The rate's tables come from its PatternRateTables record; `index` is the
// pattern's place in the factory (and in the record), `crossover` its pair.
struct Entry {
    const char* name;
    const char* label;
    int index;
    std::int32_t variantCount;
    bool omni;
    int crossover;  // 0: 6 kHz, 1: 8 kHz, 2: 9 kHz
    std::int32_t hfMode;
    std::uint32_t patternCode;
    const std::int32_t* beamwidthDeg;
    const float* polarResponse;
};

void fill(CQbPattern& p, const Entry& e, const t::PatternRateTables& rate) noexcept {
    p.orderCount = t::orderCount;
    p.modalFilterLength = e.omni ? 1 : rate.modalTapCount;
    p.postFilterLength = rate.postTapCount;
    p.variantCount = e.variantCount;
    p.polarPointCount = t::polarPointCount;
    p.patternCode = e.patternCode;
    vkPattern::copyText(p.name, e.name);
    p.designSampleRate = static_cast<float>(rate.sampleRate_hz);
    p.flag = 1;
    vkPattern::copyText(p.label, e.label);
    p.modalFilters = rate.modalFilters[e.index];
    p.modalFilterLengths = e.omni ? t::modalFilterLengthsOmni : rate.modalFilterLengthsFull;
    p.wngDb = e.variantCount == 1 ? t::wngDbSingle : t::wngDbFive;
    p.beamwidthDeg = e.beamwidthDeg;
    p.polarResponse = e.polarResponse;
    p.postFilters = rate.postFilters;
    p.postFilterLengths = rate.postFilterLengths;
    p.crossoverLength = rate.crossoverLengths[e.crossover];
    p.hfMode = e.hfMode;
    p.lowBandFilter = rate.lowBandFilters[e.crossover];
    p.highBandFilter = rate.highBandFilters[e.crossover];
}

}  // namespace

CQb32Omni::CQb32Omni(const tables::PatternRateTables& rate) noexcept {
    fill(*this, {"omni", "", 0, 1, true, 0, 1, 0x0A0A0001u, t::omniBeamwidthDeg, t::omniPolarResponse}, rate);
}
CQb32Super3::CQb32Super3(const tables::PatternRateTables& rate) noexcept {
    fill(*this, {"super3", "WNG", 1, 5, false, 1, 2, 0x0A2B0001u, t::super3BeamwidthDeg, t::super3PolarResponse}, rate);
}
CQb32Super2::CQb32Super2(const tables::PatternRateTables& rate) noexcept {
    fill(*this, {"super2", "WNG", 2, 5, false, 1, 2, 0x0A2A0001u, t::super2BeamwidthDeg, t::super2PolarResponse}, rate);
}
CQb32Super1::CQb32Super1(const tables::PatternRateTables& rate) noexcept {
    fill(*this, {"super1", "", 3, 1, false, 2, 2, 0x0A290001u, t::super1BeamwidthDeg, t::super1PolarResponse}, rate);
}
CQb32Hyper3::CQb32Hyper3(const tables::PatternRateTables& rate) noexcept {
    fill(*this, {"hyper3", "WNG", 4, 5, false, 1, 2, 0x0A210001u, t::hyper3BeamwidthDeg, t::hyper3PolarResponse}, rate);
}
CQb32Hyper2::CQb32Hyper2(const tables::PatternRateTables& rate) noexcept {
    fill(*this, {"hyper2", "WNG", 5, 5, false, 1, 2, 0x0A200001u, t::hyper2BeamwidthDeg, t::hyper2PolarResponse}, rate);
}
CQb32Hyper1::CQb32Hyper1(const tables::PatternRateTables& rate) noexcept {
    fill(*this, {"hyper1", "", 6, 1, false, 2, 2, 0x0A1F0001u, t::hyper1BeamwidthDeg, t::hyper1PolarResponse}, rate);
}
CQb32Card3::CQb32Card3(const tables::PatternRateTables& rate) noexcept {
    fill(*this, {"card3", "WNG", 7, 5, false, 1, 2, 0x0A170001u, t::card3BeamwidthDeg, t::card3PolarResponse}, rate);
}
CQb32Card2::CQb32Card2(const tables::PatternRateTables& rate) noexcept {
    fill(*this, {"card2", "WNG", 8, 5, false, 1, 2, 0x0A160001u, t::card2BeamwidthDeg, t::card2PolarResponse}, rate);
}
CQb32Card1::CQb32Card1(const tables::PatternRateTables& rate) noexcept {
    fill(*this, {"card1", "", 9, 1, false, 2, 1, 0x0A150001u, t::card1BeamwidthDeg, t::card1PolarResponse}, rate);
}
CQb32Dipole1::CQb32Dipole1(const tables::PatternRateTables& rate) noexcept {
    fill(*this, {"dipole1", "", 10, 1, false, 1, 1, 0x0A330001u, t::dipole1BeamwidthDeg, t::dipole1PolarResponse}, rate);
}
CQb32Torus2::CQb32Torus2(const tables::PatternRateTables& rate) noexcept {
    fill(*this, {"torus", "", 11, 1, false, 1, 1, 0x0A3C0001u, t::torusBeamwidthDeg, t::torusPolarResponse}, rate);
}

}  // namespace qb32
