#pragma once

// Bodies of the named checks. Each runs one scenario against the libraries and
// reports failure through GoogleTest assertions; check_table.cpp registers them.

namespace tessal_checks {

}  // namespace tessal_checks
