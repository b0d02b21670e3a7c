// What --beats prints for a file, and the metre of a tempo plan in words.
#pragma once

#include <string>

#include "app/starter/beats/beats.h"

/** The metre of a tempo plan in words; weak when the pulse or the bar is. */
std::string planMetreWords(const TempoPlan &plan);
/** The beat listing of an input: a "# " line, then one beat time per line from the region's start on. */
std::string beatListing(const std::string &input, const TempoPlan &plan, double regionStart);
