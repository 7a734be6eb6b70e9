// qb32-host-test: loads the shipped module exactly as a host does (dlopen or
// LoadLibrary, the exported entry, the effect record, the dispatcher, the
// parameter entries and processReplacing) and checks what a host relies on.
// Usage: qb32-host-test path/to/qb32.so|qb32.dll
// Prints one line per failed check and a closing "N passed, M failed"; the
// exit status is non-zero when anything failed.

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SSE__) || defined(_M_IX86) || defined(_M_X64)
#include <xmmintrin.h>
#define QB32_HOST_TEST_MXCSR 1
#endif

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "plugin/vst/AEffect.h"

using namespace qb32::vst;

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

template <typename T>
void checkEqual(T actual, T expected, const std::string& what) {
    check(actual == expected, what + " (got " + std::to_string(actual) + ", want " +
                                  std::to_string(expected) + ")");
}

void checkText(const char* actual, const char* expected, const std::string& what) {
    check(std::strcmp(actual, expected) == 0,
          what + " (got \"" + actual + "\", want \"" + expected + "\")");
}

// ---- the host side -----------------------------------------------------------

VstIntPtr versionAnswer = vstVersion;
std::vector<VstInt32> hostRequests;

VstIntPtr QB32_VSTCALL hostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    hostRequests.push_back(opcode);
    return opcode == audioMasterVersion ? versionAnswer : 0;
}

struct Module {
    EntryProc vstPluginMain = nullptr;
    EntryProc main = nullptr;
};

Module load(const char* path) {
    Module m;
#if defined(_WIN32)
    HMODULE handle = LoadLibraryA(path);
    if (handle == nullptr) return m;
    m.vstPluginMain = reinterpret_cast<EntryProc>(
        reinterpret_cast<void*>(GetProcAddress(handle, "VSTPluginMain")));
    m.main = reinterpret_cast<EntryProc>(reinterpret_cast<void*>(GetProcAddress(handle, "main")));
#else
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::printf("dlopen: %s\n", dlerror());
        return m;
    }
    m.vstPluginMain = reinterpret_cast<EntryProc>(dlsym(handle, "VSTPluginMain"));
    m.main = reinterpret_cast<EntryProc>(dlsym(handle, "main"));
#endif
    return m;
}

VstIntPtr call(AEffect* e, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0,
               void* ptr = nullptr, float opt = 0.0f) {
    return e->dispatcher(e, opcode, index, value, ptr, opt);
}

std::string text(AEffect* e, VstInt32 opcode, VstInt32 index = 0) {
    char buffer[256];
    std::memset(buffer, '#', sizeof buffer);
    call(e, opcode, index, 0, buffer);
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

// ---- checks ------------------------------------------------------------------

void checkRecord(AEffect* e) {
    checkEqual(e->magic, fourCharCode('V', 's', 't', 'P'), "magic");
    checkEqual(e->numPrograms, 8, "numPrograms");
    checkEqual(e->numParams, 32, "numParams");
    checkEqual(e->numInputs, 32, "numInputs");
    checkEqual(e->numOutputs, 8, "numOutputs");
    checkEqual(e->flags, 17, "flags: processReplacing and an editor");
    check(e->initialDelay > 0, "initialDelay reports the beams' delay");
    checkEqual(e->uniqueID, fourCharCode('Q', 'B', '3', '2'), "uniqueID");
    checkEqual(e->version, 1, "version");
    check(e->ioRatio == 1.0f, "ioRatio");
    check(e->object != nullptr && e->user == nullptr, "object set, user free");
    check(e->dispatcher && e->process && e->setParameter && e->getParameter &&
              e->processReplacing && e->processDoubleReplacing,
          "every entry present");
}

void checkDispatcher(AEffect* e) {
    struct Answer {
        Opcode opcode;
        VstInt32 index;
        VstIntPtr value;
        VstIntPtr expected;
    };
    const Answer answers[] = {
        {effGetVstVersion, 0, 0, 2400},
        {effGetVendorVersion, 0, 0, 1},
        {effGetPlugCategory, 0, 0, 1},
        {effIdentify, 0, 0, fourCharCode('N', 'v', 'E', 'f')},
        {effGetCurrentMidiProgram, 0, 0, -1},
        {effGetProgram, 0, 0, 0},
        {effGetChunk, 0, 0, 0},
        {effGetTailSize, 0, 0, 0},
        {effSetTotalSampleToProcess, 0, 4321, 4321},
        {effCanBeAutomated, 0, 0, 1},
        {effCanBeAutomated, 31, 0, 1},
        {effGetProgramNameIndexed, 8, 0, 0},
        {effEditOpen, 0, 0, 0},  // the scratch buffer is no window
        {effSetBypass, 0, 1, 0},
        {static_cast<Opcode>(200), 0, 0, 0},
    };
    char scratch[64] = {};
    for (const Answer& a : answers)
        checkEqual(call(e, a.opcode, a.index, a.value, scratch), a.expected,
                   "opcode " + std::to_string(a.opcode) + " index " + std::to_string(a.index));

    checkText(text(e, effGetEffectName).c_str(), "Quorbix ", "effect name");
    checkText(text(e, effGetVendorString).c_str(), "Vantakor LLC", "vendor");
    checkText(text(e, effGetProductString).c_str(), "Quorbix QB32", "product");
    char midi[] = "receiveVstMidiEvent";
    checkEqual(call(e, effCanDo, 0, 0, midi), VstIntPtr{0}, "canDo receiveVstMidiEvent");

    void* inputArrangement = &scratch;
    void* outputArrangement = &scratch;
    checkEqual(call(e, effGetSpeakerArrangement, 0, reinterpret_cast<VstIntPtr>(&inputArrangement),
                    &outputArrangement),
               VstIntPtr{0}, "getSpeakerArrangement answer");
    check(inputArrangement == nullptr && outputArrangement == nullptr,
          "getSpeakerArrangement writes null arrangements");
}

// Names of at most eight characters, all different; the properties record
// as the interface lays it out (152 bytes, read here at the interface's own
// offsets), grouped by beam.
void checkNames(AEffect* e) {
    std::vector<std::string> names;
    for (VstInt32 index = 0; index < 32; ++index) {
        const std::string name = text(e, effGetParamName, index);
        check(name.size() <= 8, "name " + std::to_string(index) + " fits eight characters");
        for (const std::string& other : names) check(name != other, "name " + name + " is unique");
        names.push_back(name);
    }
    checkText(names[0].c_str(), "1 Elev", "name 0");
    checkText(names[9].c_str(), "3 Azim", "name 9");
    checkText(names[30].c_str(), "8 Patt", "name 30");
    checkText(names[31].c_str(), "8 On", "name 31");

    unsigned char record[200];
    std::memset(record, 0xAB, sizeof record);
    checkEqual(call(e, effGetParameterProperties, 13, 0, record), VstIntPtr{1}, "properties of 13");
    auto int32At = [&](std::size_t offset) {
        VstInt32 v;
        std::memcpy(&v, record + offset, sizeof v);
        return v;
    };
    auto int16At = [&](std::size_t offset) {
        std::int16_t v;
        std::memcpy(&v, record + offset, sizeof v);
        return static_cast<int>(v);
    };
    checkText(reinterpret_cast<const char*>(record + 12), "Beam 4 Azimuth", "long label of 13");
    checkText(reinterpret_cast<const char*>(record + 96), "4 Azim", "short label of 13");
    checkText(reinterpret_cast<const char*>(record + 112), "Beam 4", "category label of 13");
    checkEqual(int32At(76) & 0x32, VstInt32{0x32}, "13: integer range, display index and category");
    checkEqual(int32At(84), VstInt32{360}, "13: whole degrees up to 360");
    checkEqual(int16At(104), 13, "13: display index");
    checkEqual(int16At(106), 4, "13: category");
    checkEqual(int16At(108), 4, "13: four parameters in the category");
    check(record[152] == 0xAB, "nothing written past the 152-byte record");
    checkEqual(call(e, effGetParameterProperties, 15, 0, record), VstIntPtr{1}, "properties of 15");
    checkEqual(int32At(76) & 1, VstInt32{1}, "15: status is a switch");
}

void checkParameters(AEffect* e) {
    checkText(text(e, effGetParamLabel, 4).c_str(), "degree", "label 4");
    checkText(text(e, effGetParamLabel, 31).c_str(), "", "label 31");

    struct Setting {
        VstInt32 index;
        float value;
        const char* display;
    };
    const Setting settings[] = {
        {0, 0.25f, "45"},    {4, 0.5f, "90"},       {1, 1.0f, "360"},  {2, 0.0f, "omni"},
        {6, 0.5f, "hyper1"}, {10, 1.0f, "torus"},   {14, 0.62f, "card3"}, {3, 0.4999f, "off"},
        {31, 0.5f, "on"},    {8, 0.0f, "0"},
    };
    for (const Setting& s : settings) {
        e->setParameter(e, s.index, s.value);
        checkText(text(e, effGetParamDisplay, s.index).c_str(), s.display,
                  "display " + std::to_string(s.index));
        check(e->getParameter(e, s.index) == s.value, "value read back " + std::to_string(s.index));
    }
}

void checkPrograms(AEffect* e) {
    char name[64];
    call(e, effGetProgramNameIndexed, 3, 0, name);
    checkText(name, "default 4", "untouched program 4");
    call(e, effSetProgram, 0, 2);
    checkEqual(call(e, effGetProgram), VstIntPtr{2}, "program 2 selected");
    char newName[] = "a name far longer than twenty-three characters";
    call(e, effSetProgramName, 0, 0, newName);
    checkText(text(e, effGetProgramName).c_str(), "a name far longer than ", "name cut to 23");
    e->setParameter(e, 0, 0.75f);
    call(e, effSetProgram, 0, 0);
    check(e->getParameter(e, 0) == 0.25f, "program 0 keeps its own elevation");
    call(e, effSetProgram, 0, 2);
    check(e->getParameter(e, 0) == 0.75f, "program 2 brings back its edit");
    call(e, effSetProgram, 0, 8);
    checkEqual(call(e, effGetProgram), VstIntPtr{2}, "program 8 ignored");
    call(e, effSetProgram, 0, 0);
}

// Every capsule carries the same tone: the omnidirectional beams all answer
// with the same, finite, non-silent signal once the latency has passed.
void checkAudio(AEffect* e) {
    call(e, effSetSampleRate, 0, 0, nullptr, 44100.0f);
    call(e, effSetBlockSize, 0, 512);
    call(e, effMainsChanged, 0, 1);
    for (VstInt32 beam = 0; beam < 8; ++beam) {
        e->setParameter(e, 4 * beam + 0, 0.5f);  // horizon
        e->setParameter(e, 4 * beam + 1, 0.0f);
        e->setParameter(e, 4 * beam + 2, 0.0f);  // omni
        e->setParameter(e, 4 * beam + 3, 1.0f);  // on
    }
    const int frames = 1500;  // longer than the block: processed in pieces
    std::vector<std::vector<float>> in(32, std::vector<float>(frames));
    std::vector<std::vector<float>> out(8, std::vector<float>(frames, 1e30f));
    std::vector<float*> inputs(32), outputs(8);
    for (int c = 0; c < 32; ++c) inputs[c] = in[c].data();
    for (int c = 0; c < 8; ++c) outputs[c] = out[c].data();

    // Earlier checks moved the beams: give the glides (one degree per 100
    // samples) and the 250 ms crossfades time before comparing the beams in
    // the last two blocks.
    constexpr int blocks = 20;
    bool allFinite = true, beamsAgree = true;
    double energy = 0.0;
    for (int block = 0; block < blocks; ++block) {
        for (int c = 0; c < 32; ++c)
            for (int i = 0; i < frames; ++i)
                in[c][i] = 0.25f * std::sin(2.0 * 3.14159265358979 * 500.0 *
                                            (block * frames + i) / 44100.0);
        e->processReplacing(e, inputs.data(), outputs.data(), frames);
        for (int c = 0; c < 8; ++c)
            for (int i = 0; i < frames; ++i) {
                allFinite = allFinite && std::isfinite(out[c][i]) && std::fabs(out[c][i]) < 100.0f;
                if (block < blocks - 2) continue;
                beamsAgree = beamsAgree && std::fabs(out[c][i] - out[0][i]) < 1e-4f;
                if (c == 0) energy += double(out[c][i]) * out[c][i];
            }
    }
    check(allFinite, "every output sample written and finite");
    check(beamsAgree, "omni beams agree");
    check(energy / (2.0 * frames) > 1e-3, "beams carry the tone");

    // NaN at the input must not silence the beams for good.
    for (int c = 0; c < 32; ++c) in[c].assign(frames, std::nanf(""));
    e->processReplacing(e, inputs.data(), outputs.data(), frames);
    bool silentOrFinite = true;
    for (int c = 0; c < 8; ++c)
        for (float v : out[c]) silentOrFinite = silentOrFinite && std::isfinite(v);
    check(silentOrFinite, "non-finite input gives finite output");
    double recovered = 0.0;
    for (int block = 0; block < 30; ++block) {  // about one second
        for (int c = 0; c < 32; ++c)
            for (int i = 0; i < frames; ++i)
                in[c][i] = 0.25f * std::sin(2.0 * 3.14159265358979 * 500.0 * i / 44100.0);
        e->processReplacing(e, inputs.data(), outputs.data(), frames);
    }
    bool finiteAgain = true;
    for (int c = 0; c < 8; ++c)
        for (float v : out[c]) {
            finiteAgain = finiteAgain && std::isfinite(v);
            if (std::isfinite(v)) recovered += double(v) * v;
        }
    check(finiteAgain, "finite again after non-finite input");
    check(recovered > 1e-3, "beams sound again after non-finite input");
}

// Deterministic noise in [-0.5, 0.5): the same for every instance it feeds.
float noiseAt(long n) {
    std::uint32_t x = static_cast<std::uint32_t>(n) * 2654435761u + 12345u;
    x ^= x >> 13;
    x *= 0x5bd1e995u;
    x ^= x >> 15;
    return static_cast<float>(x & 0xFFFFFF) / 16777216.0f - 0.5f;
}

struct Channels {
    explicit Channels(int frames) : in(32, std::vector<float>(frames)), out(8, std::vector<float>(frames)) {
        for (auto& c : in) inputs.push_back(c.data());
        for (auto& c : out) outputs.push_back(c.data());
    }
    void run(AEffect* e, int frames) { e->processReplacing(e, inputs.data(), outputs.data(), frames); }
    std::vector<std::vector<float>> in, out;
    std::vector<float*> inputs, outputs;
};

// The reported delay is where an impulse on every capsule comes out of the
// omnidirectional beams: at start and after a new block size.
void checkLatency(AEffect* e) {
    auto measured = [&] {
        Channels b(2048);
        for (int block = 0; block < 4; ++block) b.run(e, 2048);
        for (auto& c : b.in) c[0] = 1.0f;
        b.run(e, 2048);
        int at = 0;
        for (int i = 1; i < 2048; ++i)
            if (std::fabs(b.out[0][i]) > std::fabs(b.out[0][at])) at = i;
        return at;
    };
    checkEqual(e->initialDelay, measured(), "initialDelay is the measured delay");
    call(e, effSetBlockSize, 0, 2048);
    checkEqual(e->initialDelay, measured(), "initialDelay after a new block size");
}

// Hosts suspend and resume and repeat settings the plug-in has. Against a
// twin never re-activated: a repeated setting changes no bit, a resume or a
// new block size is heard no more (-60 dB) after 100 ms, and the beam that is
// off stays exact zero.
void checkReactivation(const Module& module) {
    const char* names[] = {"suspend/resume", "same block size", "same rate", "larger block", "smaller block"};
    for (int sequence = 0; sequence < 5; ++sequence) {
        AEffect* a = module.vstPluginMain(hostCallback);
        AEffect* twin = module.vstPluginMain(hostCallback);
        if (a == nullptr || twin == nullptr) {
            check(false, "two instances");
            return;
        }
        for (AEffect* p : {a, twin}) {
            call(p, effSetSampleRate, 0, 0, nullptr, 44100.0f);
            call(p, effSetBlockSize, 0, 512);
            call(p, effMainsChanged, 0, 1);
            p->setParameter(p, 0, 0.0f);         // beam 0 at the zenith, card3
            p->setParameter(p, 2, 7.5f / 12);
            p->setParameter(p, 7, 0.0f);         // beam 1 off
            p->setParameter(p, 9, 200.0f / 360);  // beam 2 towards 200 degrees, hyper2
            p->setParameter(p, 10, 5.5f / 12);
        }
        const long settle = 90 * 512, total = settle + 40 * 512;
        long clock = 0;
        bool identical = true, offSilent = true;
        double peak = 0, error = 0;
        auto run = [&](int frames, bool compare) {
            Channels x(frames), y(frames);
            for (int c = 0; c < 32; ++c)
                for (int i = 0; i < frames; ++i) x.in[c][i] = y.in[c][i] = noiseAt((clock + i) * 32 + c);
            x.run(a, frames);
            y.run(twin, frames);
            for (int c = 0; c < 8; ++c)
                for (int i = 0; i < frames; ++i) {
                    const float u = x.out[c][i], v = y.out[c][i];
                    identical = identical && std::memcmp(&u, &v, sizeof u) == 0;
                    if (!compare) continue;
                    if (c == 1) offSilent = offSilent && u == 0.0f && !std::signbit(u);
                    if (c == 1 || clock + i < settle + 4410) continue;
                    peak = std::fmax(peak, std::fabs(double(v)));
                    error = std::fmax(error, std::fabs(double(u) - v));
                }
            clock += frames;
        };
        while (clock < settle) run(512, false);
        switch (sequence) {
            case 0: call(a, effMainsChanged, 0, 0); call(a, effMainsChanged, 0, 1); break;
            case 1: call(a, effSetBlockSize, 0, 512); break;
            case 2: call(a, effSetSampleRate, 0, 0, nullptr, 44100.0f); break;
            default:
                call(a, effMainsChanged, 0, 0);
                call(a, effSetBlockSize, 0, sequence == 3 ? 2048 : 256);
                call(a, effMainsChanged, 0, 1);
                break;
        }
        while (clock < total) run(256, true);
        const std::string name = names[sequence];
        check(offSilent, name + ": the beam that is off stays exact zero");
        if (sequence == 1 || sequence == 2) check(identical, name + ": nothing changes");
        check(peak > 0.01 && error <= 1e-3 * peak,
              name + ": the beams agree within -60 dB after 100 ms (error " + std::to_string(error) + ", peak " +
                  std::to_string(peak) + ")");
        call(a, effClose);
        call(twin, effClose);
    }
}

// The host's processor state comes back exactly from every callback: each
// combination of flush-to-zero and denormals-are-zero, underflow masked or
// unmasked, every rounding mode, a raised status flag; tiny inputs make the
// beams' filters underflow inside (a trap if the unmasked underflow leaked
// in).
void checkProcessorState(AEffect* e) {
#if defined(QB32_HOST_TEST_MXCSR)
    const int frames = 256;
    std::vector<std::vector<float>> in(32, std::vector<float>(frames)), out(8, std::vector<float>(frames));
    std::vector<float*> inputs(32), outputs(8);
    for (int c = 0; c < 32; ++c) {
        for (int i = 0; i < frames; ++i) in[c][i] = (i % 2 == 0 ? 3e-37f : -2e-37f) * float(1 + i % 7);
        inputs[c] = in[c].data();
    }
    for (int c = 0; c < 8; ++c) outputs[c] = out[c].data();
    const unsigned original = _mm_getcsr();
    int differing = 0;
    for (unsigned ftz : {0u, 0x8000u})
        for (unsigned daz : {0u, 0x40u})
            for (unsigned underflowMask : {0u, 0x800u})
                for (unsigned rounding : {0x0000u, 0x2000u, 0x4000u, 0x6000u}) {
                    const unsigned host = 0x1780u | ftz | daz | underflowMask | rounding | 0x20u;
                    _mm_setcsr(host);
                    e->processReplacing(e, inputs.data(), outputs.data(), frames);
                    const unsigned after = _mm_getcsr();
                    _mm_setcsr(original);
                    if (after != host) {
                        ++differing;
                        char line[96];
                        std::snprintf(line, sizeof line, "MXCSR 0x%04X came back as 0x%04X", host, after);
                        check(false, line);
                    }
                }
    check(differing == 0, "every processor state comes back exactly");
#else
    (void)e;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: %s path/to/module\n", argv[0]);
        return 2;
    }
    const Module module = load(argv[1]);
    check(module.vstPluginMain != nullptr, "VSTPluginMain exported");
    check(module.main != nullptr, "main exported");
    if (module.vstPluginMain == nullptr || module.main == nullptr) {
        std::printf("%d passed, %d failed\n", passed, failed);
        return 1;
    }
    check(module.main == module.vstPluginMain, "main and VSTPluginMain are one function");

    versionAnswer = 0;
    check(module.main(hostCallback) == nullptr, "a host answering version 0 gets no instance");
    versionAnswer = vstVersion;

    hostRequests.clear();
    AEffect* e = module.main(hostCallback);
    check(e != nullptr, "instance created");
    if (e != nullptr) {
        check(hostRequests.size() == 1 && hostRequests[0] == audioMasterVersion,
              "only the version is asked of the host");
        checkRecord(e);
        checkDispatcher(e);
        checkNames(e);
        AEffect* other = module.vstPluginMain(hostCallback);
        checkParameters(e);
        checkPrograms(e);
        if (other != nullptr) {
            check(other->getParameter(other, 0) == 0.5f, "instances are independent");
            checkEqual(call(other, effClose), VstIntPtr{1}, "effClose of the second instance");
        }
        checkAudio(e);
        checkProcessorState(e);
        checkLatency(e);
        checkEqual(call(e, effClose), VstIntPtr{1}, "effClose");
    }
    checkReactivation(module);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
