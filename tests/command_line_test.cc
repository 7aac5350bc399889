#include "splitter/command_line.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_support.h"

namespace plysect {
namespace {

TEST(CommandLine, GetArgumentCutsPadsAndReportsLength) {
  std::string program = "plysect", first = "run.map", long_name(120, 'n');
  char* args[] = {program.data(), first.data(), long_name.data()};
  char text[10];

  EXPECT_EQ(get_argument(args, 1, text), 7);
  EXPECT_EQ(std::string(text, 10), "run.map   ");
  EXPECT_EQ(get_argument(args, 2, text), 120);
  EXPECT_EQ(std::string(text, 10), std::string(10, 'n'));
  for (std::int16_t missing : {std::int16_t{-1}, std::int16_t{3}}) {
    EXPECT_EQ(get_argument(args, missing, text), -1);
    EXPECT_EQ(std::string(text, 10), std::string(10, ' '));
  }
}

TEST(CommandLine, MissingOrBlankNameGivesTheUsageLine) {
  const std::string usage = "  Use: plysect <3D-map filename>\r\n";
  ASSERT_EQ(usage.size(), 34u);
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {""}, {"   "}}) {
    SCOPED_TRACE(args.empty() ? "no argument" : "\"" + args[0] + "\"");
    const auto run = testing::run_plysect(args, "");
    EXPECT_EQ(run.out, usage);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
}

}  // namespace
}  // namespace plysect
