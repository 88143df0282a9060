#include "settings/report.h"

#include <cstdio>

namespace {

report_sink current_sink = nullptr;
void *current_context = nullptr;

}  // namespace

void set_report_sink(report_sink sink, void *context)
{
    current_sink = sink;
    current_context = context;
}

void print_line(const char *text)
{
    if (current_sink) {
        current_sink(current_context, text);
        return;
    }
    std::fputs(text, stdout);
    std::putchar('\n');
}
