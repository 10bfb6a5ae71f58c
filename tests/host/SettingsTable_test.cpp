// Tests of the table of settings: lookups by name, and the table's own
// consistency, which check and the README rely on.
#include "host/SettingsTable.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(SettingsTableTest, FindMatchesSectionAndNameRegardlessOfCase) {
  EXPECT_EQ(hxsettings::Find("eventmanager", "NDUMPCACHE"), &hxsettings::kDumpCache);
  EXPECT_EQ(hxsettings::Find("Base", "dHOME"), nullptr);  // a name of another section
  EXPECT_EQ(hxsettings::Find("EventManager", "ndumpcach"), nullptr);
  EXPECT_EQ(hxsettings::Find("EventManager", "ndumpcachee"), nullptr);
  EXPECT_TRUE(hxsettings::IsLibrarySection("VTASKHOST"));
  EXPECT_FALSE(hxsettings::IsLibrarySection("Other"));
}

// A name listed twice would make check call its second spelling a repeat, and
// a '|' would break the README's table.
TEST(SettingsTableTest, EveryNameIsListedOnceAndFitsTheTable) {
  std::set<std::string> seen;
  for (const hxsettings::Setting* s : hxsettings::kAll) {
    std::string key = std::string(s->section) + "/" + s->name;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(seen.insert(key).second) << key;
    EXPECT_EQ(std::string(s->defaultText).find('|'), std::string::npos) << key;
    EXPECT_EQ(std::string(s->meaning).find_first_of("|\n"), std::string::npos) << key;
  }
}

}  // namespace
