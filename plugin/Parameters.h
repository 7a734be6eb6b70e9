#pragma once
// The shell's parameters and programs: how the 32 host parameters are
// numbered (index = 4 x beam + kind), the program record that stores their
// normalised values, and the texts the host shows for them.
//
// Values: every value entering a record has passed sanitiseParameterValue, so
// a record only ever holds numbers in 0..1 (NaN reads as 0, anything outside
// is limited to the nearer end).
//
// Program record: the four per-beam value arrays and the name ("default" at
// creation, at most 23 characters). Every field is an atomic, so host threads
// may read and write any record at any time; a name read while another thread
// writes it may mix the two names, but never leaves the record unterminated.
//
// Texts: writers never write more than the host buffer sizes of AEffect.h
// (names, labels and displays 9 bytes, program names 24, terminator
// included). Names carry the beam's number and the kind ("1 Elev", "1 Azim",
// "1 Patt", "1 On" up to beam 8), so all 32 differ; the properties give the
// long form ("Beam 1 Elevation"), the category "Beam 1".."Beam 8" with its
// four parameters, and the ranges a host may step through: whole degrees
// 0..180 and 0..360, patterns 0..patternCount-1 (value i / (count - 1)),
// status a switch.
//
// Degrees: a value meant as whole degrees (i / 180, i / 360, as a host
// stepping the announced ranges sends it) maps to exactly those degrees,
// although the float product lands a rounding error below them.
//
// Real time: nothing here allocates, locks or throws.

#include <atomic>
#include <cstddef>

#include "plugin/vst/AEffect.h"

namespace qb32 {

inline constexpr int beamCount = 8;
inline constexpr int parametersPerBeam = 4;
inline constexpr int parameterCount = beamCount * parametersPerBeam;
inline constexpr int programCount = 8;
inline constexpr std::size_t programNameBytes = 24;

enum ParameterKind { elevationKind = 0, azimuthKind = 1, patternKind = 2, statusKind = 3 };

constexpr bool isParameterIndex(int index) noexcept { return index >= 0 && index < parameterCount; }
constexpr int beamOf(int index) noexcept { return index / parametersPerBeam; }
constexpr ParameterKind kindOf(int index) noexcept {
    return static_cast<ParameterKind>(index % parametersPerBeam);
}

// NaN -> 0; then limited to 0..1.
float sanitiseParameterValue(float value) noexcept;

// Mappings of a sanitised value. Degrees within wholeDegreeSnap_deg of a
// whole degree are that whole degree.
inline constexpr float elevationRange_deg = 180.0f;
inline constexpr float azimuthRange_deg = 360.0f;
inline constexpr float wholeDegreeSnap_deg = 1e-4f;
inline constexpr float statusOnThreshold = 0.5f;
float elevationDegreesFor(float value) noexcept;
float azimuthDegreesFor(float value) noexcept;
int patternIndexFor(float value, int patternCount) noexcept;  // 0 when there are no patterns
bool statusFor(float value) noexcept;

class ProgramRecord {
public:
    ProgramRecord() noexcept;  // the defaults: elevation 0.5, azimuth 0, pattern 0, on, "default"
    ProgramRecord(const ProgramRecord&) = delete;
    ProgramRecord& operator=(const ProgramRecord&) = delete;

    // The stored value of parameter 0..31.
    std::atomic<float>& value(int index) noexcept;
    [[nodiscard]] float get(int index) const noexcept;

    // At most 23 characters of name are kept (null reads as "").
    void setName(const char* name) noexcept;
    // Writes the name into a 24-byte buffer.
    void copyName(char* text) const noexcept;

    std::atomic<float> elevationValues[beamCount];
    std::atomic<float> azimuthValues[beamCount];
    std::atomic<float> patternValues[beamCount];
    std::atomic<float> statusValues[beamCount];
    std::atomic<char> programName[programNameBytes];
};

// "<beam + 1> Elev", "... Azim", "... Patt", "... On" for index, into a 9-byte
// buffer; "" outside 0..31.
void writeParameterName(int index, char* text) noexcept;
// The properties of parameter 0..31 (false and nothing written outside);
// patternCount sets the pattern's integer range.
bool writeParameterProperties(int index, int patternCount,
                              vst::VstParameterProperties& properties) noexcept;
// "degree" for elevation and azimuth, else ""; 9-byte buffer.
void writeParameterLabel(int index, char* text) noexcept;
// The degrees truncated toward zero in decimal, into a 9-byte buffer; "Huge!"
// when the number needs more than 8 characters (or is not finite).
void writeDegrees(float degrees, char* text) noexcept;
// The program name as hosts see it: "default k" (k = program + 1) for a
// record still named "default", else the name; 24-byte buffer.
void writeProgramName(const ProgramRecord& record, int program, char* text) noexcept;

}  // namespace qb32
