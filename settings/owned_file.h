// A file closed when its owner goes, on every way out.
#pragma once

#include <cstdio>
#include <memory>

struct file_closer {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using owned_file = std::unique_ptr<std::FILE, file_closer>;
