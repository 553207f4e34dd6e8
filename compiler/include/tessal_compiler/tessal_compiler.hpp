#pragma once

// Umbrella header of the compiler library. The pipeline reads top to bottom:
//   Graph -> compile -> Schedule -> lower_exchanges -> lower_tile_programs / tile_commands

#include "tessal_compiler/compile.hpp"
#include "tessal_compiler/encoder.hpp"
#include "tessal_compiler/error.hpp"
#include "tessal_compiler/exchange_lowering.hpp"
#include "tessal_compiler/graph.hpp"
#include "tessal_compiler/layout.hpp"
#include "tessal_compiler/memory_planner.hpp"
#include "tessal_compiler/reference.hpp"
#include "tessal_compiler/schedule.hpp"
#include "tessal_compiler/tile_commands.hpp"
#include "tessal_compiler/tile_program.hpp"
#include "tessal_exchange/tessal_exchange.hpp"
