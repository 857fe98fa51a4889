#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text_file.h"
#include "support/bench_process.h"

namespace {

using testing_support::TempDir;

std::vector<std::string> ReadAll(FILE* file, int size) {
  std::vector<std::string> lines;
  std::vector<char> buffer(static_cast<size_t>(size));
  while (platform::ReadTextLine(buffer.data(), size, file))
    lines.emplace_back(buffer.data());
  return lines;
}

TEST(TextFileTest, BackslashesInThePathBecomeSeparators) {
  TempDir dir;
  dir.Write("cal.1", "x\n");
  std::string path = dir.Path() + "\\cal.1";
  FILE* file = platform::OpenTextFile(path.c_str());
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_EQ(platform::OpenTextFile((dir.Path() + "\\missing.1").c_str()), nullptr);
}

TEST(TextFileTest, ReadsCrLfAsLfAndLongLinesInPieces) {
  TempDir dir;
  dir.Write("f", "one\r\ntwo\rthree\nabcdefgh\r\nlast");
  FILE* file = platform::OpenTextFile(dir.File("f").c_str());
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(ReadAll(file, 6),
            (std::vector<std::string>{"one\n", "two\rt", "hree\n", "abcde", "fgh\n", "last"}));
  std::fclose(file);
}

}  // namespace
