#include <gtest/gtest.h>

#include "tessal_exchange/logging.hpp"

namespace {

namespace logging = tessal_exchange::logging;

TEST(LoggingTest, WithoutSubscriberNothingIsDelivered) {
  ASSERT_EQ(logging::current_subscriber(), nullptr);
  logging::emit(logging::Level::Info, "tessal_compiler", "compiling graph", logging::field("operations", 15));
}

TEST(LoggingTest, RecorderCapturesMessageLevelTargetAndFieldsInOrder) {
  logging::EventRecorder recorder;
  {
    logging::ScopedSubscriber guard(recorder);
    logging::emit(logging::Level::Info, "tessal_compiler", "compiling graph", logging::field("operations", 15U),
                  logging::field("tensors", std::uint64_t{22}), logging::field("tiles", std::uint16_t{64}));
    logging::emit(logging::Level::Debug, "tessal_exchange", "no fields");
  }
  EXPECT_EQ(logging::current_subscriber(), nullptr);
  ASSERT_EQ(recorder.events().size(), 2U);
  EXPECT_EQ(recorder.events()[0],
            (logging::RecordedEvent{"compiling graph",
                                    logging::Level::Info,
                                    "tessal_compiler",
                                    {{"operations", "15"}, {"tensors", "22"}, {"tiles", "64"}}}));
  EXPECT_EQ(recorder.events()[1], (logging::RecordedEvent{"no fields", logging::Level::Debug, "tessal_exchange", {}}));
}

TEST(LoggingTest, ScopedSubscribersNestAndRestore) {
  logging::EventRecorder outer;
  logging::EventRecorder inner;
  logging::ScopedSubscriber outer_guard(outer);
  {
    logging::ScopedSubscriber inner_guard(inner);
    logging::emit(logging::Level::Info, "t", "inner");
  }
  logging::emit(logging::Level::Info, "t", "outer");
  ASSERT_EQ(inner.events().size(), 1U);
  ASSERT_EQ(outer.events().size(), 1U);
  EXPECT_EQ(outer.events()[0].message, "outer");
}

TEST(LoggingTest, FormatsOneLinePerEvent) {
  const logging::Field fields[] = {logging::field("phases", 2U), logging::field("launches", 2U),
                                   logging::field("name", "wq"), logging::field("offset", -3)};
  const logging::Event event{"lowered exchange schedule", logging::Level::Info, "tessal_compiler", fields};
  EXPECT_EQ(logging::format_event(event),
            "INFO tessal_compiler: lowered exchange schedule phases=2 launches=2 name=wq offset=-3");
}

}  // namespace
