// Any argument list through the whole program: the input is split at zero
// bytes into arguments. The working folder holds a palette and a small image
// that the arguments may name; other names are missing files.
#include "driver/driver.h"
#include "engine/front.h"
#include "fuzz/fuzz_support.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_enter_own_folder();
    fuzz_write_fixtures();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> arguments = { "tessaly" };
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            // Names stay inside the working folder.
            current += data[i] == '/' ? '_' : static_cast<char>(data[i]);
        }
    }
    arguments.push_back(current);
    // The circle pre-processing runs its passes over the whole image; a few
    // are as telling as a hundred thousand. Outputs stay in the working folder.
    for (size_t i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == "-ppc" && std::atof(arguments[i + 1].c_str()) > 8)
            arguments[i + 1] = "8";
        if (arguments[i] == "-o" && arguments[i + 1] == "..")
            arguments[i + 1] = ".";
    }

    std::vector<char *> pointers;
    for (std::string &argument : arguments)
        pointers.push_back(&argument[0]);
    pointers.push_back(nullptr);
    run_driver(static_cast<int>(arguments.size()), pointers.data(), ditherer);
    fuzz_remove_outputs();
    return 0;
}
