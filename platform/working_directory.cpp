#include "platform/platform.h"

std::string working_directory_of(const char *argument_0)
{
    std::string folder(argument_0);
    // Positions 0 and 1 are never looked at: they hold a drive letter and its
    // colon in the paths this cut was made for.
    for (size_t i = folder.size(); i >= 2; --i) {
        if (folder[i] == '\\') {
            folder.resize(i + 1);
            return folder;
        }
    }
    return "";
}
