// Prints the README's settings table from the library's table of settings;
// tools/make-docs.py puts it into README.md.
#include <iostream>

#include "host/SettingsTable.h"

int main() {
  std::cout << hxsettings::MarkdownTable();
  return std::cout.good() ? 0 : 1;
}
