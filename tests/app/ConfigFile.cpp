// The configuration file read as the console program reads it: spaces and
// line ends go, comments and value-less lines are skipped, the first of two
// equal keys wins, CR LF files read like LF files, and a file that cannot be
// read (missing, a directory) is refused with the map left empty.
#include "app/ConfigFile.h"

#include <gtest/gtest.h>

#include "common/TempFolder.h"

TEST(ConfigFileTest, LinesBecomeEntries) {
  TempFolder folder;
  const std::string path = folder.Write("config.txt",
                                        "parallel = 0\n"
                                        "view\t=1\n"
                                        "// view=5\n"
                                        "#verbose_tracker=1\n"
                                        "server=\n"
                                        "parallel=1\n"
                                        "map_file_name=a=b\n"
                                        "==x==y\n"
                                        "image_file_name_input = my frames/0000.dat\r\n"
                                        "initial_depth=2.5\r\n"
                                        "x\n");
  Configuration config{{"stale", "1"}};
  LoadConfigFile(config, path);
  EXPECT_EQ(nullptr, ConfigFind(config, "stale"));
  EXPECT_EQ(0, ConfigGetInt(config, "parallel", 7));  // the first of two wins
  EXPECT_EQ(1, ConfigGetInt(config, "view\t", 0));    // a tab stays in the key
  EXPECT_EQ(nullptr, ConfigFind(config, "view"));
  EXPECT_EQ(1, ConfigGetInt(config, "#verbose_tracker", 0));
  EXPECT_EQ(nullptr, ConfigFind(config, "server"));  // no network
  EXPECT_EQ("a", ConfigGetString(config, "map_file_name", ""));
  EXPECT_EQ("y", ConfigGetString(config, "x", ""));
  EXPECT_EQ("myframes/0000.dat", ConfigGetString(config, "image_file_name_input", ""));
  EXPECT_EQ(2.5, ConfigGetDouble(config, "initial_depth", 1.0));
  EXPECT_EQ(7u, config.size());  // "x" alone is too short to be a line
}

TEST(ConfigFileTest, LongLinesAndMissingFile) {
  TempFolder folder;
  // A line longer than the reader's buffer arrives as two pieces.
  const std::string path = folder.Write("long.txt", "k=" + std::string(509, 'v') + "q=w\nlast=1");
  Configuration config;
  EXPECT_TRUE(LoadConfigFile(config, path));
  EXPECT_EQ(std::string(509, 'v'), ConfigGetString(config, "k", ""));
  EXPECT_EQ("w", ConfigGetString(config, "q", ""));
  EXPECT_EQ(1, ConfigGetInt(config, "last", 0));
  EXPECT_FALSE(LoadConfigFile(config, folder.File("missing.txt")));
  EXPECT_TRUE(config.empty());
  // A directory opens, but does not read.
  LoadConfigFile(config, path);
  EXPECT_FALSE(LoadConfigFile(config, folder.File("")));
  EXPECT_TRUE(config.empty());
}
