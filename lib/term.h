// Console helpers of the administration commands: one-key answers, a progress bar that
// redraws itself in place, the terminal's width, and right-alignment padding for columns.
#pragma once

#include <cstdint>

// Reads the answer to a question already printed with its hint: one character, then the
// rest of the line is drained. `def` when the character is a line end or `def` itself, or
// when nothing could be read; 0 for anything else (case matters).
int term_read_answer(int def);

// The first character of an answer line, the rest of the line drained: '\n' for an empty
// line, EOF when nothing could be read. For questions that accept more than one letter.
int term_read_key();

// Draws "\r<label> |<bar>| <percent>%" on standard output and flushes it, without a line
// feed. The label takes exactly 20 columns and the bar `width` columns; a negative width
// draws no bar, `done` beyond `total` counts as `total`, and a total of 0 shows an empty bar
// at 0%. At most 210 columns of the bar are filled.
void term_progress(const char *label, int width, uint64_t done, uint64_t total);

// The width of the terminal: the "co" capability of the description named by TERM, else
// the window size of standard output, else 80.
int term_get_columns();

// Spaces that right-align `value`, printed with `fmt`, in a column of `width`: width minus
// the length of the text, or 0 when the text is longer than the column (or than 63 bytes).
int term_pad_num(const char *fmt, uint64_t value, int width);
// The same for a double.
int term_pad_real(const char *fmt, int width, double value);
