#include "plugin/Parameters.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "patterns/vkPattern.h"
#include "plugin/vst/AudioEffect.h"

namespace qb32 {

namespace {
constexpr const char* defaultProgramName = "default";
constexpr const char* kindShortNames[parametersPerBeam] = {"Elev", "Azim", "Patt", "On"};
constexpr const char* kindLongNames[parametersPerBeam] = {"Elevation", "Azimuth", "Pattern",
                                                          "Status"};
constexpr const char* parameterLabels[parametersPerBeam] = {"degree", "degree", "", ""};

float snappedToWholeDegree(float degrees) noexcept {
    const float whole = std::round(degrees);
    return std::fabs(degrees - whole) <= wholeDegreeSnap_deg ? whole : degrees;
}

// "<beam + 1><between><kind>", cut to the capacity.
void writeBeamText(char* text, std::size_t capacity, int beam, const char* between,
                   const char* kind) noexcept {
    char joined[vst::maxPropertyLabelBytes];
    std::snprintf(joined, sizeof joined, "%d%s%s", beam + 1, between, kind);
    vst::writeText(text, capacity, joined);
}
}  // namespace

float sanitiseParameterValue(float value) noexcept {
    if (!(value > 0.0f)) return 0.0f;  // NaN, zero and negatives
    return value < 1.0f ? value : 1.0f;
}

float elevationDegreesFor(float value) noexcept {
    return snappedToWholeDegree(value * elevationRange_deg);
}
float azimuthDegreesFor(float value) noexcept { return snappedToWholeDegree(value * azimuthRange_deg); }
int patternIndexFor(float value, int patternCount) noexcept {
    const int index = patternIndexForValue(value, patternCount);
    return index < 0 ? 0 : index;
}
bool statusFor(float value) noexcept { return value >= statusOnThreshold; }

ProgramRecord::ProgramRecord() noexcept {
    for (int beam = 0; beam < beamCount; ++beam) {
        elevationValues[beam].store(0.5f, std::memory_order_relaxed);
        azimuthValues[beam].store(0.0f, std::memory_order_relaxed);
        patternValues[beam].store(0.0f, std::memory_order_relaxed);
        statusValues[beam].store(1.0f, std::memory_order_relaxed);
    }
    setName(defaultProgramName);
}

std::atomic<float>& ProgramRecord::value(int index) noexcept {
    const int beam = beamOf(index);
    switch (kindOf(index)) {
    case elevationKind: return elevationValues[beam];
    case azimuthKind: return azimuthValues[beam];
    case patternKind: return patternValues[beam];
    case statusKind: break;
    }
    return statusValues[beam];
}

float ProgramRecord::get(int index) const noexcept {
    return const_cast<ProgramRecord*>(this)->value(index).load(std::memory_order_relaxed);
}

void ProgramRecord::setName(const char* name) noexcept {
    std::size_t n = 0;
    if (name != nullptr)
        for (; n + 1 < programNameBytes && name[n] != '\0'; ++n)
            programName[n].store(name[n], std::memory_order_relaxed);
    for (; n < programNameBytes; ++n) programName[n].store('\0', std::memory_order_relaxed);
}

void ProgramRecord::copyName(char* text) const noexcept {
    for (std::size_t n = 0; n + 1 < programNameBytes; ++n)
        text[n] = programName[n].load(std::memory_order_relaxed);
    text[programNameBytes - 1] = '\0';
}

void writeParameterName(int index, char* text) noexcept {
    if (!isParameterIndex(index)) {
        vst::writeText(text, vst::maxParameterNameBytes, "");
        return;
    }
    writeBeamText(text, vst::maxParameterNameBytes, beamOf(index), " ", kindShortNames[kindOf(index)]);
}

bool writeParameterProperties(int index, int patternCount,
                              vst::VstParameterProperties& p) noexcept {
    if (!isParameterIndex(index)) return false;
    using namespace vst;
    p = VstParameterProperties{};
    const int beam = beamOf(index);
    const ParameterKind kind = kindOf(index);
    char label[maxPropertyLabelBytes];
    std::snprintf(label, sizeof label, "Beam %d %s", beam + 1, kindLongNames[kind]);
    writeText(p.label, sizeof p.label, label);
    writeBeamText(p.shortLabel, sizeof p.shortLabel, beam, " ", kindShortNames[kind]);
    std::snprintf(label, sizeof label, "Beam %d", beam + 1);
    writeText(p.categoryLabel, sizeof p.categoryLabel, label);
    p.displayIndex = static_cast<std::int16_t>(index);
    p.category = static_cast<std::int16_t>(beam + 1);
    p.numParametersInCategory = parametersPerBeam;
    p.flags = kVstParameterSupportsDisplayIndex | kVstParameterSupportsDisplayCategory |
              kVstParameterUsesIntegerMinMax;
    // Whole steps of each kind; the value of step i is i / maxInteger.
    int largeStep = 1;
    switch (kind) {
    case elevationKind:
    case azimuthKind:
        p.maxInteger = static_cast<VstInt32>(kind == elevationKind ? elevationRange_deg : azimuthRange_deg);
        largeStep = 10;
        p.flags |= kVstParameterUsesIntStep | kVstParameterUsesFloatStep | kVstParameterCanRamp;
        break;
    case patternKind:
        p.maxInteger = patternCount > 1 ? patternCount - 1 : 1;
        p.flags |= kVstParameterUsesIntStep | kVstParameterUsesFloatStep;
        break;
    case statusKind:
        p.maxInteger = 1;
        p.flags |= kVstParameterIsSwitch;
        break;
    }
    p.minInteger = 0;
    p.stepInteger = 1;
    p.largeStepInteger = largeStep;
    p.stepFloat = p.smallStepFloat = 1.0f / static_cast<float>(p.maxInteger);
    p.largeStepFloat = static_cast<float>(largeStep) / static_cast<float>(p.maxInteger);
    return true;
}

void writeParameterLabel(int index, char* text) noexcept {
    vst::writeText(text, vst::maxParameterTextBytes,
                   isParameterIndex(index) ? parameterLabels[kindOf(index)] : "");
}

void writeDegrees(float degrees, char* text) noexcept {
    constexpr int maxCharacters = static_cast<int>(vst::maxParameterTextBytes) - 1;
    // Beyond these the decimal form would not fit the host's eight characters.
    constexpr double largestPositive = 99999999.0, largestNegative = -9999999.0;
    const double truncated = std::trunc(static_cast<double>(degrees));
    if (!(truncated <= largestPositive && truncated >= largestNegative)) {
        vst::writeText(text, vst::maxParameterTextBytes, "Huge!");
        return;
    }
    char digits[vst::maxParameterTextBytes] = {};
    int length = 0;
    long n = static_cast<long>(truncated);
    if (n < 0) {
        digits[length++] = '-';
        n = -n;
    }
    bool started = false;
    for (long divisor = 100000000; divisor >= 1; divisor /= 10) {
        const long digit = n / divisor;
        n %= divisor;
        if (digit != 0 || started) {
            started = true;
            if (length < maxCharacters) digits[length++] = static_cast<char>('0' + digit);
        }
    }
    if (!started) digits[length++] = '0';
    digits[length] = '\0';
    vst::writeText(text, vst::maxParameterTextBytes, digits);
}

void writeProgramName(const ProgramRecord& record, int program, char* text) noexcept {
    char name[programNameBytes];
    record.copyName(name);
    if (std::strcmp(name, defaultProgramName) == 0) {
        char numbered[2 * programNameBytes];  // room for any int; cut to the host's size below
        std::snprintf(numbered, sizeof numbered, "%s %d", name, program + 1);
        vst::writeText(text, vst::maxProgramNameBytes, numbered);
    } else {
        vst::writeText(text, vst::maxProgramNameBytes, name);
    }
}

}  // namespace qb32
