// End-to-end checks over the encoder layer.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "check_bodies.hpp"
#include "tessal_compiler/encoder.hpp"
#include "tessal_compiler/reference.hpp"
#include "tessal_exchange/debug_text.hpp"

namespace tessal_checks {

void encoder_reference_is_finite_and_repeatable() {
  const tessal_compiler::EncoderConfig config{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16};
  std::vector<float> input(config.sequence * config.hidden);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = (static_cast<float>(i) - 9.0F) / 16.0F;
  const tessal_compiler::EncoderWeights weights = tessal_compiler::EncoderWeights::deterministic(config);

  const auto first = tessal_compiler::encoder_reference(config, input, weights);
  ASSERT_TRUE(first.has_value()) << first.error();
  const auto second = tessal_compiler::encoder_reference(config, input, weights);
  ASSERT_TRUE(second.has_value()) << second.error();
  ASSERT_EQ(*first, *second);

  bool all_finite = true;
  for (const float value : *first) all_finite = all_finite && std::isfinite(value);
  ASSERT_TRUE(all_finite) << "assertion failed: first.iter().all(|value| value.is_finite())";

  float checksum = 0.0F;
  for (const float value : *first) checksum += value;
  ASSERT_TRUE(std::fabs(checksum - 107.46423F) < 0.0001F)
      << "checksum=" << tessal_exchange::debug_text::to_string(checksum);
}

}  // namespace tessal_checks
