// The space in which the searches look for the nearest palette entry. By
// default that is the working channels themselves; under -m oklab it is
// OkLab, formed from the linear-light RGB that the working values stand for,
// while the error is still taken and spread in the working channels.
#pragma once

#include "settings/limits.h"

// Whether this file's searches match in OkLab: -m oklab in the rgb space,
// the only one whose working values name one RGB colour. The front refuses
// -m oklab with any other space; the core then matches in the working
// channels.
bool matching_in_oklab();

// L, a and b of the working RGB values v[0 ... 2]: linear light, or under -g
// srgb the stored levels, decoded first. Computed in double with +, -, * and
// / alone, so that every machine arrives at the same floats; values beyond
// 0 ... 1 go through the same formulas (mirrored below 0), and values that
// are not numbers or infinite give values that are not numbers or infinite.
void working_to_oklab(const float *v, float *lab);

// The palette in OkLab, channel by channel like pal_ch: filled from pal_ch by
// convert_matching_palette once its entries are final (after
// leave_transparent_entry_out_of_search), when matching_in_oklab().
extern float pal_oklab[max_working_channels][palette_entries];
void convert_matching_palette();
