// The cores' invariants are written next to their members and kept by a
// `bool invariantsHold() const` of each type. Debug builds check it at the
// end of every mutator, as SQLite's pager asserts its state; tests call it
// directly, so release builds check it where the tests drive the cores.
#pragma once

#include <cassert>

#define NERIVANE_CHECK_INVARIANTS() assert(invariantsHold())
