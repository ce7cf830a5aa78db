// Numbered file names and path splitting, the directory never taking part.
#include "mapping/SequenceFileName.h"

#include <gtest/gtest.h>

TEST(SequenceFileName, NumberJoinsTheLastDigitRunOfTheFileNameAndPathsSplitAtEitherSeparator) {
  const struct {
    const char* pattern;
    u32 number;
    const char* name;
  } cases[] = {
      {"0000.jpg", 12, "0012.jpg"},
      {"img.png", 7, "7img.png"},
      {"pic099.pgm", 3, "pic102.pgm"},
      {"pic099.pgm", 1000, "pic1099.pgm"},
      {"0000.jpg", 0, "0000.jpg"},
      {"img.png", 0, "0img.png"},
      {"out/kf.png", 7, "out/7kf.png"},
      {"run2\\frames\\f.pgm", 5, "run2\\frames\\5f.pgm"},
      {"d1/x9y.png", 1, "d1/x10y.png"},
      {".\\0000.jpg", 4294967295u, ".\\4294967295.jpg"},
      {"a/0000000000009.ppm", 1, "a/0000000000010.ppm"},
  };
  std::string name;
  for (const auto& c : cases) {
    MakeSequenceFileName(name, c.pattern, c.number);
    EXPECT_EQ(name, c.name) << c.pattern << " " << c.number;
  }
  // (path, directory, file name)
  for (const auto& [path, directory, file] :
       {std::tuple{"a/b\\c.txt", "a/b\\", "c.txt"}, std::tuple{"a\\b/c.txt", "a\\b/", "c.txt"},
        std::tuple{"c.txt", "", "c.txt"}, std::tuple{"dir/", "dir/", ""}}) {
    EXPECT_EQ(GetDirectory(path), directory) << path;
    EXPECT_EQ(GetFileName(path), file) << path;
  }
}

TEST(SequenceFileName, SequenceNamesItsFilesFromStartByStep) {
  const FileSequence sequence("d/img007.png", 3, 5, 4);
  EXPECT_EQ(sequence.Count(), 4u);
  std::string name;
  for (const auto& [i, expected] : {std::pair{0u, "d/img010.png"}, std::pair{3u, "d/img025.png"}}) {
    sequence.Name(i, name);
    EXPECT_EQ(name, expected) << i;
  }
  // The four numbers stepped over before file 2 (img020).
  ASSERT_EQ(sequence.Skipped(), 4u);
  sequence.NameBefore(2, 1, name);
  EXPECT_EQ(name, "d/img019.png");
  sequence.NameBefore(2, 4, name);
  EXPECT_EQ(name, "d/img016.png");
  EXPECT_EQ(FileSequence("a0.dat", 0, 1, 9).Skipped(), 0u);
}
