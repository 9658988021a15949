// Each generator end to end, with a settings source that answers every key
// with fuzzed bytes. The written file must be one line of json-c's spaced
// text that parses back to the same text, and every member that carries a
// stored setting must hold exactly the value served (decoded where the
// document calls for it).
//
// Input: a byte choosing the generator, the node and the transport list, a
// byte choosing the ports, then the values, separated by NUL bytes; lookups
// take the values in turn, starting again at the first when they run out.
#include "reference.h"
#include "store.h"
#include "tarvick.h"
#include "xray.h"

#include <json-c/json.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace {

std::vector<std::string> served_values;
size_t next_value;
// Every value handed out per key, as the caller's buffer holds it.
std::map<std::string, std::vector<std::string>> served;

} // namespace

// Stands in for the socket client: same contract, in memory.
int store_get(const char *key, ValueBuffer *value, bool *)
{
    std::string text = served_values.empty() ? "" : served_values[next_value++ % served_values.size()];
    if (text != "none\n")
        snprintf(value->text, sizeof value->text, "%s", text.c_str());
    served[key].push_back(value->text);
    return 0;
}

namespace {

enum Transform { TEXT, PASSWORD, INTEGER, FINGERPRINT, PROTOCOL };

struct MemberRule {
    const char *path;
    const char *pattern; // the setting the member is made from
    Transform transform;
};

const MemberRule SS_RULES[] = {
    {"server", "ssconf_basic_server_%d", TEXT},
    {"server_port", "ssconf_basic_port_%d", INTEGER},
    {"password", "ssconf_basic_password_%d", PASSWORD},
    {"method", "ssconf_basic_method_%d", TEXT},
    {"plugin", "ssconf_basic_ss_obfs_%d", TEXT},
    {"plugin_opts", "ssconf_basic_ss_obfs_host_%d", TEXT},
    {"protocol", "ssconf_basic_ssr_protocol_%d", TEXT},
    {"protocol_param", "ssconf_basic_ssr_protocol_param_%d", TEXT},
    {"obfs", "ssconf_basic_ssr_obfs_%d", TEXT},
    {"obfs_param", "ssconf_basic_ssr_obfs_param_%d", TEXT},
};

const MemberRule TROJAN_RULES[] = {
    {"remote_addr", "ssconf_basic_server_%d", TEXT},
    {"remote_port", "ssconf_basic_port_%d", INTEGER},
    {"password/0", "ssconf_basic_password_%d", PASSWORD},
    {"ssl/sni", "ssconf_basic_trojan_sni_%d", TEXT},
    {"mux/concurrency", "ssconf_basic_trojan_mulprocess_%d", INTEGER},
};

const MemberRule V2RAY_RULES[] = {
    {"outbound/protocol", "ssconf_basic_v2ray_protocol_%d", PROTOCOL},
    {"outbound/settings/vnext/0/address", "ssconf_basic_server_%d", TEXT},
    {"outbound/settings/vnext/0/port", "ssconf_basic_port_%d", INTEGER},
    {"outbound/settings/vnext/0/users/0/id", "ssconf_basic_v2ray_uuid_%d", TEXT},
    {"outbound/settings/vnext/0/users/0/alterId", "ssconf_basic_v2ray_alterid_%d", INTEGER},
    {"outbound/settings/vnext/0/users/0/security", "ssconf_basic_v2ray_security_%d", TEXT},
    {"outbound/settings/vnext/0/users/0/flow", "ssconf_basic_v2ray_network_flow_%d", TEXT},
    {"outbound/settings/servers/0/address", "ssconf_basic_server_%d", TEXT},
    {"outbound/settings/servers/0/port", "ssconf_basic_port_%d", INTEGER},
    {"outbound/settings/servers/0/password", "ssconf_basic_password_%d", PASSWORD},
    {"outbound/settings/servers/0/flow", "ssconf_basic_v2ray_network_flow_%d", TEXT},
    {"outbound/settings/servers/0/method", "ssconf_basic_v2ray_ss_method_%d", TEXT},
    {"outbound/settings/servers/0/users/0/user", "ssconf_basic_username_%d", TEXT},
    {"outbound/settings/servers/0/users/0/pass", "ssconf_basic_password_%d", PASSWORD},
    {"outbound/streamSettings/network", "ssconf_basic_v2ray_network_%d", TEXT},
    {"outbound/streamSettings/security", "ssconf_basic_v2ray_network_security_%d", TEXT},
    {"outbound/streamSettings/tlsSettings/fingerprint", "ssconf_basic_v2ray_fingerprint_%d", FINGERPRINT},
    {"outbound/streamSettings/tlsSettings/serverName", "ssconf_basic_v2ray_network_tlshost_%d", TEXT},
    {"outbound/streamSettings/xtlsSettings/serverName", "ssconf_basic_v2ray_network_tlshost_%d", TEXT},
    {"outbound/streamSettings/tcpSettings/header/request/headers/Host", "ssconf_basic_v2ray_network_host_%d", TEXT},
    {"outbound/streamSettings/kcpSettings/header/type", "ssconf_basic_v2ray_headtype_tcp_%d", TEXT},
    {"outbound/streamSettings/wsSettings/path", "ssconf_basic_v2ray_network_path_%d", TEXT},
    {"outbound/streamSettings/wsSettings/headers/Host", "ssconf_basic_v2ray_network_host_%d", TEXT},
    {"outbound/streamSettings/httpSettings/path", "ssconf_basic_v2ray_network_path_%d", TEXT},
    {"outbound/streamSettings/httpSettings/host", "ssconf_basic_v2ray_network_host_%d", TEXT},
    {"outbound/streamSettings/quicSettings/security", "ssconf_basic_v2ray_quic_security_%d", TEXT},
    {"outbound/streamSettings/quicSettings/key", "ssconf_basic_v2ray_quic_key_%d", TEXT},
    {"outbound/streamSettings/quicSettings/header/type", "ssconf_basic_v2ray_quic_guise_%d", TEXT},
    {"outbound/streamSettings/grpcSettings/serviceName", "ssconf_basic_v2ray_grpc_serviceName_%d", TEXT},
    {"outbound/mux/concurrency", "ssconf_basic_v2ray_mux_concurrency_%d", INTEGER},
};

[[noreturn]] void fail(const char *what, const std::string &detail)
{
    fprintf(stderr, "generator fuzz: %s: %s\n", what, detail.c_str());
    abort();
}

void collect(json_object *value, const std::string &path, std::map<std::string, json_object *> *leaves)
{
    switch (json_object_get_type(value)) {
    case json_type_object: {
        json_object_object_foreach(value, name, member)
            collect(member, path.empty() ? name : path + "/" + name, leaves);
        break;
    }
    case json_type_array:
        for (size_t i = 0; i < json_object_array_length(value); i++)
            collect(json_object_array_get_idx(value, i), path + "/" + std::to_string(i), leaves);
        break;
    case json_type_string:
    case json_type_int:
    case json_type_boolean:
        (*leaves)[path] = value;
        break;
    default:
        fail("a kind of value no generator makes", path);
    }
}

void check_member(const MemberRule &rule, int node, json_object *member)
{
    char key[KEY_BUFFER_SIZE];
    snprintf(key, sizeof key, rule.pattern, node);
    auto seen = served.find(key);
    if (seen == served.end())
        return; // a branch that did not read this setting
    const std::string &last = seen->second.back();
    if (rule.transform == INTEGER) {
        if (!json_object_is_type(member, json_type_int) || json_object_get_int64(member) != reference_int(last.c_str()))
            fail("integer member differs from the served value", rule.path);
        return;
    }
    std::string expected = last;
    if (rule.transform == PASSWORD)
        expected = reference_base64(last).c_str(); // the text ends at a decoded NUL
    else if (rule.transform == FINGERPRINT && last.empty())
        expected = "disable";
    else if (rule.transform == PROTOCOL && seen->second.front() == "ss")
        expected = "shadowsocks";
    if (!json_object_is_type(member, json_type_string))
        fail("text member is not a string", rule.path);
    std::string written(json_object_get_string(member), (size_t)json_object_get_string_len(member));
    if (written != expected)
        fail("text member differs from the served value", rule.path);
}

const char *const PROTOS[] = {"tcp,udp", "tcp", "udp", "nat", ""};
const int NODES[] = {1, 0, -1, INT_MAX, INT_MIN, 42, 7, 3};

std::string output_path()
{
    char path[64];
    snprintf(path, sizeof path, "%s/tarvick-fuzz-%d.json", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp",
             (int)getpid());
    return path;
}

// The written file: one line of json-c's spaced text holding one object.
json_object *read_document(const std::string &path)
{
    FILE *file = fopen(path.c_str(), "r");
    if (!file)
        fail("no file written", path);
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    fclose(file);

    if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1)
        fail("the file is not one line", text);
    std::string line = text.substr(0, text.size() - 1);
    json_tokener *tokener = json_tokener_new();
    json_object *root = json_tokener_parse_ex(tokener, line.c_str(), (int)line.size());
    bool whole = json_tokener_get_error(tokener) == json_tokener_success &&
                 json_tokener_get_parse_end(tokener) == line.size();
    json_tokener_free(tokener);
    if (!root || !whole || !json_object_is_type(root, json_type_object))
        fail("the file does not parse back to one object", line);
    if (line != json_object_to_json_string_ext(root, JSON_C_TO_STRING_SPACED))
        fail("the text is not json-c's spaced form of what it holds", line);
    return root;
}

// tarvick-node's writer for current Xray, over the same values from the
// first: a document as above, or one line of refusal and no file.
void check_xray(const GeneratorArgs *args)
{
    next_value = 0;
    served.clear();
    unlink(args->path);
    StoreSource source = store_daemon();
    GeneratorRun run = {&source, ""};
    int rc = write_xray_config(args, &run);
    if (rc == GENERATOR_REFUSED) {
        if (!run.refusal[0] || strchr(run.refusal, '\n') || access(args->path, F_OK) == 0)
            fail("a refusal that is not one line, or with a file", run.refusal);
        return;
    }
    if (rc != GENERATOR_WRITTEN)
        fail("the xray writer failed", "");
    json_object_put(read_document(args->path));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    static const std::string path = output_path();
    int kind = data[0] & 3;
    int node = NODES[(data[0] >> 2) & 7];
    const char *proto = PROTOS[(data[0] >> 5) % 5];
    int local_port = data[1] & 1 ? 1 + (data[1] >> 1) * 257 : 1080;
    int second_port = data[1] & 2 ? 3333 : data[1] & 4 ? INT_MAX : 1081;

    served_values.clear();
    served.clear();
    next_value = 0;
    std::string rest((const char *)data + 2, size - 2);
    for (size_t start = 0; start <= rest.size();) {
        size_t end = rest.find('\0', start);
        if (end == std::string::npos)
            end = rest.size();
        served_values.push_back(rest.substr(start, end - start));
        start = end + 1;
    }

    unlink(path.c_str());
    GeneratorArgs args = {kind, node, path.c_str(), local_port, second_port, proto};
    const Generator generators[] = {write_ss_config, write_ss_config, write_v2ray_config, write_trojan_config};
    StoreSource source = store_daemon();
    GeneratorRun run = {&source, ""};
    if (kind == PROXY_V2RAY) {
        check_xray(&args);
        next_value = 0;
        served.clear();
        unlink(path.c_str());
    }
    if (generators[kind](&args, &run) != 0) {
        // Only a security the V2Ray/Xray document cannot carry is refused,
        // and then the file is not touched.
        char key[KEY_BUFFER_SIZE];
        snprintf(key, sizeof key, "ssconf_basic_v2ray_network_security_%d", node);
        auto security = served.find(key);
        if (kind != PROXY_V2RAY || security == served.end())
            fail("generator failed", "");
        const std::string &text = security->second.front();
        if (text.empty() || text == "none" || text == "tls" || text == "xtls")
            fail("generator refused a security it writes", text);
        if (access(path.c_str(), F_OK) == 0)
            fail("a refused node's file was written", path);
        return 0;
    }

    json_object *root = read_document(path);
    std::map<std::string, json_object *> leaves;
    collect(root, "", &leaves);
    const MemberRule *rules = kind == PROXY_V2RAY ? V2RAY_RULES : kind == PROXY_TROJAN ? TROJAN_RULES : SS_RULES;
    size_t count = kind == PROXY_V2RAY ? sizeof V2RAY_RULES / sizeof *V2RAY_RULES
                   : kind == PROXY_TROJAN ? sizeof TROJAN_RULES / sizeof *TROJAN_RULES
                                          : sizeof SS_RULES / sizeof *SS_RULES;
    for (size_t i = 0; i < count; i++) {
        auto member = leaves.find(rules[i].path);
        if (member != leaves.end())
            check_member(rules[i], node, member->second);
    }
    if (kind == PROXY_V2RAY) {
        auto network = leaves.find("inbound/settings/network");
        if (network != leaves.end() && strcmp(json_object_get_string(network->second), proto) != 0)
            fail("inbound network differs from the transport list", proto);
    }
    json_object_put(root);
    return 0;
}
