// The check program's table of named checks, in lexical order of their names.
// Each entry runs one check body; the bodies live beside this file, grouped by
// the subsystem they guard.

#include <gtest/gtest.h>

#include "check_bodies.hpp"
