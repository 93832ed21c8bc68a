#include "formats/sha256hash.h"

#include <QFile>
#include <QIODevice>
#include <QString>

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define UPDATER_SHA_INSTRUCTIONS 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define UPDATER_SHA_INSTRUCTIONS 0
#endif

namespace {

constexpr std::array<std::uint32_t, 8> InitialState = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr int BlockBytes = 64;
constexpr int LengthOffset = BlockBytes - 8;
constexpr qint64 ReadChunkBytes = 1 << 20;

#if UPDATER_SHA_INSTRUCTIONS
alignas(16) constexpr std::array<std::uint32_t, 64> RoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

/// Runs the compression function over `blocks` blocks of 64 bytes. The instructions keep the eight
/// state words as the pairs ABEF and CDGH, and take four message words at a time, two rounds
/// each.
__attribute__((target("sha,sse4.1,ssse3"))) void compressBlocks(std::uint32_t* state,
                                                                const unsigned char* data, std::size_t blocks)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    __m128i cdgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(dcba, cdgh, 8);
    cdgh = _mm_blend_epi16(cdgh, dcba, 0xF0);

    for (; blocks > 0; --blocks, data += BlockBytes) {
        const __m128i savedAbef = abef;
        const __m128i savedCdgh = cdgh;
        // The last four groups of message words; group g lives in words[g % 4].
        // A plain array: std::array would drop the vector type's alignment attribute.
        __m128i words[4]; // NOLINT(modernize-avoid-c-arrays)
#pragma GCC unroll 16
        for (std::size_t group = 0; group < 16; ++group) {
            __m128i& current = words[group & 3];
            if (group < 4) {
                current = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), byteSwap);
            } else {
                const __m128i previous = words[(group - 1) & 3];
                const __m128i scheduled = _mm_add_epi32(_mm_sha256msg1_epu32(current, words[(group - 3) & 3]),
                                                        _mm_alignr_epi8(previous, words[(group - 2) & 3], 4));
                current = _mm_sha256msg2_epu32(scheduled, previous);
            }
            __m128i message = _mm_add_epi32(
                current, _mm_load_si128(reinterpret_cast<const __m128i*>(RoundConstants.data() + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, savedAbef);
        cdgh = _mm_add_epi32(cdgh, savedCdgh);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#endif

bool processorHasShaInstructions()
{
#if UPDATER_SHA_INSTRUCTIONS
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_SSSE3) || !(ecx & bit_SSE4_1)) {
        return false;
    }
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    return (ebx & (1u << 29)) != 0;
#else
    return false;
#endif
}

void compress(std::uint32_t* state, const unsigned char* data, std::size_t blocks)
{
#if UPDATER_SHA_INSTRUCTIONS
    compressBlocks(state, data, blocks);
#else
    Q_UNUSED(state);
    Q_UNUSED(data);
    Q_UNUSED(blocks);
#endif
}

} // namespace

Sha256Hash::Sha256Hash() : m_native(usesProcessorInstructions()), m_state(InitialState) {}

bool Sha256Hash::usesProcessorInstructions()
{
    static const bool available = processorHasShaInstructions();
    return available;
}

void Sha256Hash::reset()
{
    m_portable.reset();
    m_state = InitialState;
    m_blockFill = 0;
    m_totalBytes = 0;
}

void Sha256Hash::addData(const char* data, qint64 length)
{
    if (!m_native) {
        // Qt 5 takes an int length.
        for (qint64 done = 0; done < length;) {
            const int piece = int(std::min<qint64>(length - done, 1 << 30));
            m_portable.addData(data + done, piece);
            done += piece;
        }
        return;
    }
    m_totalBytes += std::uint64_t(length);
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    if (m_blockFill > 0) {
        const int taken = int(std::min<qint64>(length, BlockBytes - m_blockFill));
        std::memcpy(m_block.data() + m_blockFill, bytes, std::size_t(taken));
        m_blockFill += taken;
        bytes += taken;
        length -= taken;
        if (m_blockFill < BlockBytes) {
            return;
        }
        compress(m_state.data(), m_block.data(), 1);
        m_blockFill = 0;
    }
    const qint64 wholeBlocks = length / BlockBytes;
    if (wholeBlocks > 0) {
        compress(m_state.data(), bytes, std::size_t(wholeBlocks));
        bytes += wholeBlocks * BlockBytes;
        length -= wholeBlocks * BlockBytes;
    }
    std::memcpy(m_block.data(), bytes, std::size_t(length));
    m_blockFill = int(length);
}

bool Sha256Hash::addData(QIODevice& device)
{
    QByteArray buffer(int(ReadChunkBytes), Qt::Uninitialized);
    for (;;) {
        const qint64 got = device.read(buffer.data(), ReadChunkBytes);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return device.atEnd();
        }
        addData(buffer.constData(), got);
    }
}

QByteArray Sha256Hash::result() const
{
    if (!m_native) {
        return m_portable.result();
    }
    // Padding works on copies, so that more data may still be added afterwards.
    std::array<std::uint32_t, 8> state = m_state;
    std::array<unsigned char, 64> block = m_block;
    int fill = m_blockFill;
    const std::uint64_t bitLength = m_totalBytes * 8;
    block[std::size_t(fill++)] = 0x80;
    if (fill > LengthOffset) {
        std::fill(block.begin() + fill, block.end(), 0);
        compress(state.data(), block.data(), 1);
        fill = 0;
    }
    std::fill(block.begin() + fill, block.begin() + LengthOffset, 0);
    for (int i = 0; i < 8; ++i) {
        block[std::size_t(LengthOffset) + std::size_t(i)] =
            static_cast<unsigned char>(bitLength >> (56 - 8 * i));
    }
    compress(state.data(), block.data(), 1);
    QByteArray digest(32, Qt::Uninitialized);
    for (int word = 0; word < 8; ++word) {
        for (int i = 0; i < 4; ++i) {
            digest[4 * word + i] = char(state[std::size_t(word)] >> (24 - 8 * i));
        }
    }
    return digest;
}

QByteArray Sha256Hash::ofFile(const QString& path)
{
    QFile file(path);
    Sha256Hash hash;
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(file)) {
        return QByteArray();
    }
    return hash.result();
}
