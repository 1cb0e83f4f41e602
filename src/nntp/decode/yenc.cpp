#include "nntp/decode/yenc.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define QUIVERN_YENC_X86 1
#endif

namespace quivern {
namespace {

inline std::uint8_t Plain(char c) {
    return static_cast<std::uint8_t>(static_cast<unsigned char>(c) - 42u);
}
inline std::uint8_t Escaped(char c) {
    return static_cast<std::uint8_t>(static_cast<unsigned char>(c) - 64u - 42u);
}
inline bool IsLineBreak(char c) {
    return c == '\r' || c == '\n';
}

// Line by line, exactly as the format is defined; the vector versions must match it byte for byte.
std::size_t DecodeScalar(const char* t, std::size_t len, std::uint8_t* out) {
    std::size_t pos = 0;
    std::size_t o = 0;
    while (pos < len) {
        while (pos < len && IsLineBreak(t[pos]))
            ++pos;
        if (pos >= len) break;
        std::size_t end = pos;
        while (end < len && !IsLineBreak(t[end]))
            ++end;
        if (end - pos >= 2 && t[pos] == '.' && t[pos + 1] == '.') ++pos;
        for (std::size_t i = pos; i < end; ++i) {
            if (t[i] == '=') {
                if (++i >= end) return 0;
                out[o++] = Escaped(t[i]);
            } else {
                out[o++] = Plain(t[i]);
            }
        }
        pos = end;
    }
    return o;
}

#if QUIVERN_YENC_X86
// The vector versions copy whole vectors minus 42 and stop only at '=', CR and LF; a '.' matters
// only right after a line break, which the scalar step after each break handles. A full-width store
// at out + o is safe because o <= pos and pos + width <= len, and `out` holds len bytes.

#define QUIVERN_YENC_VECTOR_DECODER(NAME, TARGET, WIDTH, VEC, SET1, LOADU, STOREU, CMPEQ, OR, SUB, MOVEMASK) \
    __attribute__((target(TARGET))) std::size_t NAME(const char* t, std::size_t len, std::uint8_t* out) {    \
        const VEC eq = SET1('=');                                                                            \
        const VEC cr = SET1('\r');                                                                           \
        const VEC lf = SET1('\n');                                                                           \
        const VEC bias = SET1(42);                                                                           \
        std::size_t pos = 0;                                                                                 \
        std::size_t o = 0;                                                                                   \
        for (;;) {                                                                                           \
            while (pos < len && IsLineBreak(t[pos]))                                                         \
                ++pos;                                                                                       \
            if (pos >= len) return o;                                                                        \
            if (t[pos] == '.' && pos + 1 < len && t[pos + 1] == '.') ++pos;                                  \
            for (;;) {                                                                                       \
                if (pos + (WIDTH) <= len) {                                                                  \
                    const VEC v = LOADU(reinterpret_cast<const VEC*>(t + pos));                              \
                    const unsigned mask =                                                                    \
                        static_cast<unsigned>(MOVEMASK(OR(OR(CMPEQ(v, eq), CMPEQ(v, cr)), CMPEQ(v, lf))));   \
                    STOREU(reinterpret_cast<VEC*>(out + o), SUB(v, bias));                                   \
                    if (mask == 0) {                                                                         \
                        pos += (WIDTH);                                                                      \
                        o += (WIDTH);                                                                        \
                        continue;                                                                            \
                    }                                                                                        \
                    const unsigned skip = static_cast<unsigned>(__builtin_ctz(mask));                        \
                    pos += skip;                                                                             \
                    o += skip;                                                                               \
                } else {                                                                                     \
                    while (pos < len && t[pos] != '=' && !IsLineBreak(t[pos]))                               \
                        out[o++] = Plain(t[pos++]);                                                          \
                    if (pos >= len) return o;                                                                \
                }                                                                                            \
                if (t[pos] != '=') break; /* line break */                                                   \
                if (pos + 1 >= len || IsLineBreak(t[pos + 1])) return 0;                                     \
                out[o++] = Escaped(t[pos + 1]);                                                              \
                pos += 2;                                                                                    \
            }                                                                                                \
        }                                                                                                    \
    }

QUIVERN_YENC_VECTOR_DECODER(DecodeSse2, "sse2", 16, __m128i, _mm_set1_epi8, _mm_loadu_si128, _mm_storeu_si128,
                            _mm_cmpeq_epi8, _mm_or_si128, _mm_sub_epi8, _mm_movemask_epi8)
QUIVERN_YENC_VECTOR_DECODER(DecodeAvx2, "avx2", 32, __m256i, _mm256_set1_epi8, _mm256_loadu_si256,
                            _mm256_storeu_si256, _mm256_cmpeq_epi8, _mm256_or_si256, _mm256_sub_epi8,
                            _mm256_movemask_epi8)

#undef QUIVERN_YENC_VECTOR_DECODER

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

}  // namespace

bool YEncImplAvailable(YEncImpl impl) {
    switch (impl) {
        case YEncImpl::kScalar:
            return true;
#if QUIVERN_YENC_X86
        case YEncImpl::kSse2:
            return true;
        case YEncImpl::kAvx2:
            return HasAvx2();
#else
        case YEncImpl::kSse2:
        case YEncImpl::kAvx2:
            return false;
#endif
    }
    return false;
}

YEncImpl YEncActiveImpl() {
    if (YEncImplAvailable(YEncImpl::kAvx2)) return YEncImpl::kAvx2;
    if (YEncImplAvailable(YEncImpl::kSse2)) return YEncImpl::kSse2;
    return YEncImpl::kScalar;
}

std::size_t DecodeYEncWith(YEncImpl impl, const char* text, std::size_t length, std::uint8_t* output) {
    if (!YEncImplAvailable(impl)) impl = YEncImpl::kScalar;
    switch (impl) {
#if QUIVERN_YENC_X86
        case YEncImpl::kAvx2:
            return DecodeAvx2(text, length, output);
        case YEncImpl::kSse2:
            return DecodeSse2(text, length, output);
#endif
        default:
            return DecodeScalar(text, length, output);
    }
}

std::size_t DecodeYEnc(const char* text, std::size_t length, std::uint8_t* output) {
    static const YEncImpl active = YEncActiveImpl();
    return DecodeYEncWith(active, text, length, output);
}

}  // namespace quivern
