// The check program's table of named checks, in lexical order of their names.
// Each entry runs one check body; the bodies live beside this file, grouped by
// the subsystem they guard.

#include <gtest/gtest.h>

#include "check_bodies.hpp"

TEST(tests, constrained_allocator_obeys_bounds_and_reuses_dead_storage) {
  tessal_checks::constrained_allocator_obeys_bounds_and_reuses_dead_storage();
}
TEST(tests, constrained_allocator_reports_exhaustion) { tessal_checks::constrained_allocator_reports_exhaustion(); }
TEST(tests, encoder_reference_is_finite_and_repeatable) {
  tessal_checks::encoder_reference_is_finite_and_repeatable();
}
TEST(tests, live_allocations_do_not_overlap) { tessal_checks::live_allocations_do_not_overlap(); }
