#pragma once

// Bodies of the named checks. Each runs one scenario against the libraries and
// reports failure through GoogleTest assertions; check_table.cpp registers them.

namespace tessal_checks {

// Allocator checks (allocator_checks.cpp).
void constrained_allocator_obeys_bounds_and_reuses_dead_storage();
void constrained_allocator_reports_exhaustion();
void live_allocations_do_not_overlap();

// End-to-end encoder checks (encoder_checks.cpp).
void encoder_reference_is_finite_and_repeatable();

}  // namespace tessal_checks
