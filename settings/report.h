// Every report of the program is a line. By default it goes to standard
// output, the text and then a newline written apart from it; nothing goes to
// standard error. A caller that wants the lines elsewhere (a library that
// gathers them, a test that keeps them quiet) sets a sink of its own, which is
// handed each line's text without its newline.
#pragma once

using report_sink = void (*)(void *context, const char *line);

// Sends every line that follows to sink, with context; a null sink sends them
// to standard output again.
void set_report_sink(report_sink sink, void *context);

void print_line(const char *text);
