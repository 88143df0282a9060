#include "platform/platform.h"

#include <cstring>

std::string working_directory_of(const char *argument_0)
{
    std::string folder(argument_0);
    // Positions 0 and 1 are never looked at: they hold a drive letter and its
    // colon in the paths this cut was made for.
    for (size_t i = folder.size(); i >= 2; --i) {
        if (folder[i] == '\\') {
            folder.resize(i + 1);
            break;
        }
    }
    return folder;
}

bool has_backslash_folder(const char *argument_0)
{
    return std::strlen(argument_0) >= 2 && std::strchr(argument_0 + 2, '\\') != nullptr;
}
