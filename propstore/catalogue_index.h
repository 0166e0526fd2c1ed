// A lookup index over the catalogue's property names, built once: for a name
// made only of ASCII letters, digits and blanks it gives the row FindRow's
// scan gives (the first row equal without regard to case), in one hash
// probe. Names with any other character, whose comparison the locale
// decides, still go to the scan.
#pragma once
#include "propstore/catalogue.h"

// The position of the first row of `set` named `name`, or -1; the same
// answer as FindRow for every name.
int LookupRow(const PropSetDef& set, const WCHAR* name);
