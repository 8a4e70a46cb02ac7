// Byte-order independent integer fields and bounded text copies.
//
// Every record that leaves the process (database file, notifications, bus and
// message-service payloads) is little-endian with alignment 1, whatever the
// host. The field types below store their bytes explicitly so a struct built
// from them has exactly the layout its offsets say, on any compiler or CPU.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint32_t load_le32(const void *p)
{
    const auto *b = static_cast<const uint8_t *>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

inline void store_le32(void *p, uint32_t v)
{
    auto *b = static_cast<uint8_t *>(p);
    b[0] = uint8_t(v);
    b[1] = uint8_t(v >> 8);
    b[2] = uint8_t(v >> 16);
    b[3] = uint8_t(v >> 24);
}

inline uint64_t load_le64(const void *p)
{
    const auto *b = static_cast<const uint8_t *>(p);
    return uint64_t(load_le32(b)) | uint64_t(load_le32(b + 4)) << 32;
}

inline void store_le64(void *p, uint64_t v)
{
    auto *b = static_cast<uint8_t *>(p);
    store_le32(b, uint32_t(v));
    store_le32(b + 4, uint32_t(v >> 32));
}

// Unsigned 32-bit little-endian field, alignment 1.
struct le_u32 {
    uint8_t b[4];
    uint32_t get() const { return load_le32(b); }
    void set(uint32_t v) { store_le32(b, v); }
};

// Signed 32-bit little-endian field (two's complement), alignment 1.
struct le_i32 {
    uint8_t b[4];
    int32_t get() const { return int32_t(load_le32(b)); }
    void set(int32_t v) { store_le32(b, uint32_t(v)); }
};

// Unsigned 64-bit little-endian field, alignment 1.
struct le_u64 {
    uint8_t b[8];
    uint64_t get() const { return load_le64(b); }
    void set(uint64_t v) { store_le64(b, v); }
};

static_assert(sizeof(le_u32) == 4 && alignof(le_u32) == 1);
static_assert(sizeof(le_u64) == 8 && alignof(le_u64) == 1);
static_assert(sizeof(le_i32) == 4 && alignof(le_i32) == 1);

// Copies at most dst_size - 1 characters of src into dst and always
// terminates dst. A null src copies the empty text. Returns the length copied.
size_t str_copy(char *dst, size_t dst_size, const char *src);

// Like str_copy, but reads at most src_max bytes of src: for text fields of
// received payloads that may lack their terminator.
size_t str_copy_n(char *dst, size_t dst_size, const char *src, size_t src_max);

// Copies a fixed text field into another fixed text field.
template <size_t N, size_t M> inline size_t field_copy(char (&dst)[N], const char (&src)[M])
{
    return str_copy_n(dst, N, src, M);
}

// Copies a text into a fixed field.
template <size_t N> inline size_t field_set(char (&dst)[N], const char *src)
{
    return str_copy(dst, N, src);
}

// Terminates a received text field in its last byte.
template <size_t N> inline void field_terminate(char (&field)[N])
{
    field[N - 1] = '\0';
}

// Length of a fixed field's text, never past the field.
size_t field_len(const char *field, size_t field_size);

// True when a text (or a null pointer) is empty.
inline bool text_empty(const char *s)
{
    return s == nullptr || s[0] == '\0';
}

// Case-insensitive equality of two texts; a null text equals the empty text.
bool text_equal_nocase(const char *a, const char *b);

// Case-insensitive equality of two fixed fields, never reading past either.
bool field_equal_nocase(const char *a, size_t a_size, const char *b, size_t b_size);
template <size_t N, size_t M> inline bool field_eq_nocase(const char (&a)[N], const char (&b)[M])
{
    return field_equal_nocase(a, N, b, M);
}
