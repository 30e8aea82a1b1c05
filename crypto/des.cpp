#include "crypto/des.h"

#include <cstring>

#include "crypto/secure_wipe.h"

namespace qel::crypto {
namespace {

// ---------------------------------------------------------------------------------------------
// The DES tables as the standard prints them: bit 1 is the most significant bit of a block or
// key. Everything the rounds use at run time is computed from them at compile time, and the
// shortcuts taken below are checked against them by static_asserts.

constexpr std::uint8_t kInitialPermutation[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7};

constexpr std::uint8_t kFinalPermutation[64] = {
    40, 8,  48, 16, 56, 24, 64, 32, 39, 7,  47, 15, 55, 23, 63, 31, 38, 6,  46, 14, 54, 22,
    62, 30, 37, 5,  45, 13, 53, 21, 61, 29, 36, 4,  44, 12, 52, 20, 60, 28, 35, 3,  43, 11,
    51, 19, 59, 27, 34, 2,  42, 10, 50, 18, 58, 26, 33, 1,  41, 9,  49, 17, 57, 25};

constexpr std::uint8_t kExpansion[48] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11, 12, 13, 12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

constexpr std::uint8_t kPermutation[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23,
                                           26, 5, 18, 31, 10, 2,  8,  24, 14, 32, 27,
                                           3,  9, 19, 13, 30, 6,  22, 11, 4,  25};

constexpr std::uint8_t kSBoxes[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}};

constexpr std::uint8_t kPermutedChoice1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
    35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
    46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr std::uint8_t kPermutedChoice2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr std::uint8_t kLeftShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// Output bit i (1-based, most significant first) of the n_out-bit result is bit table[i - 1]
// of the n_in-bit input.
template <std::size_t N>
constexpr std::uint64_t permute(std::uint64_t input, const std::uint8_t (&table)[N], int n_in) {
    std::uint64_t output = 0;
    for (std::size_t i = 0; i < N; ++i)
        output = output << 1 | ((input >> (n_in - table[i])) & 1);
    return output;
}

constexpr std::uint32_t rotl32(std::uint32_t x, int n) {
    return x << n | x >> (32 - n);
}
constexpr std::uint32_t rotr32(std::uint32_t x, int n) {
    return x >> n | x << (32 - n);
}

// ---------------------------------------------------------------------------------------------
// Initial and final permutation as five exchanges of bit groups between the two halves; each
// exchange is its own inverse, so the final permutation runs them backwards.

constexpr void swap_bits(std::uint32_t& a, std::uint32_t& b, int shift, std::uint32_t mask) {
    const std::uint32_t t = ((a >> shift) ^ b) & mask;
    b ^= t;
    a ^= t << shift;
}

constexpr void initial_permutation(std::uint32_t& l, std::uint32_t& r) {
    swap_bits(l, r, 4, 0x0F0F0F0F);
    swap_bits(l, r, 16, 0x0000FFFF);
    swap_bits(r, l, 2, 0x33333333);
    swap_bits(r, l, 8, 0x00FF00FF);
    swap_bits(l, r, 1, 0x55555555);
}

constexpr void final_permutation(std::uint32_t& l, std::uint32_t& r) {
    swap_bits(l, r, 1, 0x55555555);
    swap_bits(r, l, 8, 0x00FF00FF);
    swap_bits(r, l, 2, 0x33333333);
    swap_bits(l, r, 16, 0x0000FFFF);
    swap_bits(l, r, 4, 0x0F0F0F0F);
}

constexpr bool permutation_matches(bool final) {
    // The exchanges are linear, so agreeing on every single bit means agreeing everywhere.
    for (int bit = 0; bit < 64; ++bit) {
        const std::uint64_t x = std::uint64_t{1} << bit;
        std::uint32_t l = std::uint32_t(x >> 32), r = std::uint32_t(x);
        final ? final_permutation(l, r) : initial_permutation(l, r);
        const std::uint64_t expected =
            permute(x, final ? kFinalPermutation : kInitialPermutation, 64);
        if ((std::uint64_t{l} << 32 | r) != expected)
            return false;
    }
    return true;
}
static_assert(permutation_matches(false), "initial permutation");
static_assert(permutation_matches(true), "final permutation");

// ---------------------------------------------------------------------------------------------
// Rounds. The halves are kept rotated right by 3 bits between the permutations: then the
// expansion's eight 6-bit groups of a half h sit in the low six bits of the bytes of h (groups
// 1, 3, 5, 7) and of rotl(h, 4) (groups 2, 4, 6, 8), so E needs no table at all. Each round
// key is packed the same way into two words, and each S-box is merged with P (and the same
// rotation) into one table, indexed by a whole byte whose top two bits it ignores: a byte of a
// word is an index as it stands, without a mask.

constexpr int kDomainRotation = 3;

// Byte i (0 is the most significant) of a word.
constexpr std::uint32_t byte_of(std::uint32_t word, int i) {
    return word >> (24 - 8 * i) & 0xFF;
}

// Byte i of rotl(c, 4), read from c: groups 2, 4, 6 need one shift and no rotation. With
// c = h ^ rotr(k, 4) this is byte i of rotl(h, 4) ^ k, without rotating h first.
constexpr std::uint32_t rotated_byte_of(std::uint32_t c, int i) {
    return i < 3 ? c >> (20 - 8 * i) & 0xFF : rotl32(c, 4) & 0xFF;
}

constexpr bool expansion_matches() {
    for (int bit = 0; bit < 32; ++bit) {
        const std::uint32_t half = std::uint32_t{1} << bit;
        const std::uint32_t h = rotr32(half, kDomainRotation);
        const std::uint64_t e = permute(half, kExpansion, 32);
        for (int g = 1; g <= 8; ++g) {
            const std::uint32_t expected = (e >> (48 - 6 * g)) & 63;
            const int i = (g - 1) / 2;
            const std::uint32_t group = g % 2 == 1 ? byte_of(h, i) : byte_of(rotl32(h, 4), i);
            if ((group & 63) != expected)
                return false;
            if (g % 2 == 0 && (rotated_byte_of(h, i) & 63) != expected)
                return false;
        }
    }
    return true;
}
static_assert(expansion_matches(), "expansion by rotation");

using SpTable = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr SpTable make_sp_table() {
    SpTable sp{};
    for (int box = 0; box < 8; ++box) {
        for (int index = 0; index < 256; ++index) {
            const int v = index & 63;
            const int row = (v >> 4 & 2) | (v & 1);
            const int column = v >> 1 & 15;
            const std::uint32_t s = std::uint32_t{kSBoxes[box][row][column]} << (28 - 4 * box);
            const auto p = static_cast<std::uint32_t>(permute(s, kPermutation, 32));
            sp[box][index] = rotr32(p, kDomainRotation);
        }
    }
    return sp;
}

alignas(64) constexpr SpTable kSp = make_sp_table();

// P spreads each S-box's four bits over positions no other S-box uses, so the eight table words
// of a round never share a bit, and + and | combine them as xor does. The round function mixes
// the three on purpose: a compiler lines up a run of one associative operator into a chain, one
// step after the other, while mixed operators stay the tree they are written as, three levels
// deep instead of seven on the path every round waits for.
constexpr bool sbox_outputs_disjoint() {
    std::uint32_t seen = 0;
    for (const auto& box : kSp) {
        std::uint32_t bits = 0;
        for (std::uint32_t word : box)
            bits |= word;
        if ((bits & seen) != 0)
            return false;
        seen |= bits;
    }
    return seen == 0xFFFFFFFF;
}
static_assert(sbox_outputs_disjoint(), "S-box outputs share no bit after P");

// Packs a 48-bit round key: groups 1, 3, 5, 7 into the first word, 2, 4, 6, 8 into the second,
// each in the low six bits of a byte, most significant byte first; the second word is then
// rotated right by 4 bits, where rotated_byte_of finds its groups, so that the rounds xor it
// into a half as it stands.
constexpr std::uint64_t pack_round_key(std::uint64_t k48) {
    std::uint32_t odd = 0, even = 0;
    for (int g = 1; g <= 8; ++g) {
        const auto group = static_cast<std::uint32_t>(k48 >> (48 - 6 * g) & 63);
        const int shift = 24 - 8 * ((g - 1) / 2);
        (g % 2 == 1 ? odd : even) |= group << shift;
    }
    return std::uint64_t{odd} << 32 | rotr32(even, 4);
}

constexpr bool round_key_packing_matches() {
    for (int bit = 0; bit < 48; ++bit) {
        const std::uint64_t k48 = std::uint64_t{1} << bit;
        const std::uint64_t packed = pack_round_key(k48);
        const auto odd = static_cast<std::uint32_t>(packed >> 32);
        const auto even = static_cast<std::uint32_t>(packed);
        for (int g = 1; g <= 8; ++g) {
            const int i = (g - 1) / 2;
            const std::uint32_t group = g % 2 == 1 ? byte_of(odd, i) : rotated_byte_of(even, i);
            if ((group & 63) != (k48 >> (48 - 6 * g) & 63))
                return false;
        }
    }
    return true;
}
static_assert(round_key_packing_matches(), "round key packing");

// The round function of a half h under the round key k, from a = h ^ k[0] and c = h ^ k[1].
inline std::uint32_t sbox_layer(std::uint32_t a, std::uint32_t c) {
    const std::uint32_t odd = (kSp[0][byte_of(a, 0)] + kSp[2][byte_of(a, 1)]) |
                              (kSp[4][byte_of(a, 2)] + kSp[6][byte_of(a, 3)]);
    const std::uint32_t even = (kSp[1][rotated_byte_of(c, 0)] + kSp[3][rotated_byte_of(c, 1)]) |
                               (kSp[5][rotated_byte_of(c, 2)] + kSp[7][rotated_byte_of(c, 3)]);
    return odd ^ even;
}

inline std::uint32_t feistel(std::uint32_t half, const std::uint32_t* round_key) {
    return sbox_layer(half ^ round_key[0], half ^ round_key[1]);
}

inline std::uint32_t load_be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

// A block between the permutations: both halves after IP, in the rotated domain. IP and FP are
// bit permutations, so the xor of two blocks is the xor of their halves.
struct Halves {
    std::uint32_t l, r;

    friend Halves operator^(Halves a, Halves b) { return {a.l ^ b.l, a.r ^ b.r}; }
};

inline Halves to_halves(const std::uint8_t* block) {
    std::uint32_t l = load_be32(block);
    std::uint32_t r = load_be32(block + 4);
    initial_permutation(l, r);
    return {rotr32(l, kDomainRotation), rotr32(r, kDomainRotation)};
}

inline void from_halves(Halves h, std::uint8_t* block) {
    std::uint32_t l = rotl32(h.l, kDomainRotation);
    std::uint32_t r = rotl32(h.r, kDomainRotation);
    final_permutation(l, r);
    store_be32(block, l);
    store_be32(block + 4, r);
}

// Round key words of round i (0..15) in the order of the direction.
template <bool Decrypt>
constexpr const std::uint32_t* round_key(const std::uint32_t* k, int i) {
    return k + 2 * (Decrypt ? 15 - i : i);
}

// The 16 rounds of one block, returning (R16, L16): the halves of the output block, so that
// from_halves(one_block(to_halves(x))) is the cipher of x. Each round's table look-ups wait for
// the round before; to keep the key out of that wait, the next round's key goes into the other
// half while this round's look-ups are under way (the round's result is xored into both).
template <bool Decrypt>
inline Halves one_block(Halves h, const std::uint32_t* k) {
    std::uint32_t l = h.l, r = h.r;
    const std::uint32_t* key = round_key<Decrypt>(k, 0);
    std::uint32_t a = r ^ key[0], c = r ^ key[1];
#pragma GCC unroll 8
    for (int round = 0; round < 16; round += 2) {
        std::uint32_t f = sbox_layer(a, c);
        key = round_key<Decrypt>(k, round + 1);
        a = (l ^ key[0]) ^ f;
        c = (l ^ key[1]) ^ f;
        l ^= f;
        f = sbox_layer(a, c);
        if (round + 2 < 16) {
            key = round_key<Decrypt>(k, round + 2);
            a = (r ^ key[0]) ^ f;
            c = (r ^ key[1]) ^ f;
        }
        r ^= f;
    }
    return {r, l};
}

// N independent blocks round by round side by side: while one block waits for its look-ups, the
// others' are under way.
template <bool Decrypt, int N>
inline void interleaved_blocks(const std::uint8_t* in, std::uint8_t* out, const std::uint32_t* k) {
    Halves h[N];
#pragma GCC unroll 8
    for (int i = 0; i < N; ++i)
        h[i] = to_halves(in + 8 * i);
#pragma GCC unroll 8
    for (int round = 0; round < 16; round += 2) {
        const std::uint32_t* key = round_key<Decrypt>(k, round);
#pragma GCC unroll 8
        for (int i = 0; i < N; ++i)
            h[i].l ^= feistel(h[i].r, key);
        key = round_key<Decrypt>(k, round + 1);
#pragma GCC unroll 8
        for (int i = 0; i < N; ++i)
            h[i].r ^= feistel(h[i].l, key);
    }
#pragma GCC unroll 8
    for (int i = 0; i < N; ++i)
        from_halves({h[i].r, h[i].l}, out + 8 * i);
}

// How many blocks the bulk path takes side by side (measured with bench_des on x86-64: four
// keep the load ports and ALUs busy without spilling the halves out of the registers).
constexpr int kWays = 4;

template <bool Decrypt>
void many_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                 const DesSubkeys& subkeys) {
    const std::uint32_t* k = subkeys.data();
    for (; count >= kWays; count -= kWays, in += 8 * kWays, out += 8 * kWays)
        interleaved_blocks<Decrypt, kWays>(in, out, k);
    if (count >= 2) {
        interleaved_blocks<Decrypt, 2>(in, out, k);
        count -= 2;
        in += 16;
        out += 16;
    }
    if (count != 0)
        from_halves(one_block<Decrypt>(to_halves(in), k), out);
}

// The serial chains keep their chaining value between IP and FP (see chain_in_form).
struct DesForm {
    const std::uint32_t* k;

    Halves enter(const std::uint8_t* block) const { return to_halves(block); }
    void leave(Halves h, std::uint8_t* block) const { from_halves(h, block); }
    Halves encipher(Halves h) const { return one_block<false>(h, k); }
};

// ---------------------------------------------------------------------------------------------
// Key schedule. PC-1 by one table per key byte (seven bits; the parity bit is not looked at),
// giving C and D as 28-bit numbers side by side; PC-2 by one table per 7-bit quarter of C and
// of D, giving the packed round key directly. Each half of PC-2 draws from one of C and D only,
// which is what lets the quarters be looked up independently.

using Pc1Table = std::array<std::array<std::uint64_t, 128>, 8>;
using Pc2Table = std::array<std::array<std::uint64_t, 128>, 8>;  // C quarters 0..3, D 4..7

constexpr Pc1Table make_pc1_table() {
    Pc1Table t{};
    for (int byte = 0; byte < 8; ++byte) {
        for (int v = 0; v < 128; ++v) {
            const std::uint64_t key = std::uint64_t(v << 1) << (56 - 8 * byte);
            t[byte][v] = permute(key, kPermutedChoice1, 64);
        }
    }
    return t;
}

constexpr Pc2Table make_pc2_table() {
    Pc2Table t{};
    for (int quarter = 0; quarter < 8; ++quarter) {
        for (int v = 0; v < 128; ++v) {
            // quarter q holds bits 7q+1 .. 7q+7 of the 56-bit C||D
            const std::uint64_t cd = std::uint64_t(v) << (49 - 7 * quarter);
            t[quarter][v] = pack_round_key(permute(cd, kPermutedChoice2, 56));
        }
    }
    return t;
}

constexpr bool pc2_halves_separate() {
    for (int i = 0; i < 24; ++i) {
        if (kPermutedChoice2[i] > 28 || kPermutedChoice2[i + 24] <= 28)
            return false;
    }
    return true;
}
static_assert(pc2_halves_separate(), "PC-2 halves");

alignas(64) constexpr Pc1Table kPc1 = make_pc1_table();
alignas(64) constexpr Pc2Table kPc2 = make_pc2_table();

}  // namespace

void TKC_customdes::des_key_schedule(const std::uint8_t* key, DesSubkeys& subkeys) noexcept {
    std::uint64_t cd = 0;
    for (int i = 0; i < 8; ++i)
        cd |= kPc1[i][key[i] >> 1];
    // C and D each twice in a row: every left rotation of a 28-bit half is then a window of its
    // doubled form, cut out by one shift, so the rounds do not wait for each other's rotations.
    const std::uint64_t c = cd >> 28, d = cd & 0x0FFFFFFF;
    const std::uint64_t cc = c | c << 28, dd = d | d << 28;
    int rotation = 0;
#pragma GCC unroll 16
    for (int round = 0; round < 16; ++round) {
        rotation += kLeftShifts[round];
        const int w = 28 - rotation;  // the rotated half is bits w .. w + 27 of its doubled form
        const std::uint64_t k = kPc2[0][cc >> (w + 21) & 127] | kPc2[1][cc >> (w + 14) & 127] |
                                kPc2[2][cc >> (w + 7) & 127] | kPc2[3][cc >> w & 127] |
                                kPc2[4][dd >> (w + 21) & 127] | kPc2[5][dd >> (w + 14) & 127] |
                                kPc2[6][dd >> (w + 7) & 127] | kPc2[7][dd >> w & 127];
        subkeys[2 * round] = static_cast<std::uint32_t>(k >> 32);
        subkeys[2 * round + 1] = static_cast<std::uint32_t>(k);
    }
}

void TKC_customdes::des_encrypt_block(const void* in, void* out,
                                      const DesSubkeys& subkeys) noexcept {
    const Halves h =
        one_block<false>(to_halves(static_cast<const std::uint8_t*>(in)), subkeys.data());
    from_halves(h, static_cast<std::uint8_t*>(out));
}

void TKC_customdes::des_decrypt_block(const void* in, void* out,
                                      const DesSubkeys& subkeys) noexcept {
    const Halves h =
        one_block<true>(to_halves(static_cast<const std::uint8_t*>(in)), subkeys.data());
    from_halves(h, static_cast<std::uint8_t*>(out));
}

// --- TKC_des ---

void TKC_des::key_setup(const void* key, std::uint32_t size) {
    std::uint8_t buffer[8] = {};
    const std::uint32_t bytes = size / 8 < 8 ? size / 8 : 8;
    if (bytes != 0)
        std::memcpy(buffer, key, bytes);
    des_key_schedule(buffer, m_subkeys);
    secure_wipe(buffer, sizeof buffer);
}

void TKC_des::encrypt_blocks(const void* in, void* out, std::size_t count) const {
    check_initialized();
    many_blocks<false>(static_cast<const std::uint8_t*>(in), static_cast<std::uint8_t*>(out), count,
                       m_subkeys);
}

void TKC_des::decrypt_blocks(const void* in, void* out, std::size_t count) const {
    check_initialized();
    many_blocks<true>(static_cast<const std::uint8_t*>(in), static_cast<std::uint8_t*>(out), count,
                      m_subkeys);
}

void TKC_des::chain_blocks(Chain chain, const std::uint8_t* in, std::uint8_t* out,
                           std::size_t count, Block& cv) const {
    chain_in_form(DesForm{m_subkeys.data()}, chain, in, out, count, cv);
}

void TKC_des::wipe() {
    secure_wipe(m_subkeys.data(), sizeof m_subkeys);
    TKC_customdes::wipe();
}

bool TKC_des::self_test() const {
    // Two triples of the published DES validation data (variable plaintext; S-box test).
    struct KnownAnswer {
        std::uint8_t key[8], plain[8], cipher[8];
    };
    static constexpr KnownAnswer kAnswers[] = {{{0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01},
                                                {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                                                {0x95, 0xF8, 0xA5, 0xE5, 0xDD, 0x31, 0xD9, 0x00}},
                                               {{0x7C, 0xA1, 0x10, 0x45, 0x4A, 0x1A, 0x6E, 0x57},
                                                {0x01, 0xA1, 0xD6, 0xD0, 0x39, 0x77, 0x67, 0x42},
                                                {0x69, 0x0F, 0x5B, 0x0D, 0x9A, 0x26, 0x93, 0x9B}}};
    TKC_des des;
    for (const auto& answer : kAnswers) {
        std::uint8_t block[8];
        des.init(answer.key, 64, nullptr);
        des.encrypt_block(answer.plain, block);
        if (std::memcmp(block, answer.cipher, 8) != 0)
            return false;
        des.decrypt_block(block, block);
        if (std::memcmp(block, answer.plain, 8) != 0)
            return false;
        des.wipe();
    }
    return true;
}

}  // namespace qel::crypto
