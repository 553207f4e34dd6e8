#pragma once

// Umbrella header of the exchange fabric library.

#include "tessal_exchange/debug_text.hpp"
#include "tessal_exchange/error.hpp"
#include "tessal_exchange/instruction_words.hpp"
#include "tessal_exchange/logging.hpp"
#include "tessal_exchange/multicast.hpp"
#include "tessal_exchange/program_builder.hpp"
#include "tessal_exchange/topology.hpp"
