// The options of the command line in one table: each option's name, how its
// value is read and the setting it stores. Applying one prints nothing; it
// says what became of the value and gives back the lines a transcript shows
// for it, so that the driver prints them and a library may turn a refused
// value into an error.
#pragma once

#include <string>

struct option_outcome {
    bool known = false;     // the name is one of the options
    bool accepted = false;  // the value was taken and its setting stored
    std::string lines;      // what the transcript shows, every line with its newline
};

bool is_option(const char *name);

// Applies the option's value to the settings. A value that the option does
// not take changes nothing and shows nothing, as does a value longer than
// max_argument_length; an unknown name is neither known nor accepted.
option_outcome apply_option(const char *name, const char *value);
