#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tessal_compiler/tessal_compiler.hpp"

namespace {

using tessal_compiler::CompileError;
using tessal_exchange::ExchangeError;

using tessal_exchange::debug_text::to_string;

TEST(ExchangeErrorTest, DebugTextNamesVariantAndPayload) {
  struct Case {
    ExchangeError error;
    std::string text;
  };
  const Case cases[] = {
      {ExchangeError::tile(1472), "Tile(1472)"},
      {ExchangeError::duplicate_tile(), "DuplicateTile"},
      {ExchangeError::count(4149), "Count(4149)"},
      {ExchangeError::receiver_set(), "ReceiverSet"},
      {ExchangeError::schedule("zero event advance"), "Schedule(\"zero event advance\")"},
      {ExchangeError::address(258), "Address(258)"},
      {ExchangeError::host_packet(), "HostPacket"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_string(c.error), c.text);
  }
}

TEST(ExchangeErrorTest, VariantsKeepTheirOrder) {
  EXPECT_EQ(static_cast<int>(ExchangeError::Kind::Tile), 0);
  EXPECT_EQ(static_cast<int>(ExchangeError::Kind::HostPacket), 6);
}

TEST(CompileErrorTest, DebugTextNamesVariantAndPayload) {
  EXPECT_EQ(to_string(CompileError::graph("graph has no outputs")), "Graph(\"graph has no outputs\")");
  EXPECT_EQ(to_string(CompileError::memory("address overflow")), "Memory(\"address overflow\")");
  EXPECT_EQ(to_string(CompileError(ExchangeError::schedule("multicast start cycle"))),
            "Exchange(Schedule(\"multicast start cycle\"))");
  EXPECT_EQ(to_string(CompileError(ExchangeError::tile(1472))), "Exchange(Tile(1472))");
}

TEST(CompileErrorTest, ExchangeErrorsConvertImplicitlyAndUnchanged) {
  const auto fails = []() -> std::expected<int, CompileError> {
    return std::unexpected(ExchangeError::receiver_set());
  };
  const auto result = fails();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, CompileError::Kind::Exchange);
  EXPECT_EQ(result.error().exchange, ExchangeError::receiver_set());
}

TEST(CompileErrorTest, EqualityCoversKindAndPayload) {
  EXPECT_EQ(CompileError::graph("a"), CompileError::graph("a"));
  EXPECT_NE(CompileError::graph("a"), CompileError::memory("a"));
  EXPECT_NE(CompileError::graph("a"), CompileError::graph("b"));
}

}  // namespace
