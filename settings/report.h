// Every report of the program is a line on standard output: the text, then a
// newline written apart from it. Nothing goes to standard error.
#pragma once

#include <cstdio>

inline void print_line(const char *text)
{
    std::fputs(text, stdout);
    std::putchar('\n');
}
