// The dump printers against a database whose texts came from the LAN.
#include "fixture/fixture.h"

#include <gtest/gtest.h>

TEST(Dumps, ControlCharactersArePrintedAsHex)
{
    GatewayRoot gw;
    DeviceRecord r = make_record(test_mac(1), "192.168.1.10", "tv\r\n\x1b]0;owned\x07\x7f|", "802.11");
    r.FingerprintType.set(FP_HTTP);
    strcpy(r.fingerprintData.http.UserAgent, "agent\tx\x1b[2J");
    gw.write_db({r});
    const std::string name = "  tv\\x0d\\x0a\\x1b]0;owned\\x07\\x7f|  802.11  ";
    for (const char *word : {"dumpall", "dump"}) {
        std::string out, err;
        ProcessEnd end = run_zelmo({word}, &out, &err);
        SCOPED_TRACE(word);
        EXPECT_TRUE(end.ended && end.exit_code == 0);
        EXPECT_EQ(err.find_first_of("\r\x1b\x07\x7f\t"), std::string::npos) << err;
        EXPECT_NE(err.find("Uagent-agent\\x09x\\x1b[2J\n"), std::string::npos) << err;
        EXPECT_EQ(err.find(name) != std::string::npos, std::string(word) == "dumpall") << err;
    }
}
