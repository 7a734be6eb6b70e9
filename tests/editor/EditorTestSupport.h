#pragma once
// Shared by the editor's tests: a controller with settable beams and the
// real pattern catalogue, and independent references (spherical harmonics
// from the standard library's Legendre functions).

#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "editor/BeamMapView.h"
#include "patterns/CQb32Factory.h"

namespace qb32::testing {

class FakeController final : public editor::EditorController {
public:
    struct Edit {
        char what;  // 'b' begin, 'p' perform, 'e' end
        int index;
        float value;
    };

    FakeController() {
        for (auto& b : beams) b.on = false;
    }
    editor::BeamSettings beamSettings(int beam) override { return beams[static_cast<std::size_t>(beam)]; }
    int patternCount() override { return factory.patternCount; }
    editor::PatternInfo pattern(int index) override {
        const CQbPattern* p = factory.pattern(index);
        if (p == nullptr) return {};
        int variant = defaultVariant(*p);
        return {p->name, p->polarResponse + variant * p->polarPointCount, p->polarPointCount};
    }
    double sessionRate_hz() override { return rate_hz; }
    bool engineSilentAtSessionRate() override { return silent; }
    editor::AudioTap* audioTap() override { return tap; }
    void beginEdit(int index) override { edits.push_back({'b', index, 0.0f}); }
    void performEdit(int index, float value) override { edits.push_back({'p', index, value}); }
    void endEdit(int index) override { edits.push_back({'e', index, 0.0f}); }

    CQb32Factory factory;
    std::array<editor::BeamSettings, editor::beamCount> beams{};
    double rate_hz = 44100.0;
    bool silent = false;
    editor::AudioTap* tap = nullptr;
    std::vector<Edit> edits;
};

// Real spherical harmonic k = n^2 + n + m in the decomposition's
// normalisation, from std::assoc_legendre (which leaves out the
// Condon-Shortley phase (-1)^m, put back here).
inline double referenceHarmonic(int n, int m, double elevation_deg, double azimuth_deg) {
    const double pi = std::numbers::pi;
    const double t = elevation_deg * pi / 180.0, p = azimuth_deg * pi / 180.0;
    const unsigned am = static_cast<unsigned>(m < 0 ? -m : m);
    const double legendre = ((am % 2) != 0 ? -1.0 : 1.0) * std::assoc_legendre(static_cast<unsigned>(n), am, std::cos(t));
    const double norm = std::sqrt((2.0 * n + 1.0) / (4.0 * pi) * std::tgamma(n - am + 1.0) / std::tgamma(n + am + 1.0));
    const double trig = m > 0 ? std::cos(m * p) : (m < 0 ? std::sin(am * p) : 1.0);
    return norm * legendre * trig;
}

}  // namespace qb32::testing
