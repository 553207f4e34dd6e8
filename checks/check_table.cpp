// The check program's table of named checks, in lexical order of their names.
// Each entry runs one check body; the bodies live beside this file, grouped by
// the subsystem they guard.

#include <gtest/gtest.h>

#include "check_bodies.hpp"

TEST(tests, constrained_allocator_obeys_bounds_and_reuses_dead_storage) {
  tessal_checks::constrained_allocator_obeys_bounds_and_reuses_dead_storage();
}
TEST(tests, constrained_allocator_reports_exhaustion) { tessal_checks::constrained_allocator_reports_exhaustion(); }
TEST(tests, encoder_graph_compiles_deterministically) { tessal_checks::encoder_graph_compiles_deterministically(); }
TEST(tests, encoder_reference_is_finite_and_repeatable) {
  tessal_checks::encoder_reference_is_finite_and_repeatable();
}
TEST(tests, live_allocations_do_not_overlap) { tessal_checks::live_allocations_do_not_overlap(); }
TEST(tests, scheduler_coalesces_fanout_and_packs_disjoint_groups) {
  tessal_checks::scheduler_coalesces_fanout_and_packs_disjoint_groups();
}
TEST(tests, scheduler_colors_ring_and_all_to_all_fanout) {
  tessal_checks::scheduler_colors_ring_and_all_to_all_fanout();
}
TEST(tests, scheduler_is_deterministic_for_varied_transfer_graphs) {
  tessal_checks::scheduler_is_deterministic_for_varied_transfer_graphs();
}
TEST(tests, scheduler_packs_an_all_tile_matching_into_one_epoch) {
  tessal_checks::scheduler_packs_an_all_tile_matching_into_one_epoch();
}
TEST(tests, scheduler_relays_a_tensor_without_an_intermediate_launch) {
  tessal_checks::scheduler_relays_a_tensor_without_an_intermediate_launch();
}
TEST(tests, scheduler_times_tile_role_conflicts_within_one_launch) {
  tessal_checks::scheduler_times_tile_role_conflicts_within_one_launch();
}
TEST(tests, scheduler_uses_live_staging_as_a_later_phase_source) {
  tessal_checks::scheduler_uses_live_staging_as_a_later_phase_source();
}
