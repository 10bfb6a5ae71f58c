// guidlookup dump.
#include "GuidlookupTool.h"

namespace tooltest {
namespace {

TEST_F(GuidlookupToolTest, DumpWritesOneLinePerGroup) {
  ImportDirectory();
  ToolRun run = ExpectExit(0, {"dump"});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "[1]=>[K:11112222333344445555666677778888]"
            "[V:128:128:11112222333344445555666677778888:cn=bo lind/o=contoso]"
            "[V:288:288:11112222333344445555666677778888:blind]\n"
            "[2]=>[K:{12345678-1234-1234-1234-123456789012}][K:BERG, ANN][K:ANN@CONTOSO.COM]"
            "[V:1:1:{12345678X1234X1234X1234X123456789012}:ann@contoso.com]"
            "[V:2:2:{12345678-1234-1234-1234-123456789012}:ann.proxy@contoso.com]"
            "[V:8:8:{12345678-1234-1234-1234-123456789012}:berg, ann]\n");

  run = ExpectExit(0, {"dump", "--proxy", "-o", dir_.file("dump.txt")});
  EXPECT_EQ(run.out, "wrote the dump of 2 groups to " + dir_.file("dump.txt") + "\n");
  EXPECT_NE(ReadFile(dir_.file("dump.txt")).find("[K:ANN@CONTOSO.COM][K:ANN.PROXY@CONTOSO.COM]"),
            std::string::npos);

  run = Expect(0,
               "[1]=>[K:11112222333344445555666677778888][K:CN=BO LIND/O=CONTOSO]"
               "[K:BLIND]",
               {"dump", "--lotus-notes"});
}

}  // namespace
}  // namespace tooltest
