#pragma once

// Bodies of the named checks. Each runs one scenario against the libraries and
// reports failure through GoogleTest assertions; check_table.cpp registers them.

namespace tessal_checks {

// Allocator checks (allocator_checks.cpp).
void constrained_allocator_obeys_bounds_and_reuses_dead_storage();
void constrained_allocator_reports_exhaustion();
void live_allocations_do_not_overlap();

// End-to-end encoder checks (encoder_checks.cpp).
void encoder_graph_compiles_deterministically();
void encoder_reference_is_finite_and_repeatable();

// Exchange scheduler checks (scheduler_checks.cpp).
void scheduler_coalesces_fanout_and_packs_disjoint_groups();
void scheduler_colors_ring_and_all_to_all_fanout();
void scheduler_is_deterministic_for_varied_transfer_graphs();
void scheduler_packs_an_all_tile_matching_into_one_epoch();
void scheduler_relays_a_tensor_without_an_intermediate_launch();
void scheduler_times_tile_role_conflicts_within_one_launch();
void scheduler_uses_live_staging_as_a_later_phase_source();

}  // namespace tessal_checks
