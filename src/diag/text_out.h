// A bounded text buffer for the dump printers: a row is put together here
// and written out in one piece, then flushed.
#pragma once

#include <cstddef>
#include <cstdio>

struct TextOut {
    char text[16384];
    size_t len = 0;

    // Appends formatted text; what does not fit is dropped.
    void add(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Appends count copies of c.
    void repeat(char c, size_t count);
    // Writes the text to the stream, flushes it and empties the buffer.
    void flush_to(FILE *stream);
};

// A fixed text field made safe for a terminal: its text up to the first NUL
// or the field's end, each control character (0x00-0x1F, 0x7F) written as
// "\x" and two lower-case hex digits ("\x0a" for a line feed, "\x1b" for
// an escape). Other bytes are copied as they are.
template <size_t N> struct PrintableField {
    char text[4 * N + 1];
};
void printable_copy(char *destination, const char *field, size_t width);
template <size_t N> PrintableField<N> printable(const char (&field)[N])
{
    PrintableField<N> out;
    printable_copy(out.text, field, N);
    return out;
}

// Precision and address of a fixed text field for "%.*s", made printable:
// printing never reads past the field, whatever a loaded file holds, and a
// name from the LAN cannot send escape sequences to the terminal. The copy
// lives until the end of the full expression that prints it.
#define FIELD(f) int(4 * sizeof(f)), printable(f).text
