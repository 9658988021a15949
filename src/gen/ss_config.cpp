// Shadowsocks (ss-local/ss-redir) and ShadowsocksR documents: one flat object.
#include "document.h"
#include "store.h"
#include "tarvick.h"

#include <string.h>

namespace {

// A KCP node is reached through the local KCP tunnel, not its own address.
const char KCP_REDIRECT_SERVER[] = "127.0.0.1";
const int KCP_REDIRECT_PORT = 1091;
// The add-on passes this second port when it wants the transparent ss-redir.
const int SS_REDIR_PORT = 3333;

const char *ss_mode(const char *proto)
{
    if (strcmp(proto, "tcp,udp") == 0)
        return "tcp_and_udp";
    if (strcmp(proto, "udp") == 0)
        return "udp_only";
    return "tcp_only";
}

} // namespace

int write_ss_config(const GeneratorArgs *args, GeneratorRun *run)
{
    Document doc;
    json_object *root = doc.root;
    StoreLookup lookup;
    store_lookup_init(&lookup, args->node, run->source);

    bool kcp_redirect = store_lookup_switch(&lookup, "ssconf_basic_use_kcp_%d");
    bool reuse_port = store_port_reuse(&lookup);
    bool shadowsocks = args->kind == PROXY_SHADOWSOCKS;

    if (kcp_redirect) {
        doc_string(root, "server", KCP_REDIRECT_SERVER);
        doc_int(root, "server_port", KCP_REDIRECT_PORT);
    } else {
        doc_string(root, "server", store_lookup(&lookup, "ssconf_basic_server_%d"));
        doc_int(root, "server_port", store_lookup_int(&lookup, "ssconf_basic_port_%d"));
    }
    doc_string(root, "local_address", "0.0.0.0");
    doc_int(root, "local_port", args->local_port);
    doc_string(root, "mode", ss_mode(args->proto));
    doc_password(root, "password", store_lookup(&lookup, "ssconf_basic_password_%d"));
    doc_int(root, "timeout", 600);
    doc_string(root, "method", store_lookup(&lookup, "ssconf_basic_method_%d"));

    if (shadowsocks) {
        const char *plugin = store_lookup(&lookup, "ssconf_basic_ss_obfs_%d");
        if (plugin[0] != '\0' && strcmp(plugin, "none") != 0) {
            doc_string(root, "plugin", plugin);
            doc_string(root, "plugin_opts", store_lookup(&lookup, "ssconf_basic_ss_obfs_host_%d"));
        }
        doc_bool(root, "fast_open", false);
        doc_bool(root, "reuse_port", reuse_port);
        doc_string(root, "protocol", args->second_port == SS_REDIR_PORT ? "redir" : "socks");
    } else {
        doc_string(root, "protocol", store_lookup(&lookup, "ssconf_basic_ssr_protocol_%d"));
        doc_string(root, "protocol_param", store_lookup(&lookup, "ssconf_basic_ssr_protocol_param_%d"));
        doc_string(root, "obfs", store_lookup(&lookup, "ssconf_basic_ssr_obfs_%d"));
        doc_string(root, "obfs_param", store_lookup(&lookup, "ssconf_basic_ssr_obfs_param_%d"));
        doc_bool(root, "fast_open", false);
        doc_bool(root, "reuse_port", reuse_port);
    }
    return write_document(root, args->path, run->source);
}
