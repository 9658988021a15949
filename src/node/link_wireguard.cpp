// wireguard:// (and wg://) links as v2rayN and the panels (3x-ui, Xboard)
// write them, for tarvick-node xray's document only: the private key as the
// user, the server as the one peer's endpoint.
//
//   wireguard://PRIVATE_KEY@host:port/?publickey=&presharedkey=&address=
//               &mtu=&reserved=&keepalive=#REMARK
#include "node.h"
#include "xray.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Link parameters and the keys they fill, in the order export writes them.
const LinkParamField WIREGUARD_PARAMS[] = {
    {"publickey", "v2ray_wireguard_publickey"}, {"presharedkey", "v2ray_wireguard_presharedkey"},
    {"address", "v2ray_wireguard_address"},     {"mtu", "v2ray_wireguard_mtu"},
    {"reserved", "v2ray_wireguard_reserved"},   {"keepalive", "v2ray_wireguard_keepalive"},
};

} // namespace

int link_read_wireguard(NodeLink *link, char *text, size_t)
{
    link->type = 2;
    if (!link->for_xray)
        return link_refuse_xray_only(link, "protocol", "wireguard");
    LinkQuery query;
    char *user, *authority = link_split(link, text, &query, &user);
    if (!authority)
        return -1;
    if (!user)
        return node_refuse(link, "no private key before @host:port");
    size_t key_length = link_percent_decode(text, strlen(text));
    if (link_set_server(link, authority) != 0)
        return -1;
    int rc = node_set_text(link, "v2ray_protocol", "wireguard") | node_set_password(link, text, key_length) |
             node_set_text(link, "v2ray_mux_enable", "0");
    for (const auto &param : WIREGUARD_PARAMS)
        rc |= node_set_text(link, param.field, link_query_get(&query, param.param));
    if (rc != 0)
        return -1;
    if (!xray_wireguard_key(text))
        return node_refuse(link, "the private key is not a WireGuard key (44 characters of Base64, or 64 hex digits)");
    for (const auto &param : WIREGUARD_PARAMS)
        if (link_check(link, param.field) != 0)
            return -1;
    node_warn(link, "this node needs tarvick-node xray: tarvick cannot write it");
    link_query_warn_unused(link, &query, "V2Ray/Xray");
    return 0;
}

int link_write_wireguard(NodeLink *node, NodeText *out)
{
    return link_write_keyed(node, out, "wireguard://", WIREGUARD_PARAMS,
                            sizeof WIREGUARD_PARAMS / sizeof WIREGUARD_PARAMS[0]);
}
