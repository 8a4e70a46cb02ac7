#include "diag/text_out.h"

#include <cstdarg>
#include <cstring>

void TextOut::add(const char *format, ...)
{
    if (len >= sizeof text - 1)
        return;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(text + len, sizeof text - len, format, ap);
    va_end(ap);
    if (n > 0)
        len += size_t(n) < sizeof text - len ? size_t(n) : sizeof text - 1 - len;
}

void TextOut::repeat(char c, size_t count)
{
    size_t room = sizeof text - 1 - len;
    size_t n = count < room ? count : room;
    memset(text + len, c, n);
    len += n;
    text[len] = '\0';
}

void TextOut::flush_to(FILE *stream)
{
    if (len > 0)
        fwrite(text, 1, len, stream);
    fflush(stream);
    len = 0;
}

void printable_copy(char *destination, const char *field, size_t width)
{
    static const char hex[] = "0123456789abcdef";
    size_t at = 0;
    for (size_t i = 0; i < width && field[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (c < 0x20 || c == 0x7f) {
            destination[at++] = '\\';
            destination[at++] = 'x';
            destination[at++] = hex[c >> 4];
            destination[at++] = hex[c & 0xf];
        } else {
            destination[at++] = char(c);
        }
    }
    destination[at] = '\0';
}
