#pragma once
// EditorController: everything the beam map asks of the plug-in, and the one
// way it changes anything. The plug-in implements it (plugin/PluginEditor);
// tests implement it with fakes.
//
// Reading: the beams' settings as the parameters hold them, the pattern
// catalogue (names and polar responses), the session's sample rate, whether
// the engine is silent at that rate, and the audio tap (null while there is
// none). Writing: only begin / perform / end of one parameter edit, which the
// plug-in turns into the host's begin-edit, automate and end-edit requests,
// so hosts record every change and undo works. Every call comes from the
// editor's thread (the host's GUI thread).
//
// Parameter numbering (the plug-in's): index = 4 x beam + kind, kinds
// elevation, azimuth, pattern, status; values 0..1: elevation degrees / 180,
// azimuth degrees / 360, pattern (index + 1/2) / count, status 1 on, 0 off.

#include "editor/AudioTap.h"

namespace qb32::editor {

inline constexpr int beamCount = tapBeamCount;
enum class BeamParameter { elevation = 0, azimuth = 1, pattern = 2, status = 3 };
constexpr int parameterIndex(int beam, BeamParameter kind) noexcept { return 4 * beam + static_cast<int>(kind); }

struct BeamSettings {
    double elevation_deg = 90.0;
    double azimuth_deg = 0.0;
    int pattern = 0;
    bool on = true;
};

struct PatternInfo {
    const char* name = "";
    const float* polar = nullptr;  // polar response of the variant in use
    int polarPoints = 0;
};

class EditorController {
public:
    virtual ~EditorController() = default;
    virtual BeamSettings beamSettings(int beam) = 0;
    virtual int patternCount() = 0;
    virtual PatternInfo pattern(int index) = 0;
    virtual double sessionRate_hz() = 0;
    // The engine produces silence because it does not support the session's
    // rate: the window then says so in its header.
    virtual bool engineSilentAtSessionRate() = 0;
    virtual AudioTap* audioTap() = 0;
    virtual void beginEdit(int index) = 0;
    virtual void performEdit(int index, float value) = 0;
    virtual void endEdit(int index) = 0;
};

}  // namespace qb32::editor
