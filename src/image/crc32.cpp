#include "image/crc32.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define K730_CRC32_CLMUL 1
#endif

namespace k730 {
namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7;

constexpr uint32_t Reflect(uint32_t value, int bits) {
  uint32_t out = 0;
  for (int i = 0; i < bits; ++i) {
    out = (out << 1) | (value & 1);
    value >>= 1;
  }
  return out;
}

constexpr Crc32TableType BuildTable() {
  Crc32TableType table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t reg = Reflect(i, 8) << 24;
    for (int bit = 0; bit < 8; ++bit)
      reg = (reg & 0x80000000u) ? (reg << 1) ^ kPolynomial : reg << 1;
    table[i] = Reflect(reg, 32);
  }
  return table;
}

constexpr Crc32TableType kTable = BuildTable();

// Slicing-by-8: table k gives the effect of a byte followed by k zero bytes.
struct SliceTables {
  uint32_t t[8][256];
};

constexpr SliceTables BuildSlices() {
  SliceTables s{};
  for (int i = 0; i < 256; ++i) s.t[0][i] = kTable[i];
  for (int k = 1; k < 8; ++k)
    for (int i = 0; i < 256; ++i) s.t[k][i] = (s.t[k - 1][i] >> 8) ^ kTable[s.t[k - 1][i] & 0xFF];
  return s;
}

constexpr SliceTables kSlices = BuildSlices();

inline uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Works on the inverted register throughout.
uint32_t BytewiseRaw(uint32_t reg, const uint8_t* p, size_t n) {
  while (n--) reg = (reg >> 8) ^ kTable[(reg ^ *p++) & 0xFF];
  return reg;
}

uint32_t SlicingRaw(uint32_t reg, const uint8_t* p, size_t n) {
  const auto& t = kSlices.t;
  while (n >= 8) {
    const uint32_t a = Load32(p) ^ reg;
    const uint32_t b = Load32(p + 4);
    reg = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^
          t[3][b & 0xFF] ^ t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
    p += 8;
    n -= 8;
  }
  return BytewiseRaw(reg, p, n);
}

#ifdef K730_CRC32_CLMUL
// Folding with carry-less multiplication: four 128-bit lanes are folded 64
// bytes ahead at a time, then into one lane, reduced to 64 and, by Barrett
// reduction, to 32 bits. The constants are x^(d+32) and x^(d-32) modulo the
// polynomial for a fold distance of d bits, bit-reflected and shifted left by
// one. n is a multiple of 16, at least 64.
#define K730_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

K730_CLMUL_TARGET inline __m128i Load128(const uint8_t* q) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// acc times x^128 (k holds the two fold constants) plus next.
K730_CLMUL_TARGET inline __m128i Fold(__m128i acc, __m128i k, __m128i next) {
  const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

alignas(16) constexpr uint64_t kFold512[2] = {0x0154442bd4ull, 0x01c6e41596ull};
alignas(16) constexpr uint64_t kFold128[2] = {0x01751997d0ull, 0x00ccaa009eull};
alignas(16) constexpr uint64_t kFold64[2] = {0x0163cd6124ull, 0};
alignas(16) constexpr uint64_t kBarrett[2] = {0x01db710641ull, 0x01f7011641ull};
constexpr uint64_t kFold1024Lo = 0x01e88ef372ull;
constexpr uint64_t kFold1024Hi = 0x014a7fe880ull;

K730_CLMUL_TARGET inline __m128i Constants(const uint64_t (&pair)[2]) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(pair));
}

// Folds the remaining 16-byte blocks into x1 and reduces it to the register.
K730_CLMUL_TARGET uint32_t FoldTail(__m128i x1, const uint8_t* p, size_t n) {
  __m128i k = Constants(kFold128);
  while (n >= 16) {
    x1 = Fold(x1, k, Load128(p));
    p += 16;
    n -= 16;
  }

  // 128 to 64 bits.
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  __m128i x2 = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, mask32);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, k, 0x00), x2);

  // Barrett reduction to 32 bits.
  k = Constants(kBarrett);
  x2 = _mm_and_si128(x1, mask32);
  x2 = _mm_clmulepi64_si128(x2, k, 0x10);
  x2 = _mm_and_si128(x2, mask32);
  x2 = _mm_clmulepi64_si128(x2, k, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

K730_CLMUL_TARGET uint32_t ClmulRaw(uint32_t reg, const uint8_t* p, size_t n) {
  __m128i x1 = Load128(p);
  __m128i x2 = Load128(p + 16);
  __m128i x3 = Load128(p + 32);
  __m128i x4 = Load128(p + 48);
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i k = Constants(kFold512);
  p += 64;
  n -= 64;

  while (n >= 64) {
    x1 = Fold(x1, k, Load128(p));
    x2 = Fold(x2, k, Load128(p + 16));
    x3 = Fold(x3, k, Load128(p + 32));
    x4 = Fold(x4, k, Load128(p + 48));
    p += 64;
    n -= 64;
  }

  k = Constants(kFold128);
  x1 = Fold(x1, k, x2);
  x1 = Fold(x1, k, x3);
  x1 = Fold(x1, k, x4);
  return FoldTail(x1, p, n);
}

// The same folding on 256-bit registers, two 128-bit lanes each: eight lanes
// are folded 128 bytes ahead at a time. n is a multiple of 16, at least 256.
#define K730_VCLMUL_TARGET __attribute__((target("avx2,vpclmulqdq,pclmul,sse4.1")))

K730_VCLMUL_TARGET inline __m256i Load256(const uint8_t* q) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
}

K730_VCLMUL_TARGET inline __m256i Fold256(__m256i acc, __m256i k, __m256i next) {
  const __m256i lo = _mm256_clmulepi64_epi128(acc, k, 0x00);
  const __m256i hi = _mm256_clmulepi64_epi128(acc, k, 0x11);
  return _mm256_xor_si256(_mm256_xor_si256(hi, lo), next);
}

K730_VCLMUL_TARGET uint32_t VclmulRaw(uint32_t reg, const uint8_t* p, size_t n) {
  __m256i y[4] = {Load256(p), Load256(p + 32), Load256(p + 64), Load256(p + 96)};
  y[0] = _mm256_xor_si256(y[0], _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(reg))));
  const __m256i k =
      _mm256_set_epi64x(static_cast<long long>(kFold1024Hi), static_cast<long long>(kFold1024Lo),
                        static_cast<long long>(kFold1024Hi), static_cast<long long>(kFold1024Lo));
  p += 128;
  n -= 128;
  while (n >= 128) {
    y[0] = Fold256(y[0], k, Load256(p));
    y[1] = Fold256(y[1], k, Load256(p + 32));
    y[2] = Fold256(y[2], k, Load256(p + 64));
    y[3] = Fold256(y[3], k, Load256(p + 96));
    p += 128;
    n -= 128;
  }
  // The eight lanes in stream order, folded into one.
  const __m128i k128 = Constants(kFold128);
  __m128i x = _mm256_castsi256_si128(y[0]);
  x = Fold(x, k128, _mm256_extracti128_si256(y[0], 1));
  for (int i = 1; i < 4; ++i) {
    x = Fold(x, k128, _mm256_castsi256_si128(y[i]));
    x = Fold(x, k128, _mm256_extracti128_si256(y[i], 1));
  }
  return FoldTail(x, p, n);
}

bool DetectClmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

bool DetectVclmul() {
  __builtin_cpu_init();
  return DetectClmul() && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("vpclmulqdq");
}

const bool kHaveClmul = DetectClmul();
const bool kHaveVclmul = DetectVclmul();
#endif

// Polynomial arithmetic modulo the CRC polynomial, in the reflected bit order
// of the register: bit 31 is x^0.
constexpr uint32_t kReflectedPolynomial = 0xEDB88320;

constexpr uint32_t MultiplyModP(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t bit = 0x80000000u; bit != 0; bit >>= 1) {
    if (a & bit) product ^= b;
    b = (b & 1) ? (b >> 1) ^ kReflectedPolynomial : b >> 1;
  }
  return product;
}

// x^(2^k) modulo the polynomial, k = 0..63.
struct PowerTable {
  uint32_t x2k[64];
};

constexpr PowerTable BuildPowers() {
  PowerTable t{};
  t.x2k[0] = 0x40000000u;  // x^1
  for (int k = 1; k < 64; ++k) t.x2k[k] = MultiplyModP(t.x2k[k - 1], t.x2k[k - 1]);
  return t;
}

constexpr PowerTable kPowers = BuildPowers();

}  // namespace

const Crc32TableType& Crc32Table() {
  return kTable;
}

uint32_t Crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t lengthB) {
  // Appending lengthB bytes multiplies A's remainder by x^(8 * lengthB).
  uint32_t power = 0x80000000u;  // x^0
  uint64_t bits = lengthB;
  for (int k = 3; bits != 0 && k < 64; ++k, bits >>= 1) {
    if (bits & 1) power = MultiplyModP(kPowers.x2k[k], power);
  }
  return MultiplyModP(power, crcA) ^ crcB;
}

uint32_t Crc32UpdateBytewise(uint32_t crc, const uint8_t* data, size_t length) {
  if (length == 0) return crc;
  return ~BytewiseRaw(~crc, data, length);
}

uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t length) {
  if (length == 0) return crc;
  uint32_t reg = ~crc;
#ifdef K730_CRC32_CLMUL
  if (kHaveClmul && length >= 64) {
    const size_t bulk = length & ~static_cast<size_t>(15);
    reg = kHaveVclmul && bulk >= 256 ? VclmulRaw(reg, data, bulk) : ClmulRaw(reg, data, bulk);
    data += bulk;
    length -= bulk;
  }
#endif
  return ~SlicingRaw(reg, data, length);
}

const char* Crc32Method() {
#ifdef K730_CRC32_CLMUL
  if (kHaveVclmul) return "256-bit carry-less multiplication";
  if (kHaveClmul) return "carry-less multiplication";
#endif
  return "slicing-by-8";
}

}  // namespace k730
