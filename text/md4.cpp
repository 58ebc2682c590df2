// The message digest: MD4 (RFC 1320) written out as hexadecimal text, the
// key a held or released message is found again by.
#include "text/md4.h"

#include <string.h>

#include <cstdio>
#include <cstring>

namespace {

struct Md4Context {
  uint32_t state[4];
  uint32_t count[2];  // bits, low word first
  uint8_t buffer[64];
};

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
  return (x & y) | (~x & z);
}
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
  return (x & y) | (x & z) | (y & z);
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

void Transform(uint32_t state[4], const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = Load32(block + 4 * i);
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

#define R1(a, b, c, d, k, s) a = Rotl(a + F(b, c, d) + x[k], s)
#define R2(a, b, c, d, k, s) a = Rotl(a + G(b, c, d) + x[k] + 0x5A827999u, s)
#define R3(a, b, c, d, k, s) a = Rotl(a + H(b, c, d) + x[k] + 0x6ED9EBA1u, s)
  for (int i = 0; i < 16; i += 4) {
    R1(a, b, c, d, i, 3);
    R1(d, a, b, c, i + 1, 7);
    R1(c, d, a, b, i + 2, 11);
    R1(b, c, d, a, i + 3, 19);
  }
  for (int i = 0; i < 4; ++i) {
    R2(a, b, c, d, i, 3);
    R2(d, a, b, c, i + 4, 5);
    R2(c, d, a, b, i + 8, 9);
    R2(b, c, d, a, i + 12, 13);
  }
  static constexpr int kOrder[4] = {0, 2, 1, 3};
  for (int k : kOrder) {
    R3(a, b, c, d, k, 3);
    R3(d, a, b, c, k + 8, 9);
    R3(c, d, a, b, k + 4, 11);
    R3(b, c, d, a, k + 12, 15);
  }
#undef R1
#undef R2
#undef R3
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void Init(Md4Context* ctx) {
  ctx->state[0] = 0x67452301u;
  ctx->state[1] = 0xEFCDAB89u;
  ctx->state[2] = 0x98BADCFEu;
  ctx->state[3] = 0x10325476u;
  ctx->count[0] = ctx->count[1] = 0;
}

void Update(Md4Context* ctx, const uint8_t* input, size_t length) {
  size_t index = (ctx->count[0] >> 3) & 0x3F;
  uint64_t bits = (static_cast<uint64_t>(ctx->count[1]) << 32 | ctx->count[0]) +
                  (static_cast<uint64_t>(length) << 3);
  ctx->count[0] = static_cast<uint32_t>(bits);
  ctx->count[1] = static_cast<uint32_t>(bits >> 32);
  size_t i = 0;
  if (index != 0) {
    size_t part = 64 - index;
    if (length < part) {
      std::memcpy(ctx->buffer + index, input, length);
      return;
    }
    std::memcpy(ctx->buffer + index, input, part);
    Transform(ctx->state, ctx->buffer);
    i = part;
  }
  // Whole blocks straight from the input.
  for (; i + 64 <= length; i += 64) Transform(ctx->state, input + i);
  if (length > i) std::memcpy(ctx->buffer, input + i, length - i);
}

void Final(Md4Context* ctx, uint8_t digest[16]) {
  size_t index = (ctx->count[0] >> 3) & 0x3F;
  uint8_t* block = ctx->buffer;
  block[index++] = 0x80;
  if (index > 56) {
    std::memset(block + index, 0, 64 - index);
    Transform(ctx->state, block);
    index = 0;
  }
  std::memset(block + index, 0, 56 - index);
  for (int i = 0; i < 4; ++i) {
    block[56 + i] = static_cast<uint8_t>(ctx->count[0] >> (8 * i));
    block[60 + i] = static_cast<uint8_t>(ctx->count[1] >> (8 * i));
  }
  Transform(ctx->state, block);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<uint8_t>(ctx->state[i] >> (8 * j));
    }
  }
}

// Clearing that the compiler may not drop as a dead store.
void Clear(void* p, size_t size) { explicit_bzero(p, size); }

}  // namespace

void HashBytes(const void* data, size_t size, uint8_t digest[16]) {
  Md4Context ctx;
  Init(&ctx);
  Update(&ctx, static_cast<const uint8_t*>(data), size);
  Final(&ctx, digest);
  Clear(&ctx, sizeof ctx);
}

void HashText(const char* text, char* out) {
  uint8_t digest[16];
  HashBytes(text, text != nullptr ? std::strlen(text) : 0, digest);
  static const char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0xF];
  }
  out[32] = '\0';
  Clear(digest, sizeof digest);
}

std::string HashTextOf(const std::string& text) {
  char out[kDigestTextSize];
  HashText(text.c_str(), out);
  return out;
}
