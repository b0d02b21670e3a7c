// Instrument records: the note templates the engine takes from filter.txt and
// filter.dat in the data folder, checked with the engine's own record reader.
#pragma once

#include <string>

/** Checks that record number n of dataDir's filter files can be loaded; false with a sentence. */
bool checkFilterRecord(const std::string &dataDir, int n, std::string &error);
/** Record number of an instrument name; false with a sentence when there is none. */
bool resolveInstrument(const std::string &dataDir, const std::string &name, int &record,
                       std::string &error);
