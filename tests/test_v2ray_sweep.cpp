// Every outbound protocol against every security text, network text and mux
// switch reading: the rules that cut across them, checked on the parsed
// document and on the whole sequence of keys the daemon is asked for.
#include "fixture.h"
#include "test_v2ray_node.h"

#include <json-c/json.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> SECURITIES = {"tls", "xtls", "none", ""};
// "Grpc" must not count as gRPC: no TLS forced on it.
const std::vector<std::string> NETWORKS = {"tcp", "mkcp", "ws", "h2", "quic", "grpc", "Grpc", ""};

struct MuxSwitch {
    std::string stored;
    int reading;
};
const std::vector<MuxSwitch> MUX_SWITCHES = {{"", 0}, {"0", 0}, {"1", 1}, {"2", 2}, {"-1", -1}};

std::string join(const std::vector<std::string> &words)
{
    std::string out;
    for (const std::string &word : words)
        out += (out.empty() ? "" : ",") + word;
    return out;
}

std::string members(json_object *object)
{
    if (!object || !json_object_is_type(object, json_type_object))
        return "<not an object>";
    std::vector<std::string> names;
    json_object_object_foreach(object, name, value)
    {
        (void)value;
        names.push_back(name);
    }
    return join(names);
}

json_object *member(json_object *object, const char *name)
{
    json_object *value = nullptr;
    if (object && json_object_is_type(object, json_type_object))
        json_object_object_get_ex(object, name, &value);
    return value;
}

json_object *only_element(json_object *array)
{
    if (!array || !json_object_is_type(array, json_type_array) || json_object_array_length(array) != 1)
        return nullptr;
    return json_object_array_get_idx(array, 0);
}

std::string text_of(json_object *value)
{
    return value && json_object_is_type(value, json_type_string) ? json_object_get_string(value) : "<not a string>";
}

std::string boolean_of(json_object *value)
{
    if (!value || !json_object_is_type(value, json_type_boolean))
        return "<not a boolean>";
    return json_object_get_boolean(value) ? "true" : "false";
}

std::string int_of(json_object *value)
{
    if (!value || !json_object_is_type(value, json_type_int))
        return "<not an integer>";
    return std::to_string(json_object_get_int64(value));
}

class V2raySweep : public TarvickTest, public testing::WithParamInterface<std::string> {
protected:
    std::vector<std::string> faults;
    std::string combination;

    void expect(const std::string &what, const std::string &got, const std::string &want)
    {
        if (got != want)
            faults.push_back(combination + ": " + what + " is \"" + got + "\", expected \"" + want + "\"");
    }

    void run_one(const std::string &protocol, const std::string &security, const std::string &network,
                 const MuxSwitch &mux);
};

void V2raySweep::run_one(const std::string &protocol, const std::string &security, const std::string &network,
                         const MuxSwitch &mux)
{
    const int node = 5;
    combination = "[" + protocol + "|" + security + "|" + network + "|" + mux.stored + "]";
    daemon.clear();
    store_v2ray_node(daemon, node,
                     {{"v2ray_protocol", protocol},
                      {"v2ray_network_security", security},
                      {"v2ray_network", network},
                      {"v2ray_mux_enable", mux.stored}});
    std::string file = generate("2");

    // What the client must be given for this node.
    const bool grpc = network == "grpc";
    const bool xtls = !grpc && security == "xtls";
    const bool tls = grpc || security == "tls";
    const bool flow = xtls && (protocol == "vless" || protocol == "trojan");
    const bool with_mux = mux.reading == 1 && !xtls && !grpc;

    std::vector<std::string> keys = {"v2ray_protocol", "v2ray_network_security", "v2ray_network", "v2ray_protocol"};
    std::string settings_members, server_members, user_members;
    const char *list = "servers";
    if (protocol == "vmess" || protocol == "vless") {
        list = "vnext";
        server_members = "address,port,users";
        if (protocol == "vmess") {
            user_members = "id,alterId,security";
            keys.insert(keys.end(), {"server", "port", "v2ray_uuid", "v2ray_alterid", "v2ray_security"});
        } else {
            user_members = flow ? "id,encryption,flow" : "id,encryption";
            keys.insert(keys.end(), {"server", "port", "v2ray_uuid"});
        }
    } else if (protocol == "trojan") {
        server_members = flow ? "address,port,password,flow" : "address,port,password";
        keys.insert(keys.end(), {"server", "port", "password"});
    } else if (protocol == "ss") {
        server_members = "address,port,password,method";
        keys.insert(keys.end(), {"server", "port", "password", "v2ray_ss_method"});
    } else if (protocol == "socks" || protocol == "http") {
        server_members = "address,port,users";
        user_members = "user,pass";
        keys.insert(keys.end(), {"server", "port", "auth", "username", "password"});
    } else {
        list = "";
    }
    if (flow)
        keys.push_back("v2ray_network_flow");
    settings_members = list;

    keys.insert(keys.end(), {"v2ray_network", "v2ray_network_security"});
    std::string stream_members = "network,security";
    if (tls) {
        stream_members += ",tlsSettings";
        keys.insert(keys.end(), {"v2ray_fingerprint", "v2ray_network_tlshost"});
    } else if (xtls) {
        stream_members += ",xtlsSettings";
        keys.push_back("v2ray_network_tlshost");
    }
    struct Transport {
        const char *network, *member;
        std::vector<std::string> keys;
    };
    const std::vector<Transport> transports = {
        {"tcp", "tcpSettings", {"v2ray_headtype_tcp", "v2ray_network_host"}},
        {"mkcp", "kcpSettings", {"v2ray_headtype_tcp"}},
        {"ws", "wsSettings", {"v2ray_network_path", "v2ray_network_host"}},
        {"h2", "httpSettings", {"v2ray_network_path", "v2ray_network_host"}},
        {"quic", "quicSettings", {"v2ray_quic_security", "v2ray_quic_key", "v2ray_quic_guise"}},
        {"grpc", "grpcSettings", {"v2ray_grpc_serviceName", "v2ray_mux_enable"}},
    };
    const char *transport = nullptr;
    for (const Transport &row : transports)
        if (network == row.network) {
            transport = row.member;
            stream_members += std::string(",") + row.member;
            keys.insert(keys.end(), row.keys.begin(), row.keys.end());
        }
    keys.push_back("v2ray_mux_enable");
    if (with_mux)
        keys.push_back("v2ray_mux_concurrency");

    // The file as written, and the keys as asked for.
    expect("key sequence", join(daemon.keys()), join(node_keys(node, keys)));
    expect("exit status", std::to_string(last.status), "0");
    expect("stderr", last.err, "");
    expect("newlines", std::to_string(std::count(file.begin(), file.end(), '\n')), "1");
    expect("last byte", file.empty() ? "" : file.substr(file.size() - 1), "\n");
    json_object *root = json_tokener_parse(file.c_str());
    if (!root) {
        faults.push_back(combination + ": not JSON: " + file);
        return;
    }
    expect("root", members(root), "log,inbound,inboundDetour,outbound");
    json_object *outbound = member(root, "outbound");
    expect("outbound", members(outbound),
           with_mux ? "protocol,settings,streamSettings,mux" : "protocol,settings,streamSettings");
    expect("protocol", text_of(member(outbound, "protocol")), protocol == "ss" ? "shadowsocks" : protocol);

    json_object *settings = member(outbound, "settings");
    expect("settings", members(settings), settings_members);
    if (*list) {
        json_object *server = only_element(member(settings, list));
        expect("server", members(server), server_members);
        expect("address", text_of(member(server, "address")), "v2.example.net");
        expect("port", int_of(member(server, "port")), "443");
        if (!user_members.empty())
            expect("user", members(only_element(member(server, "users"))), user_members);
        json_object *flow_holder = list == std::string("vnext") ? only_element(member(server, "users")) : server;
        if (flow)
            expect("flow", text_of(member(flow_holder, "flow")), "xtls-rprx-direct");
    }

    json_object *stream = member(outbound, "streamSettings");
    expect("streamSettings", members(stream), stream_members);
    expect("network", text_of(member(stream, "network")), network);
    expect("security", text_of(member(stream, "security")), security);
    if (tls)
        expect("tlsSettings", members(member(stream, "tlsSettings")), "fingerprint,allowInsecure,serverName");
    if (xtls)
        expect("xtlsSettings", members(member(stream, "xtlsSettings")), "allowInsecure,serverName");
    if (grpc) {
        json_object *grpc_settings = member(stream, transport);
        expect("grpcSettings", members(grpc_settings), "serviceName,multiMode");
        expect("multiMode", boolean_of(member(grpc_settings, "multiMode")), mux.reading != 0 ? "true" : "false");
    }
    if (with_mux) {
        json_object *mux_object = member(outbound, "mux");
        expect("mux", members(mux_object), "enabled,concurrency");
        expect("mux enabled", boolean_of(member(mux_object, "enabled")), "true");
        expect("mux concurrency", int_of(member(mux_object, "concurrency")), "8");
    }
    json_object_put(root);
}

// One gtest case per protocol keeps the per-process overhead low: each runs
// the binary once per combination of the other three.
TEST_P(V2raySweep, SecurityNetworkMux)
{
    int runs = 0;
    for (const std::string &security : SECURITIES)
        for (const std::string &network : NETWORKS)
            for (const MuxSwitch &mux : MUX_SWITCHES) {
                run_one(GetParam(), security, network, mux);
                runs++;
            }
    EXPECT_EQ(runs, 160);
    std::ostringstream report;
    for (size_t i = 0; i < faults.size() && i < 40; i++)
        report << faults[i] << "\n";
    EXPECT_TRUE(faults.empty()) << faults.size() << " faults:\n" << report.str();
}

INSTANTIATE_TEST_SUITE_P(Protocols, V2raySweep,
                         testing::Values("vmess", "vless", "trojan", "ss", "socks", "http", "VMess", ""),
                         [](const testing::TestParamInfo<std::string> &info) {
                             return info.param.empty() ? std::string("unset")
                                    : info.param == "VMess" ? std::string("other")
                                                            : info.param;
                         });

} // namespace
