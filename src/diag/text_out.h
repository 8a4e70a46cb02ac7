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

// Precision and address of a fixed text field, for "%.*s": printing never
// reads past the field, whatever a loaded file holds.
#define FIELD(f) int(sizeof(f)), (f)
