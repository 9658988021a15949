// The rule import's shape cache stands on: one generator run serves every
// link of a shape, which holds only if a fill-only setting, whatever it
// holds, never changes which keys the generator reads, nor their order.
// The generators (tarvick's and tarvick-node xray's) run here in this
// process over settings of the test's own.
#include "../src/node/node.h"
#include "tarvick.h"
#include "xray.h"

#include <string.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

typedef std::map<std::string, std::string> Settings;

struct Reading {
    const Settings *settings;
    std::vector<std::string> keys;
};

int answer(StoreSource *source, const char *key, ValueBuffer *value)
{
    Reading *reading = (Reading *)source->context;
    reading->keys.push_back(key);
    std::string name = key;
    const std::string prefix = "ssconf_basic_", suffix = "_4";
    if (name.compare(0, prefix.size(), prefix) == 0 && name.size() > prefix.size() + suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        auto found = reading->settings->find(name.substr(prefix.size(), name.size() - prefix.size() - suffix.size()));
        if (found != reading->settings->end())
            snprintf(value->text, sizeof value->text, "%s", found->second.c_str());
    }
    return 0;
}

// Type 2 read by tarvick-node xray's writer.
const int XRAY = 4;

// Every key the generator asks for, in order, repeats included.
std::vector<std::string> keys_read(int type, const Settings &settings)
{
    Reading reading = {&settings, {}};
    StoreSource source = {answer, &reading, false};
    GeneratorArgs args = {type == XRAY ? PROXY_V2RAY : type, 4, NULL, 1080, 1081, "tcp,udp"};
    GeneratorRun run = {&source, ""};
    if (type == XRAY)
        write_xray_config(&args, &run);
    else
        driver_generator(type)(&args, &run);
    return reading.keys;
}

struct Base {
    int type;
    Settings settings;
};

// The bases are cut into shards, one test each, so that a sanitizer build on
// a loaded machine still runs each within its time limit: the other types
// together, then type 2 and the xray writer one protocol at a time.
struct Shard {
    int type;
    const char *protocol;
};

const Shard SHARDS[] = {
    {0, ""},          {2, "vmess"},     {2, "vless"},     {2, "trojan"}, {2, "ss"},      {2, "socks"},  {2, "other"},
    {XRAY, "vmess"}, {XRAY, "vless"}, {XRAY, "trojan"}, {XRAY, "ss"}, {XRAY, "socks"}, {XRAY, "other"},
    {XRAY, "hysteria2"}, {XRAY, "wireguard"},
    {XRAY, "kinds"},
};

// Nodes of the shard's kind, each reading as many keys as its kind reads.
std::vector<Base> bases(const Shard &shard)
{
    if (shard.type == 0)
        return {
            {0, {{"use_kcp", "0"}, {"ss_obfs", "obfs-local"}}}, {0, {{"use_kcp", "0"}, {"ss_obfs", "none"}}},
            {0, {{"use_kcp", "1"}}},                            {1, {{"use_kcp", "0"}}},
            {1, {{"use_kcp", "1"}}},                            {3, {{"trojan_mp_enable", "1"}}},
            {3, {{"trojan_mp_enable", "0"}}},
        };
    // Nodes of the other kinds, as the xray writer tells them apart.
    if (shard.type == XRAY && std::string(shard.protocol) == "kinds")
        return {
            {XRAY, {{"method", "aes-256-gcm"}, {"use_kcp", "0"}, {"ss_obfs", "obfs-local"}}},
            {XRAY, {{"method", "2022-blake3-aes-128-gcm"}, {"ss_obfs", "none"}}},
            {XRAY, {{"method", "aes-256-gcm"}, {"use_kcp", "1"}}}, {XRAY, {{"ssr_protocol", "origin"}}},
            {XRAY, {{"trojan_mp_enable", "1"}}},     {XRAY, {{"trojan_mp_enable", "0"}}},
        };
    std::vector<Base> out = {{shard.type, {{"v2ray_protocol", shard.protocol}}}};
    // Current Xray's own kinds: their one transport, none, or another.
    if (strcmp(shard.protocol, "hysteria2") == 0 || strcmp(shard.protocol, "wireguard") == 0) {
        for (const char *security : {"", "tls"})
            for (const char *network : {"hysteria", "", "tcp"})
                for (const char *mux : {"0", "1"})
                    out.push_back({shard.type, {{"v2ray_protocol", shard.protocol}, {"v2ray_network_security", security},
                                                {"v2ray_network", network}, {"v2ray_mux_enable", mux}}});
        return out;
    }
    for (const char *security : {"", "tls", "xtls", "reality"})
        for (const char *network : {"tcp", "mkcp", "ws", "h2", "quic", "grpc", "xhttp", "httpupgrade"})
            out.push_back({shard.type, {{"v2ray_protocol", shard.protocol}, {"v2ray_network_security", security},
                                        {"v2ray_network", network}, {"v2ray_headtype_tcp", "http"}, {"auth", "1"},
                                        {"v2ray_mux_enable", "1"}}});
    return out;
}

void PrintTo(const Shard &shard, std::ostream *out)
{
    *out << "type " << shard.type << " " << shard.protocol;
}

class FillOnlyRule : public ::testing::TestWithParam<Shard> {};

TEST_P(FillOnlyRule, SettingsNeverChangeTheKeysRead)
{
    // A text of each kind a writer compares a setting with.
    const char *const values[] = {"", "0", "1", "none", "http", "tls", "reality", "grpc", "multi", "xtls-rprx-vision",
                                  "2022-blake3-aes-128-gcm", "127.0.0.1",
                                  // VLESS Encryption, XHTTP's extra, ECH's DNS form
                                  "mlkem768x25519plus.native.0rtt.Id7baI9lw6oLE-_VTj1Kt5fLJSisKwsczXeMLUBuFn0",
                                  R"({"xmux":{"maxConnections":2},"uplinkHTTPMethod":"GET"})", "udp://1.1.1.1"};
    int compared = 0;
    for (const Base &base : bases(GetParam())) {
        const std::vector<std::string> expected = keys_read(base.type, base.settings);
        for (size_t i = 0; import_fill_only_name(i); i++) {
            for (const char *value : values) {
                Settings changed = base.settings;
                changed[import_fill_only_name(i)] = value;
                ASSERT_EQ(keys_read(base.type, changed), expected)
                    << "type " << base.type << ", " << import_fill_only_name(i) << "=" << value;
                compared++;
            }
        }
    }
    EXPECT_GT(compared, 2000);
}

INSTANTIATE_TEST_SUITE_P(ImportCache, FillOnlyRule, ::testing::ValuesIn(SHARDS),
                         [](const ::testing::TestParamInfo<Shard> &info) {
                             return std::string(info.param.type == 0 ? "types_0_1_3"
                                                : info.param.type == XRAY ? "xray_"
                                                                          : "type_2_") +
                                    info.param.protocol;
                         });

} // namespace
