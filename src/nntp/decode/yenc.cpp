#include "nntp/decode/yenc.h"

#include <array>
#include <cstring>
#include <string_view>

#include "nntp/decode/crc32.h"

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

// The decoding as a state machine over single characters; every piece-wise path falls back to it
// wherever a vector is not worth it (line starts, escapes, the tail of a piece).
struct DecodeState {
    bool escape = false;
    bool lineStart = true;
    bool pendingDot = false;
    bool failed = false;
};

inline void Step(DecodeState& s, char ch, std::uint8_t* out, std::size_t& o) {
    if (s.pendingDot) {
        // A "." began the line: it goes when a second "." follows, and that one stays.
        s.pendingDot = false;
        out[o++] = Plain('.');
        if (ch == '.') return;
    }
    if (s.escape) {
        s.escape = false;
        if (IsLineBreak(ch)) {
            s.failed = true;
            return;
        }
        out[o++] = Escaped(ch);
        return;
    }
    if (IsLineBreak(ch)) {
        s.lineStart = true;
        return;
    }
    const bool start = s.lineStart;
    s.lineStart = false;
    if (ch == '=') {
        s.escape = true;
    } else if (start && ch == '.') {
        s.pendingDot = true;
    } else {
        out[o++] = Plain(ch);
    }
}

// The CRC the AVX-512 kernel keeps while it writes: the bytes before `next` are folded into `acc`
// (when `started`; the first block takes the raw register `raw`). The CRC-32 with init 0 and no
// final complement of the 64 bytes of `acc` equals that of all the bytes folded, so finishing is
// an ordinary CRC over `acc` followed by the bytes from `next` on.
struct CrcFold {
    static constexpr std::size_t kLag = 256;
    alignas(64) std::uint8_t acc[64] = {};
    const std::uint8_t* next = nullptr;
    std::uint32_t raw = 0;
    bool started = false;
};

#if QUIVERN_YENC_X86
// The copy-until-special kernels: whole vectors minus 42 are stored and only '=', CR and LF (and
// the first character of each line) go through Step. A full-width store at out + o is safe because
// o <= pos + 1 and pos + width <= stop <= the piece's length, and the caller promised length + 1
// bytes of room.
#define QUIVERN_YENC_COPY_KERNEL(NAME, TARGET, WIDTH, VEC, SET1, LOADU, STOREU, CMPEQ, OR, SUB, MOVEMASK) \
    __attribute__((target(TARGET))) void NAME(DecodeState& s, const char* t, std::size_t& pos,            \
                                              std::size_t stop, std::uint8_t* out, std::size_t& o) {      \
        const VEC eq = SET1('=');                                                                         \
        const VEC cr = SET1('\r');                                                                        \
        const VEC lf = SET1('\n');                                                                        \
        const VEC bias = SET1(42);                                                                        \
        while (pos + (WIDTH) <= stop) {                                                                   \
            if (s.escape || s.lineStart || s.pendingDot) {                                                \
                Step(s, t[pos++], out, o);                                                                \
                continue;                                                                                 \
            }                                                                                             \
            const VEC v = LOADU(reinterpret_cast<const VEC*>(t + pos));                                   \
            const unsigned mask =                                                                         \
                static_cast<unsigned>(MOVEMASK(OR(OR(CMPEQ(v, eq), CMPEQ(v, cr)), CMPEQ(v, lf))));        \
            STOREU(reinterpret_cast<VEC*>(out + o), SUB(v, bias));                                        \
            if (mask == 0) {                                                                              \
                pos += (WIDTH);                                                                           \
                o += (WIDTH);                                                                             \
                continue;                                                                                 \
            }                                                                                             \
            const unsigned skip = static_cast<unsigned>(__builtin_ctz(mask));                             \
            pos += skip;                                                                                  \
            o += skip;                                                                                    \
            Step(s, t[pos++], out, o);                                                                    \
        }                                                                                                 \
    }

QUIVERN_YENC_COPY_KERNEL(KernelSse2, "sse2", 16, __m128i, _mm_set1_epi8, _mm_loadu_si128, _mm_storeu_si128,
                         _mm_cmpeq_epi8, _mm_or_si128, _mm_sub_epi8, _mm_movemask_epi8)

#undef QUIVERN_YENC_COPY_KERNEL

// Escape starts among the '=' positions `eq` when runs of '=' occur: an '=' escapes the next
// character unless it is itself escaped. `carry` is 1 when the previous block ended in an escape.
std::uint64_t ResolveEscapeRuns(std::uint64_t eq, std::uint64_t carry) {
    std::uint64_t starts = 0;
    for (std::uint64_t m = eq; m != 0; m &= m - 1) {
        const std::uint64_t bit = m & (~m + 1);
        if ((((starts << 1) | carry) & bit) == 0) starts |= bit;
    }
    return starts;
}

// The first "=yend" among the pairs "=y" whose '=' positions (from `base`) are set in `pairs`, if
// it lies wholly below `limit`.
inline bool FindMarkerInPairs(std::uint64_t pairs, const char* t, std::size_t base, std::size_t limit,
                              std::size_t* marker) {
    for (; pairs != 0; pairs &= pairs - 1) {
        const std::size_t at = base + static_cast<std::size_t>(__builtin_ctzll(pairs));
        if (at + 5 <= limit && std::memcmp(t + at + 2, "end", 3) == 0) {
            *marker = at;
            return true;
        }
    }
    return false;
}

// The bit logic of one block of 64 characters, shared by the vector kernels: from the positions of
// '=', CR/LF and '.' it finds the characters to drop and the escaped ones, and carries the escape
// and line-start state to the next block.
struct BlockMasks {
    std::uint64_t escCarry;
    std::uint64_t lineCarry;
    std::uint64_t bad = 0;  // an escape of a line break was seen

    // Returns the characters to keep; `escaped` gets those to lower by 64 more. `nextIsDot` tells
    // whether the character after the block is a '.'.
    inline std::uint64_t Classify(std::uint64_t eq, std::uint64_t brk, std::uint64_t dot, bool nextIsDot,
                                  std::uint64_t& escaped) {
        std::uint64_t starts = eq;
        if (__builtin_expect((eq & ((eq << 1) | escCarry)) != 0, 0)) starts = ResolveEscapeRuns(eq, escCarry);
        escaped = (starts << 1) | escCarry;
        bad |= escaped & brk;
        const std::uint64_t lineStart = (brk << 1) | lineCarry;
        const std::uint64_t stuffed = dot & lineStart & ((dot >> 1) | (std::uint64_t{nextIsDot} << 63));
        escCarry = starts >> 63;
        lineCarry = brk >> 63;
        return ~(starts | brk | stuffed);
    }
};

// Branch-free over 64 characters at a time: the characters to drop ('=' starting an escape, CR,
// LF, the first of two dots opening a line) and the escaped ones (64 more to subtract) become bit
// masks, and vpcompressb packs what stays. Needs no pending dot on entry; reads t[pos + 64] to see
// whether a dot opening a line in the last lane is followed by another, so stop must be below the
// piece's length. Stores 64 bytes at out + o with o <= pos + 1 and pos + 65 <= the piece's length.
//
// With `marker` set it also looks for "=yend" (which must lie wholly below `limit`), the same
// comparisons finding the pairs "=y": it stops before the vector holding the marker's "=" and
// stores the marker's offset in *marker.
//
// With `fold` set it also keeps the CRC-32 of the output: 64 bytes at a time are folded into a
// 512-bit register a few vectors behind the write position, so that the loads meet stores that have
// long left the store buffer and bytes already in the first-level cache.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,vpclmulqdq,bmi,bmi2,popcnt"))) void KernelAvx512(
    DecodeState& s, const char* t, std::size_t& pos, std::size_t stop, std::size_t limit, std::size_t* marker,
    std::uint8_t* out, std::size_t& o, CrcFold* fold) {
    const __m512i eqV = _mm512_set1_epi8('=');
    const __m512i crV = _mm512_set1_epi8('\r');
    const __m512i lfV = _mm512_set1_epi8('\n');
    const __m512i dotV = _mm512_set1_epi8('.');
    const __m512i bias = _mm512_set1_epi8(42);
    const __m512i escBias = _mm512_set1_epi8(64);
    const __m512i yV = _mm512_set1_epi8('y');
    BlockMasks masks{s.escape ? 1u : 0u, s.lineStart ? 1u : 0u};
    std::size_t p = pos;
    std::size_t q = o;
    // x^(512+32) and x^(512-32) modulo the CRC polynomial, bit-reflected and shifted left by one:
    // folding a 128-bit lane over 512 bits.
    const __m512i k512 = _mm512_set4_epi64(0x01c6e41596, 0x0154442bd4, 0x01c6e41596, 0x0154442bd4);
    __m512i acc = _mm512_setzero_si512();
    const std::uint8_t* next = nullptr;
    if (fold != nullptr) {
        acc = _mm512_load_si512(fold->acc);
        next = fold->next;
    }
    while (p + 64 <= stop) {
        if (fold != nullptr && static_cast<std::size_t>(out + q - next) >= CrcFold::kLag + 64) {
            const __m512i data = _mm512_loadu_si512(next);
            if (fold->started) {
                acc = _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(acc, k512, 0x00),
                                                _mm512_clmulepi64_epi128(acc, k512, 0x11), data, 0x96);
            } else {
                acc = _mm512_xor_si512(
                    data, _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(fold->raw))));
                fold->started = true;
            }
            next += 64;
        }
        _mm_prefetch(t + p + 4096, _MM_HINT_T0);
        const __m512i v = _mm512_loadu_si512(t + p);
        const std::uint64_t eq = _mm512_cmpeq_epi8_mask(v, eqV);
        const std::uint64_t brk = _mm512_cmpeq_epi8_mask(v, crV) | _mm512_cmpeq_epi8_mask(v, lfV);
        const std::uint64_t dot = _mm512_cmpeq_epi8_mask(v, dotV);
        if (marker != nullptr) {
            const std::uint64_t nextY = t[p + 64] == 'y' ? 1 : 0;
            const std::uint64_t pairs = eq & ((_mm512_cmpeq_epi8_mask(v, yV) >> 1) | (nextY << 63));
            if (FindMarkerInPairs(pairs, t, p, limit, marker)) break;
        }
        std::uint64_t escaped;
        const std::uint64_t keep = masks.Classify(eq, brk, dot, t[p + 64] == '.', escaped);
        __m512i d = _mm512_sub_epi8(v, bias);
        d = _mm512_mask_sub_epi8(d, escaped, d, escBias);
        _mm512_storeu_si512(out + q, _mm512_maskz_compress_epi8(keep, d));
        q += static_cast<std::size_t>(__builtin_popcountll(keep));
        p += 64;
    }
    s.escape = masks.escCarry != 0;
    s.lineStart = masks.lineCarry != 0;
    if (masks.bad != 0) s.failed = true;
    pos = p;
    o = q;
    if (fold != nullptr) {
        _mm512_store_si512(fold->acc, acc);
        fold->next = next;
    }
}

// Pairs "=y" found 64 positions at a time; the rare pair is then checked for "end".
__attribute__((target("avx512f,avx512bw,bmi"))) std::size_t FindEndAvx512(const char* t, std::size_t len) {
    const __m512i eqV = _mm512_set1_epi8('=');
    const __m512i yV = _mm512_set1_epi8('y');
    std::size_t p = 0;
    for (; p + 65 <= len; p += 64) {
        std::uint64_t m = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(t + p), eqV) &
                          _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(t + p + 1), yV);
        std::size_t at;
        if (FindMarkerInPairs(m, t, p, len, &at)) return at;
    }
    const std::size_t at = std::string_view(t, len).find("=yend", p);
    return at == std::string_view::npos ? len : at;
}

__attribute__((target("avx2,bmi"))) std::size_t FindEndAvx2(const char* t, std::size_t len) {
    const __m256i eqV = _mm256_set1_epi8('=');
    const __m256i yV = _mm256_set1_epi8('y');
    std::size_t p = 0;
    for (; p + 33 <= len; p += 32) {
        const __m256i a = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + p)), eqV);
        const __m256i b =
            _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + p + 1)), yV);
        const auto m = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(a, b)));
        std::size_t at;
        if (FindMarkerInPairs(m, t, p, len, &at)) return at;
    }
    const std::size_t at = std::string_view(t, len).find("=yend", p);
    return at == std::string_view::npos ? len : at;
}

// pshufb indices that gather the bytes whose bits are set in an 8-bit mask to the front; the other
// places get 0x80 (zero), which stays above 0x7F when 8 is added for the upper half of a lane.
constexpr std::array<std::uint64_t, 256> MakeCompactTable() {
    std::array<std::uint64_t, 256> table{};
    for (unsigned m = 0; m < 256; ++m) {
        std::uint64_t v = 0x8080808080808080ull;
        unsigned k = 0;
        for (unsigned b = 0; b < 8; ++b) {
            if ((m >> b) & 1) {
                v &= ~(0xFFull << (8 * k));
                v |= static_cast<std::uint64_t>(b) << (8 * k);
                ++k;
            }
        }
        table[m] = v;
    }
    return table;
}
alignas(64) constexpr std::array<std::uint64_t, 256> kCompactTable = MakeCompactTable();

// 0xFF in every byte whose bit is set in `m`.
__attribute__((target("avx2"), always_inline)) inline __m256i ExpandMask(std::uint32_t m) {
    const __m256i spread =
        _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(m)),
                            _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2,
                                             2, 2, 3, 3, 3, 3, 3, 3, 3, 3));
    const __m256i bits = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
    return _mm256_cmpeq_epi8(_mm256_and_si256(spread, bits), bits);
}

// The 64-bit mask of two 32-byte comparison results.
__attribute__((target("avx2"), always_inline)) inline std::uint64_t Mask64(__m256i a, __m256i b) {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(a))) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(b))) << 32;
}

// 16 decoded bytes packed by the 16-bit mask `keep` to out + q.
__attribute__((target("avx2,popcnt"), always_inline)) inline void Compact16(__m128i d, unsigned keep,
                                                                            std::uint8_t* out,
                                                                            std::size_t& q) {
    const unsigned lo = keep & 0xFF;
    const unsigned hi = keep >> 8;
    const __m128i idx = _mm_set_epi64x(static_cast<long long>(kCompactTable[hi] + 0x0808080808080808ull),
                                       static_cast<long long>(kCompactTable[lo]));
    const __m128i r = _mm_shuffle_epi8(d, idx);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + q), r);
    q += static_cast<std::size_t>(__builtin_popcount(lo));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + q), _mm_unpackhi_epi64(r, r));
    q += static_cast<std::size_t>(__builtin_popcount(hi));
}

// The AVX-512 kernel's masks, computed from two 32-byte halves, with the packing done by byte
// shuffles from a table (AVX2 has no compress). Same entry conditions, same store bounds (8-byte
// stores, each below out + q + 8), same marker search; no CRC folding.
__attribute__((target("avx2,bmi,bmi2,popcnt"))) void KernelAvx2Masks(DecodeState& s, const char* t,
                                                                     std::size_t& pos, std::size_t stop,
                                                                     std::size_t limit, std::size_t* marker,
                                                                     std::uint8_t* out, std::size_t& o) {
    const __m256i eqV = _mm256_set1_epi8('=');
    const __m256i crV = _mm256_set1_epi8('\r');
    const __m256i lfV = _mm256_set1_epi8('\n');
    const __m256i dotV = _mm256_set1_epi8('.');
    const __m256i yV = _mm256_set1_epi8('y');
    const __m256i bias = _mm256_set1_epi8(42);
    const __m256i escBias = _mm256_set1_epi8(64);
    BlockMasks masks{s.escape ? 1u : 0u, s.lineStart ? 1u : 0u};
    std::size_t p = pos;
    std::size_t q = o;
    while (p + 64 <= stop) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + p + 32));
        const std::uint64_t eq = Mask64(_mm256_cmpeq_epi8(a, eqV), _mm256_cmpeq_epi8(b, eqV));
        const std::uint64_t brk =
            Mask64(_mm256_or_si256(_mm256_cmpeq_epi8(a, crV), _mm256_cmpeq_epi8(a, lfV)),
                   _mm256_or_si256(_mm256_cmpeq_epi8(b, crV), _mm256_cmpeq_epi8(b, lfV)));
        const std::uint64_t dot = Mask64(_mm256_cmpeq_epi8(a, dotV), _mm256_cmpeq_epi8(b, dotV));
        if (marker != nullptr) {
            const std::uint64_t nextY = t[p + 64] == 'y' ? 1 : 0;
            const std::uint64_t pairs =
                eq & ((Mask64(_mm256_cmpeq_epi8(a, yV), _mm256_cmpeq_epi8(b, yV)) >> 1) | (nextY << 63));
            if (FindMarkerInPairs(pairs, t, p, limit, marker)) break;
        }
        std::uint64_t escaped;
        const std::uint64_t keep = masks.Classify(eq, brk, dot, t[p + 64] == '.', escaped);
        const __m256i da =
            _mm256_sub_epi8(_mm256_sub_epi8(a, bias),
                            _mm256_and_si256(ExpandMask(static_cast<std::uint32_t>(escaped)), escBias));
        const __m256i db =
            _mm256_sub_epi8(_mm256_sub_epi8(b, bias),
                            _mm256_and_si256(ExpandMask(static_cast<std::uint32_t>(escaped >> 32)), escBias));
        Compact16(_mm256_castsi256_si128(da), static_cast<unsigned>(keep & 0xFFFF), out, q);
        Compact16(_mm256_extracti128_si256(da, 1), static_cast<unsigned>((keep >> 16) & 0xFFFF), out, q);
        Compact16(_mm256_castsi256_si128(db), static_cast<unsigned>((keep >> 32) & 0xFFFF), out, q);
        Compact16(_mm256_extracti128_si256(db, 1), static_cast<unsigned>(keep >> 48), out, q);
        p += 64;
    }
    s.escape = masks.escCarry != 0;
    s.lineStart = masks.lineCarry != 0;
    if (masks.bad != 0) s.failed = true;
    pos = p;
    o = q;
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
bool HasAvx512Kernel() {
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("vpclmulqdq") &&
                            __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    return has;
}
#endif

inline bool IsMarkerAt(const char* t, std::size_t pos, std::size_t limit) {
    return t[pos] == '=' && pos + 5 <= limit && std::memcmp(t + pos, "=yend", 5) == 0;
}

// Decodes t[0, len) with the chosen kernel; the kernels leave the last characters (and any they
// cannot take) to Step. Bytes up to `limit` (>= len) may be read. With `marker` set, decoding stops
// at the first "=yend" that begins below len and ends within limit, and *marker receives its offset
// (it is left alone when there is none). Returns the number of bytes written.
std::size_t DecodePiece(YEncImpl impl, DecodeState& s, const char* t, std::size_t len, std::size_t limit,
                        std::size_t* marker, std::uint8_t* out, CrcFold* fold = nullptr) {
    std::size_t pos = 0;
    std::size_t o = 0;
    if (s.failed) {
        // Nothing more to decode, but the end of the text is still wanted.
        if (marker != nullptr) {
            const std::size_t found = FindYEncEnd(t, limit - len < 4 ? limit : len + 4);
            if (found < len) *marker = found;
        }
        return 0;
    }
    std::size_t end = len;
    if (marker != nullptr && impl != YEncImpl::kAvx512 && impl != YEncImpl::kAvx2) {
        // The SSE2 and scalar paths do not search as they go; a search over the piece does.
        const std::size_t window = limit - len < 4 ? limit : len + 4;
        const std::size_t found = FindYEncEnd(t, window);
        if (found < len) {
            end = found;
            *marker = found;
        }
        marker = nullptr;
    }
    std::size_t markerAt = end;
    std::size_t* kernelMarker = marker != nullptr ? &markerAt : nullptr;
    if (s.pendingDot && pos < end) {
        if (marker != nullptr && IsMarkerAt(t, pos, limit)) {
            *marker = pos;
            return o;
        }
        Step(s, t[pos++], out, o);
    }
#if QUIVERN_YENC_X86
    switch (impl) {
        case YEncImpl::kAvx512:
            if (end > 0) KernelAvx512(s, t, pos, end - 1, limit, kernelMarker, out, o, fold);
            break;
        case YEncImpl::kAvx2:
            if (end > 0) KernelAvx2Masks(s, t, pos, end - 1, limit, kernelMarker, out, o);
            break;
        case YEncImpl::kSse2:
            KernelSse2(s, t, pos, end, out, o);
            break;
        case YEncImpl::kScalar:
            break;
    }
#else
    (void)impl;
    (void)fold;
#endif
    if (marker != nullptr) {
        // The kernel has stopped before the vector holding a marker, or before the last characters.
        const std::size_t stopAt = markerAt < end ? markerAt : end;
        while (pos < stopAt) {
            if (IsMarkerAt(t, pos, limit)) {
                *marker = pos;
                return o;
            }
            Step(s, t[pos++], out, o);
        }
        if (markerAt < end) *marker = markerAt;
        return o;
    }
    while (pos < end)
        Step(s, t[pos++], out, o);
    return o;
}

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
        case YEncImpl::kAvx512:
            return HasAvx512Kernel();
#else
        case YEncImpl::kSse2:
        case YEncImpl::kAvx2:
        case YEncImpl::kAvx512:
            return false;
#endif
    }
    return false;
}

YEncImpl YEncActiveImpl() {
    if (YEncImplAvailable(YEncImpl::kAvx512)) return YEncImpl::kAvx512;
    if (YEncImplAvailable(YEncImpl::kAvx2)) return YEncImpl::kAvx2;
    if (YEncImplAvailable(YEncImpl::kSse2)) return YEncImpl::kSse2;
    return YEncImpl::kScalar;
}

std::size_t DecodeYEncWith(YEncImpl impl, const char* text, std::size_t length, std::uint8_t* output) {
    if (!YEncImplAvailable(impl)) impl = YEncImpl::kScalar;
    if (impl == YEncImpl::kScalar) return DecodeScalar(text, length, output);
    // Whole text in one piece: a dot can be held back only at its very end, and `output` has room
    // for `length` bytes, so the last character goes through Step separately to keep every vector
    // store within those bytes.
    if (length == 0) return 0;
    DecodeState s;
    std::size_t o = DecodePiece(impl, s, text, length - 1, length - 1, nullptr, output);
    if (s.failed) return 0;
    Step(s, text[length - 1], output, o);
    if (s.failed || s.escape) return 0;
    if (s.pendingDot) output[o++] = Plain('.');
    return o;
}

std::size_t FindYEncEnd(const char* text, std::size_t length) {
#if QUIVERN_YENC_X86
    static const YEncImpl active = YEncActiveImpl();
    if (active == YEncImpl::kAvx512) return FindEndAvx512(text, length);
    if (active == YEncImpl::kAvx2) return FindEndAvx2(text, length);
#endif
    const std::size_t at = std::string_view(text, length).find("=yend");
    return at == std::string_view::npos ? length : at;
}

std::size_t DecodeYEnc(const char* text, std::size_t length, std::uint8_t* output) {
    static const YEncImpl active = YEncActiveImpl();
    return DecodeYEncWith(active, text, length, output);
}

YEncDecoder::YEncDecoder(YEncImpl impl) : m_impl(YEncImplAvailable(impl) ? impl : YEncImpl::kScalar) {}

std::size_t YEncDecoder::Feed(const char* text, std::size_t length, std::uint8_t* output) {
    return Run(text, length, output, nullptr);
}

std::size_t YEncDecoder::FeedToEnd(const char* text, std::size_t length, std::uint8_t* output,
                                   std::size_t& consumed) {
    std::size_t marker = length;
    const std::size_t o = Run(text, length, output, &marker);
    consumed = marker;
    return o;
}

std::size_t YEncDecoder::Run(const char* text, std::size_t length, std::uint8_t* output,
                             std::size_t* marker) {
    // The AVX-512 kernel checksums its output as it writes it; the others leave it to a CRC over
    // each slice right after it, while the slice's output is still in the first-level cache.
    constexpr std::size_t kSlice = 16 * 1024;
    const bool folding = m_impl == YEncImpl::kAvx512;
    CrcFold fold;
    fold.next = output;
    fold.raw = ~m_crc;
    DecodeState s{m_escape, m_lineStart, m_pendingDot, m_failed};
    std::size_t o = 0;
    for (std::size_t at = 0; at < length;) {
        const std::size_t n = length - at < kSlice ? length - at : kSlice;
        std::size_t found = n;
        const std::size_t wrote =
            DecodePiece(m_impl, s, text + at, n, length - at, marker != nullptr ? &found : nullptr,
                        output + o, folding ? &fold : nullptr);
        if (!s.failed && !folding) m_crc = Crc32Update(m_crc, output + o, wrote);
        o += wrote;
        if (found < n) {
            *marker = at + found;
            break;
        }
        at += n;
        if (s.failed && marker == nullptr) break;
    }
    m_escape = s.escape;
    m_lineStart = s.lineStart;
    m_pendingDot = s.pendingDot;
    if (s.failed) {
        m_failed = true;
        return 0;
    }
    if (folding) {
        if (fold.started) m_crc = Crc32Update(0xFFFFFFFFu, fold.acc, sizeof fold.acc);
        m_crc = Crc32Update(m_crc, fold.next, static_cast<std::size_t>(output + o - fold.next));
    }
    m_size += o;
    return o;
}

std::size_t YEncDecoder::Finish(std::uint8_t* output) {
    if (m_failed) return 0;
    if (m_escape) {
        m_failed = true;
        return 0;
    }
    if (!m_pendingDot) return 0;
    m_pendingDot = false;
    output[0] = Plain('.');
    m_crc = Crc32Update(m_crc, output, 1);
    ++m_size;
    return 1;
}

}  // namespace quivern
