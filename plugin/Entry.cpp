// The module's one export, under the two names hosts look for:
// VSTPluginMain and main. C++ refuses a function called main that returns a
// pointer, so the second name is given to the linker instead: an alias with
// the assembler name "main" on ELF targets, the module-definition file
// qb32.def on Windows.

#include "plugin/CQB32Vst.h"

#if defined(_WIN32)
#define QB32_EXPORT
#else
#define QB32_EXPORT __attribute__((visibility("default")))
#endif

extern "C" QB32_EXPORT qb32::vst::AEffect* QB32_VSTCALL VSTPluginMain(qb32::vst::HostCallback host) {
    return qb32::CQB32Vst::createInstance(host);
}

#if !defined(_WIN32)
extern "C" QB32_EXPORT qb32::vst::AEffect* vstPluginMainAlias(qb32::vst::HostCallback host) __asm__(
    "main") __attribute__((alias("VSTPluginMain")));
#endif
