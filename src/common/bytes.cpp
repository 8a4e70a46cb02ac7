#include "common/bytes.h"

#include <cstring>
#include <strings.h>

size_t str_copy(char *dst, size_t dst_size, const char *src)
{
    if (dst == nullptr || dst_size == 0)
        return 0;
    size_t n = 0;
    if (src != nullptr) {
        n = strnlen(src, dst_size - 1);
        memcpy(dst, src, n);
    }
    dst[n] = '\0';
    return n;
}

size_t str_copy_n(char *dst, size_t dst_size, const char *src, size_t src_max)
{
    if (dst == nullptr || dst_size == 0)
        return 0;
    size_t n = 0;
    if (src != nullptr) {
        size_t limit = dst_size - 1 < src_max ? dst_size - 1 : src_max;
        n = strnlen(src, limit);
        memcpy(dst, src, n);
    }
    dst[n] = '\0';
    return n;
}

size_t field_len(const char *field, size_t field_size)
{
    return field == nullptr ? 0 : strnlen(field, field_size);
}

bool text_equal_nocase(const char *a, const char *b)
{
    return strcasecmp(a ? a : "", b ? b : "") == 0;
}

bool field_equal_nocase(const char *a, size_t a_size, const char *b, size_t b_size)
{
    size_t la = field_len(a, a_size);
    size_t lb = field_len(b, b_size);
    return la == lb && (la == 0 || strncasecmp(a, b, la) == 0);
}
