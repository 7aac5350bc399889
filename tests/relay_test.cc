#include "splitter/relay.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/map_fixture.h"
#include "tests/test_support.h"

namespace plysect {
namespace {

using testing::MapFixture;
using testing::make_fixture;
using testing::read_file;
using testing::run_plysect;
using testing::TempDir;
using testing::write_file;

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Relay, BlockCutShortIsNeverWritten) {
  const MapFixture fixture = make_fixture(3, 4, 4);
  const std::string whole = fixture.bytes();
  const std::size_t block = fixture.block(3).size();
  // Three complete blocks, then the fourth cut after 1 byte, mid-itime, and
  // one byte before its end; and the clean end after three.
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{3}, block - 1}) {
    SCOPED_TRACE(cut);
    TempDir dir;
    write_file(dir.file("run.map"), whole.substr(0, whole.size() - block + cut));
    const auto run = run_plysect({"run.map"}, "2\n2\n1\n2\n", dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(count(run.out, "  D :"), 3u);
    EXPECT_EQ(read_file(dir.file("run-lay-1.map")), fixture.layer_map(2, 1, 3));
    EXPECT_EQ(read_file(dir.file("run-lay-2.map")), fixture.layer_map(2, 2, 3));
  }
}

TEST(Relay, NoBlocksGivesHeadersOnly) {
  TempDir dir;
  const MapFixture fixture = make_fixture(2, 4, 0);
  write_file(dir.file("run.map"), fixture.bytes());
  const auto run = run_plysect({"run.map"}, "2\n1\n2\n", dir.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(count(run.out, "  D :"), 0u);
  EXPECT_EQ(read_file(dir.file("run-lay-2.map")), fixture.layer_header(2, 2));
}

TEST(Relay, NoMapsStillReportsEveryBlock) {
  for (const char* answers : {"2\n0\n", "2\n-3\n", "2\n/\n"}) {
    SCOPED_TRACE(answers);
    TempDir dir;
    write_file(dir.file("run.map"), make_fixture(1, 4, 5).bytes());
    const auto run = run_plysect({"run.map"}, answers, dir.path());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(count(run.out, "  D :"), 5u);
    EXPECT_EQ(count(run.out, "Give lay number"), 0u);
  }
}

TEST(Relay, DayAndHourOfEachBlock) {
  struct Row {
    std::int32_t itime;
    std::string line;
  };
  const std::vector<Row> rows = {
      {86400 + 3600, "  D :           1   H :           1\r\n"},
      {86400 - 1, "  D :           0   H :          23\r\n"},
      {-3600, "  D :           0   H :          -1\r\n"},
      {-86400 - 7200, "  D :          -1   H :          -2\r\n"},
      {2147483647, "  D :       24855   H :           3\r\n"},
      {-2147483647 - 1, "  D :      -24855   H :          -3\r\n"},
  };
  MapFixture fixture = make_fixture(1, 2, rows.size());
  for (std::size_t b = 0; b < rows.size(); ++b) fixture.itimes[b] = rows[b].itime;
  TempDir dir;
  write_file(dir.file("run.map"), fixture.bytes());
  const auto run = run_plysect({"run.map"}, "1\n1\n1\n", dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  std::string progress;
  for (const auto& row : rows) progress += row.line;
  EXPECT_TRUE(run.out.ends_with(progress)) << run.out;
  // itime goes into the layer map unchanged.
  EXPECT_EQ(read_file(dir.file("run-lay-1.map")), fixture.layer_map(1, 1, rows.size()));
}

TEST(Relay, BlocksLargerThanAFetchAndAWritePiece) {
  // A layer block of 4 * 3 * 30000 = 360000 bytes crosses both the 8192-byte
  // fetch and the 262144-byte write piece.
  TempDir dir;
  const MapFixture fixture = make_fixture(3, 60000, 2);
  write_file(dir.file("run.map"), fixture.bytes());
  const auto run = run_plysect({"run.map"}, "2\n2\n2\n1\n", dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(dir.file("run-lay-1.map")), fixture.layer_map(2, 1, 2));
  EXPECT_EQ(read_file(dir.file("run-lay-2.map")), fixture.layer_map(2, 2, 2));
}

TEST(Relay, FileSizeLimitIsAWriteErrorNotASilentDeath) {
  // Past the limit a write comes back short, then fails with EFBIG; the
  // signal that would kill the process instead is ignored.
  TempDir dir;
  const MapFixture fixture = make_fixture(2, 4, 3);
  write_file(dir.file("run.map"), fixture.bytes());
  const std::size_t limit = fixture.layer_map(2, 1, 1).size() + 10;
  // Standard output goes to the null device, which has no size to limit.
  const auto run = testing::run_command(
      {"sh", "-c", "exec prlimit --fsize=" + std::to_string(limit) + " \"$0\" run.map >/dev/null",
       testing::plysect_binary()},
      "2\n1\n1\n", dir.path());
  EXPECT_EQ(run.status, 38);
  EXPECT_TRUE(run.err.starts_with("plysect: File too large\n"
                                  "plysect: severe (38): error during write, unit 11, file " +
                                  dir.file("run-lay-1.map") + "\n"))
      << run.err;
  // One whole block, then the written part of the second.
  EXPECT_EQ(read_file(dir.file("run-lay-1.map")), fixture.layer_map(2, 1, 2).substr(0, limit));
}

}  // namespace
}  // namespace plysect
