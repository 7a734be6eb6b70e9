#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "framework/vkAudioClass.h"

namespace qb32 {
namespace {

vkAudioInterface frequencyStream(int channels, float rate, int fft, int block) {
    vkAudioInterface d;
    d.domain = vkAudioInterface::frequencyDomain;
    d.channels = channels;
    d.sampleRate = rate;
    d.fftLength = fft;
    d.blockLength = block;
    return d;
}

TEST(AudioInterface, FrameCountPerDomain) {
    EXPECT_EQ(timeDomainStream(2, 44100.0f, 512).frameCount(), 512);
    EXPECT_EQ(frequencyStream(2, 44100.0f, 1024, 77).frameCount(), 513);
    EXPECT_EQ(frequencyStream(2, 44100.0f, 1, 77).frameCount(), 1);
}

TEST(AudioInterface, MatchesComparesOnlyTheFieldsOfItsDomain) {
    auto a = timeDomainStream(32, 44100.0f, 512);
    auto b = a;
    b.fftLength = 999;
    b.frameAux1 = 3;
    EXPECT_TRUE(a.matches(b)) << "time domain ignores the frequency-domain fields";
    b = a;
    b.blockLength = 256;
    EXPECT_FALSE(a.matches(b));
    b = a;
    b.sampleRate = std::nextafter(44100.0f, 50000.0f);
    EXPECT_FALSE(a.matches(b)) << "rates compare exactly";
    b = a;
    b.formatFlag = false;
    EXPECT_FALSE(a.matches(b));
    b = a;
    b.channels = 31;
    EXPECT_FALSE(a.matches(b));

    auto f = frequencyStream(2, 48000.0f, 1024, 10);
    auto g = frequencyStream(2, 48000.0f, 1024, 20);
    EXPECT_TRUE(f.matches(g)) << "frequency domain ignores blockLength";
    g.frameAux2 = 1;
    EXPECT_FALSE(f.matches(g));
    EXPECT_FALSE(f.matches(a));
}

class Block : public vkAudioClass {
public:
    Block() {
        static const ControlDeclaration rows[] = {
            {"theta", 1, valueType::int32}, {"name", 8, valueType::string8}};
        declareControls(rows, 2);
    }
    int set(int control, const void* value, int count, int type) {
        return copyControlValue(type, control, count, value, &storage);
    }
    int storage = 0;
};

TEST(AudioClass, ConfigureIsRefusedWhileActiveAndKeepsTheOldDescriptors) {
    vkAudioClass block;
    const auto first = timeDomainStream(2, 44100.0f, 64);
    ASSERT_EQ(block.configure(first, first), status::ok);
    ASSERT_EQ(block.start(), status::ok);
    const auto second = timeDomainStream(4, 44100.0f, 128);
    EXPECT_EQ(block.configure(second, second), status::blockActive);
    EXPECT_TRUE(block.inputFormat().matches(first));
    ASSERT_EQ(block.stop(), status::ok);
    EXPECT_EQ(block.configure(second, second), status::ok);
    EXPECT_TRUE(block.outputFormat().matches(second));
}

TEST(AudioClass, PassThroughCopiesTheSmallerChannelCountOnly) {
    vkAudioClass block;
    ASSERT_EQ(block.configure(timeDomainStream(32, 44100.0f, 16), timeDomainStream(8, 44100.0f, 16)),
              status::ok);
    std::vector<std::vector<float>> in(32, std::vector<float>(16)), out(9, std::vector<float>(16, -7.0f));
    std::vector<const float*> inPtr;
    std::vector<float*> outPtr;
    for (int c = 0; c < 32; ++c) {
        for (int i = 0; i < 16; ++i) in[c][i] = static_cast<float>(c * 100 + i);
        inPtr.push_back(in[c].data());
    }
    for (auto& o : out) outPtr.push_back(o.data());
    EXPECT_EQ(block.process(inPtr.data(), outPtr.data(), 16), status::ok);
    for (int c = 0; c < 8; ++c) EXPECT_EQ(out[c], in[c]);
    EXPECT_EQ(out[8][0], -7.0f) << "channel 8 is not an output of this block";
}

TEST(AudioClass, CheckedProcessingRefusesMismatchesAndTooManyFrames) {
    vkAudioClass block;
    auto d = timeDomainStream(1, 44100.0f, 8);
    ASSERT_EQ(block.configure(d, d), status::ok);
    float a[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9}, b[9] = {};
    float* ap[] = {a};
    float* bp[] = {b};
    vkAudioBuffer in{ap, &d}, out{bp, &d};
    EXPECT_EQ(block.processChecked(in, out, 9), status::unsupportedStream);
    EXPECT_EQ(b[0], 0.0f) << "nothing was processed";
    EXPECT_EQ(block.processChecked(in, out, 8), status::ok);
    EXPECT_EQ(b[7], 8.0f);
    auto other = timeDomainStream(1, 44100.0f, 16);
    vkAudioBuffer wrong{ap, &other};
    EXPECT_EQ(block.processCheckedBlock(wrong, out), status::unsupportedStream);
    EXPECT_EQ(block.processCheckedBlock(in, out), status::ok);
}

TEST(AudioClass, ControlsOfTheBaseAndAuxControlsAreRefused) {
    vkAudioClass block;
    int v = 0;
    EXPECT_EQ(block.setControl(0, 0, &v, 1, valueType::int32), status::noControls);
    EXPECT_EQ(block.getControl(0, 0, &v, 1, valueType::int32), status::noControls);
    EXPECT_EQ(block.setAuxControl(0, 0, &v, 1, valueType::int32), status::noAuxControls);
    EXPECT_EQ(block.getAuxControl(0, 0, &v, 1, valueType::int32), status::noAuxControls);
}

TEST(AudioClass, CopyControlValueChecksTypeAndCount) {
    Block block;
    ASSERT_EQ(block.getControlCount(), 2);
    EXPECT_STREQ(block.getControlName(0), "theta");
    const int v[2] = {42, 43};
    struct Case {
        int control, count, type, expected;
    };
    const Case cases[] = {
        {0, 1, valueType::int32, status::ok},
        {0, 2, valueType::int32, status::controlMismatch},
        {0, 1, 11, status::controlMismatch},
        {0, 1, 19, status::controlMismatch},
        {1, 9, valueType::string8, status::controlMismatch},
        {5, 1, valueType::int32, status::badControl},
    };
    for (const auto& c : cases) {
        block.storage = 0;
        EXPECT_EQ(block.set(c.control, v, c.count, c.type), c.expected)
            << "control " << c.control << " count " << c.count << " type " << c.type;
        if (c.expected == status::ok) EXPECT_EQ(block.storage, 42);
        else EXPECT_EQ(block.storage, 0);
    }
    char text[4] = {'a', 'b', 'c', '\0'};
    EXPECT_EQ(block.set(1, text, 3, valueType::string8), status::ok);
    EXPECT_EQ(std::memcmp(&block.storage, "abc", 4), 0);
}

TEST(AudioClass, ValueTypeSizes) {
    const int sizes[] = {1, 1, 2, 1, 2, 2, 4, 8, 2, 4, 8, 4, 8, 16, 4, 8, 16, 4, 8, 0};
    for (int type = 0; type < 20; ++type) EXPECT_EQ(valueTypeSize(type), sizes[type]) << type;
}

}  // namespace
}  // namespace qb32
