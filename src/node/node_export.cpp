// tarvick-node export: a node of the settings store as one share link, and
// optionally as a QR code to scan from a phone.
#include "node.h"
#include "tarvick.h"
#include "v2ray_names.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// What no link can say is told first: tarvick reads no server for such a
// node, so the server checks would only hide the reason.
static int link_write_checked(NodeLink *node, NodeText *out, int (*write)(NodeLink *, NodeText *), const char *secret,
                              const char *method)
{
    const char *server = node_get(node, "server");
    if (!server[0])
        return node_refuse(node, "the node has no server");
    // A link that imports as another node is worse than none.
    if (!link_host_valid(server))
        return node_refuse(node, "the server '%s' cannot stand in a link as a host", server);
    if (link_port(node_get(node, "port")) < 0)
        return node_refuse(node, "the node's port '%s' is not 1 to 65535", node_get(node, "port"));
    // A link with an empty secret imports as no node at all (without a
    // secret, an account is the proxy's choice: none is a node too); a
    // method with a colon would be cut at it.
    const char *stored = secret ? node_get(node, secret) : NULL;
    bool password = secret && strcmp(secret, "password") == 0;
    char *decoded = password ? decode_base64(stored) : NULL;
    bool empty = decoded ? decoded[0] == '\0' : stored && stored[0] == '\0';
    free(decoded);
    if (empty)
        return node_refuse(node, "the node has no %s", password ? "password" : "id");
    const char *method_text = method ? node_get(node, method) : NULL;
    if (method_text && (!method_text[0] || strchr(method_text, ':')))
        return node_refuse(node, "the node's method '%s' cannot stand in a link", method_text);
    return write(node, out);
}

static int link_write_any(NodeLink *node, NodeText *out)
{
    // The client then talks to the local KCP tunnel, not to the server (a
    // node without the setting reads as 0).
    if ((node->type == 0 || node->type == 1) && text_to_int(node_get(node, "use_kcp")) == 1)
        return node_refuse(node, "the node runs through the KCP tunnel (use_kcp 1), which no link can say");
    switch (node->type) {
    case 0:
        return link_write_checked(node, out, link_write_ss, "password", "method");
    case 1:
        return link_write_checked(node, out, link_write_ssr, "password", NULL);
    case 3:
        return link_write_checked(node, out, link_write_trojan, "password", NULL);
    default:
        break;
    }
    // Each V2Ray/Xray protocol's link, with the secret and method it needs.
    static const struct {
        const char *protocol;
        int (*write)(NodeLink *, NodeText *);
        const char *secret, *method;
    } V2RAY_LINKS[] = {
        {"vmess", link_write_vmess, "v2ray_uuid", NULL},
        {"vless", link_write_vless, "v2ray_uuid", NULL},
        {"trojan", link_write_trojan, "password", NULL},
        {"ss", link_write_ss, "password", "v2ray_ss_method"},
        {"socks", link_write_proxy, NULL, NULL},
        {"http", link_write_proxy, NULL, NULL},
    };
    const char *protocol = node_get(node, "v2ray_protocol");
    for (const auto &row : V2RAY_LINKS)
        if (strcmp(protocol, row.protocol) == 0)
            return link_write_checked(node, out, row.write, row.secret, row.method);
    // Current Xray's own kinds have a link only as tarvick-node xray reads them.
    const V2rayName *row = v2ray_protocol(protocol);
    int kind = row && !v2ray_writes(row, DOC_TARVICK) ? (int)row->value : (int)OUTBOUND_OTHER;
    if (kind == OUTBOUND_HYSTERIA2 || kind == OUTBOUND_WIREGUARD)
        return !node_has(node, kind == OUTBOUND_HYSTERIA2 ? "v2ray_hysteria_hop_ports" : "v2ray_wireguard_address")
                   ? node_refuse(node, "protocol %s has a link only as tarvick-node xray reads it (export xray)",
                                 protocol)
                   : link_write_checked(node, out, kind == OUTBOUND_HYSTERIA2 ? link_write_hysteria2
                                                                             : link_write_wireguard,
                                        "password", NULL);
    return node_refuse(node, "protocol '%s' has no share link", protocol);
}

int link_write(NodeLink *node, NodeText *out)
{
    if (link_write_any(node, out) != 0)
        return -1;
    // What export writes, import takes: a link it would refuse is refused
    // here, with its reason.
    ImportCache *cache = import_cache_new(true);
    char *copy = cache ? strdup(out->data) : NULL;
    NodeLink link, again;
    const char *scheme;
    int rc = copy ? node_read_link(cache, copy, out->length, 1, &link, &again, &scheme) : -1;
    if (rc != 0)
        node_refuse(node, "its link would not import: %s",
                    !copy ? "out of memory" : link.reason[0] ? link.reason : again.reason);
    if (copy) {
        node_link_clear(&link);
        node_link_clear(&again);
    }
    free(copy);
    import_cache_free(cache);
    return rc == 0 ? 0 : -1;
}

int node_export(int argc, char **argv)
{
    NodeTarget target;
    if (node_parse_target(argc, argv, "--qr", false, &target) != 0)
        return NODE_USAGE;
    if (target.option && !node_has_qr()) {
        fprintf(stderr, "tarvick-node: built without QR codes (libqrencode)\n");
        return NODE_USAGE_SAID;
    }
    StoreSource daemon = store_daemon();
    int node;
    if (node_target_index(&target, &daemon, &node) != 0)
        return NODE_REFUSED;
    NodeLink settings;
    node_link_init(&settings);
    NodeText link;
    int rc = node_record(&settings, target.type, node, &daemon, target.document);
    if (rc == 0)
        rc = link_write(&settings, &link);
    if (rc != 0)
        fprintf(stderr, "tarvick-node: node %d type %s: %s\n", node, target.type_name, settings.reason);
    node_link_clear(&settings);
    if (rc != 0)
        return NODE_REFUSED;
    printf("%s\n", link.data);
    if (target.option && node_draw_qr(link.data) != 0) {
        fprintf(stderr, "tarvick-node: the link is too long for a QR code\n");
        return NODE_REFUSED;
    }
    return NODE_OK;
}
