#include "framework/vkAudioClass.h"

#include <cstring>
#include <new>

#include "framework/Primitives.h"

namespace qb32 {

int valueTypeSize(int type) noexcept {
    switch (type) {
        case 0:
        case 1:
        case valueType::string8:
            return 1;
        case 2:
        case 5:
        case 8:
        case valueType::string16:
            return 2;
        case valueType::int32:
        case 9:
        case 11:
        case 14:
        case 17:
            return 4;
        case 7:
        case 10:
        case 12:
        case 15:
        case 18:
            return 8;
        case 13:
        case 16:
            return 16;
        default:
            return 0;
    }
}

bool isServableStreamPair(const vkAudioInterface& in, const vkAudioInterface& out) noexcept {
    return in.domain == vkAudioInterface::timeDomain &&
           out.domain == vkAudioInterface::timeDomain && in.formatFlag && out.formatFlag &&
           in.sampleRate == out.sampleRate && in.frameCount() == out.frameCount();
}

vkAudioClass::~vkAudioClass() = default;

int vkAudioClass::configure(const vkAudioInterface& in, const vkAudioInterface& out) {
    if (active) return status::blockActive;
    input = in;
    output = out;
    return status::ok;
}

int vkAudioClass::process(const float* const* in, float* const* out, int frames) noexcept {
    const int n = input.channels < output.channels ? input.channels : output.channels;
    int orStatus = 0;
    for (int i = 0; i < n; ++i) orStatus |= vecCopy(in[i], out[i], frames);
    return orStatus != 0 ? status::primitiveFailure + orStatus : status::ok;
}

int vkAudioClass::processBlock(const float* const* in, float* const* out) noexcept {
    return process(in, out, input.frameCount());
}

int vkAudioClass::processChecked(const vkAudioBuffer& in, const vkAudioBuffer& out,
                                 int frames) noexcept {
    if (in.format == nullptr || out.format == nullptr || !input.matches(*in.format) ||
        !output.matches(*out.format) || frames > input.frameCount())
        return status::unsupportedStream;
    return process(in.data, out.data, frames);
}

int vkAudioClass::processCheckedBlock(const vkAudioBuffer& in, const vkAudioBuffer& out) noexcept {
    if (in.format == nullptr || out.format == nullptr || !input.matches(*in.format) ||
        !output.matches(*out.format))
        return status::unsupportedStream;
    return process(in.data, out.data, in.format->frameCount());
}

void vkAudioClass::reset() noexcept {}

int vkAudioClass::stop() noexcept {
    active = false;
    return status::ok;
}

int vkAudioClass::start() noexcept {
    active = true;
    return status::ok;
}

int vkAudioClass::setAuxControl(int, int, const void*, int, int) noexcept {
    return status::noAuxControls;
}

int vkAudioClass::getAuxControl(int, int, void*, int, int) noexcept {
    return status::noAuxControls;
}

int vkAudioClass::setControl(int, int, const void*, int, int) noexcept { return status::noControls; }

int vkAudioClass::getControl(int, int, void*, int, int) noexcept { return status::noControls; }

const char* vkAudioClass::getControlName(int control) const noexcept {
    if (control < 0 || control >= controlCount || !controlNames || !controlNames[control])
        return nullptr;
    return controlNames[control].get();
}

int vkAudioClass::declareControls(const ControlDeclaration* rows, int count) noexcept {
    controlCount = 0;
    controlCounts.reset();
    controlTypes.reset();
    controlNames.reset();
    if (rows == nullptr || count <= 0) return status::ok;

    std::unique_ptr<int[]> counts(new (std::nothrow) int[count]);
    std::unique_ptr<int[]> types(new (std::nothrow) int[count]);
    std::unique_ptr<std::unique_ptr<char[]>[]> names(new (std::nothrow)
                                                         std::unique_ptr<char[]>[count]);
    if (!counts || !types || !names) return status::allocationFailed;
    for (int i = 0; i < count; ++i) {
        names[i].reset(new (std::nothrow) char[controlNameCapacity]);
        if (!names[i]) return status::allocationFailed;
        std::memset(names[i].get(), 0, controlNameCapacity);
        if (rows[i].name != nullptr)
            std::strncpy(names[i].get(), rows[i].name, controlNameCapacity - 1);
        counts[i] = rows[i].elementCount;
        types[i] = rows[i].type;
    }
    controlCounts = std::move(counts);
    controlTypes = std::move(types);
    controlNames = std::move(names);
    controlCount = count;
    return status::ok;
}

int vkAudioClass::copyControlValue(int type, int control, int count, const void* source,
                                   void* destination) const noexcept {
    if (control < 0 || control >= controlCount) return status::badControl;
    if (source == nullptr || destination == nullptr || count < 0) return status::controlMismatch;
    if (type == valueType::string8 || type == valueType::string16) {
        if (count > controlCounts[control]) return status::controlMismatch;
        const int characterSize = type == valueType::string8 ? 1 : 2;
        std::memcpy(destination, source, static_cast<std::size_t>(count * characterSize + 1));
        return status::ok;
    }
    if (count != controlCounts[control] || type != controlTypes[control])
        return status::controlMismatch;
    const int size = valueTypeSize(type);
    if (size == 0) return status::badValueType;
    std::memcpy(destination, source, static_cast<std::size_t>(count) * static_cast<std::size_t>(size));
    return status::ok;
}

}  // namespace qb32
