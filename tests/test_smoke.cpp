#include "fixture.h"

TEST_F(TarvickTest, SmokeShadowsocks)
{
    daemon.set("ssconf_basic_node", "1\n");
    daemon.set("ssconf_basic_server_1", "a");
    EXPECT_EQ(generate("0"), "{ \"server\": \"a\", \"server_port\": 0, \"local_address\": \"0.0.0.0\", \"local_port\": 1080, \"mode\": \"tcp_and_udp\", \"password\": \"\", \"timeout\": 600, \"method\": \"\", \"fast_open\": false, \"reuse_port\": true, \"protocol\": \"socks\" }\n");
    EXPECT_EQ(last.status, 0);
    EXPECT_EQ(daemon.keys().front(), "ssconf_basic_node");
}
