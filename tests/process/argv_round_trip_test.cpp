// Arguments reach a real child exactly as given, read back with CommandLineToArgvW.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "support/files.hpp"
#include "support/standin_plan.hpp"
#include "support/text.hpp"
#include "support/watched_process.hpp"

namespace orvanta {
namespace {

using Args = std::vector<std::string>;

// The pieces arguments are made of: what the quoting has to get right, and text in every plane.
constexpr const char* pieces[] = {
    "a", "Z", " ", "\t", "\"", "\\", "\\\\", "\\\"", "\\\\\"", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
    "&", "%", "^", "'",  "*",  "=",  ";",    "x y",
};

// A fixed sequence (the standard fixes mt19937's output), so a failure can be replayed.
Args generated_list(std::uint32_t seed) {
  std::mt19937 random(seed);
  Args args(1 + random() % 12);
  for (auto& argument : args) {
    const auto count = random() % 8;
    for (std::uint32_t i = 0; i < count; ++i) {
      argument += pieces[random() % std::size(pieces)];
    }
    if (random() % 4 == 0) {
      argument += random() % 2 == 0 ? "\\" : "\\\\\\";  // a run of backslashes at the very end
    }
  }
  return args;
}

Args round_trip(const Args& args, const test::ScratchDir& scratch) {
  const std::wstring plan = scratch.file(L"plan.txt");
  const std::wstring argv_out = scratch.file(L"argv.bin");
  DeleteFileW(argv_out.c_str());
  if (!test::write_plan(plan, {{"argv_out", test::utf8(argv_out)}, {"exit_code", "0"}})) {
    ADD_FAILURE() << "cannot write the plan";
    return {};
  }
  Command command = test::standin_command(test::utf8(plan));
  for (const auto& argument : args) {
    command.arg(argument);
  }
  auto status = test::run_to_completion(command);
  if (!status || *status != 0) {
    ADD_FAILURE() << (status ? "exit code " + std::to_string(*status) : error_text(status.error()));
    return {};
  }
  return test::read_argv(argv_out);
}

TEST(ArgvRoundTrip, ChildSeesExactlyTheArgumentsGiven) {
  test::ScratchDir scratch;
  std::vector<Args> lists = {
      {"", "a b", "a\tb", "\"", "\\", "\\\"", "a\\\\", "a b\\\\", "\\\\\"\\\\", "", "\"\"", "say \"hi\" \\"},
      {"\xF0\x9F\x98\x80 \xE2\x82\xAC", "C:\\Program Files\\OpenVPN\\", "--verb", "-", " ", "\t\t"},
  };
  for (std::uint32_t seed = 1; seed <= 10; ++seed) {
    lists.push_back(generated_list(seed));
  }
  for (const auto& args : lists) {
    Args expected = {test::utf8(test::standin_path()), test::utf8(scratch.file(L"plan.txt"))};
    expected.insert(expected.end(), args.begin(), args.end());
    EXPECT_EQ(round_trip(args, scratch), expected) << testing::PrintToString(args);
  }
}

}  // namespace
}  // namespace orvanta
