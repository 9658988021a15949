// hysteria2:// (and hy2://) links, Hysteria 2's own URI and what panels add
// to it, for tarvick-node xray's document only:
//
//   hysteria2://AUTH@host[:port[,port|from-to...]]/?sni=&insecure=&obfs=salamander
//               &obfs-password=&pinSHA256=&alpn=&fp=&vcn=&mport=&up=&down=&fm=#REMARK
//
// Several ports (or mport) are the ports to hop over; up and down without a
// unit are Mbit/s, as the clients that write them mean; fm is Xray's whole
// final mask, of which Salamander, the hop ports and the rates are carried.
#include "node.h"

#include <json-c/json.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace {

// One value that may be said in more than one place of a link: each must
// say the same, or none.
int said_once(NodeLink *link, const char **value, const char *other, const char *what)
{
    if (!other || !other[0])
        return 0;
    if ((*value)[0] && strcmp(*value, other) != 0)
        return node_refuse(link, "the link names two %s: %s and %s", what, *value, other);
    *value = other;
    return 0;
}

// What the final mask (fm) says, where the node carries it: one Salamander
// mask, the hop ports and the rates. Anything else in it is refused.
struct HysteriaMask {
    const char *salamander; // NULL without the mask, "" for a mask without a password
    const char *ports, *up, *down;
};

const char *mask_text(json_object *value)
{
    return json_object_is_type(value, json_type_string) ? json_object_get_string(value) : NULL;
}

int mask_read(NodeLink *link, json_object *root, HysteriaMask *mask)
{
    if (!json_object_is_type(root, json_type_object))
        return node_refuse(link, "fm is not a JSON object");
    json_object_object_foreach(root, name, value) {
        if (strcmp(name, "udp") == 0 && json_object_is_type(value, json_type_array)) {
            size_t count = json_object_array_length(value);
            json_object *item = count == 1 ? json_object_array_get_idx(value, 0) : NULL;
            json_object *type = NULL, *settings = NULL, *password = NULL;
            if (count == 0)
                continue;
            if (!item || !json_object_object_get_ex(item, "type", &type) ||
                !mask_text(type) || strcmp(mask_text(type), "salamander") != 0 ||
                json_object_object_length(item) != 1 + (int)json_object_object_get_ex(item, "settings", &settings))
                return node_refuse(link, "fm udp masks other than one salamander cannot be carried");
            mask->salamander = "";
            if (!settings)
                continue;
            bool has_password = json_object_object_get_ex(settings, "password", &password);
            if (!json_object_is_type(settings, json_type_object) ||
                json_object_object_length(settings) != (int)has_password || (has_password && !mask_text(password)))
                return node_refuse(link, "fm salamander settings other than a password cannot be carried");
            mask->salamander = has_password ? mask_text(password) : "";
        } else if (strcmp(name, "quicParams") == 0 && json_object_is_type(value, json_type_object)) {
            json_object_object_foreach(value, param, setting) {
                json_object *ports = NULL;
                const char **into = strcmp(param, "brutalUp") == 0     ? &mask->up
                                    : strcmp(param, "brutalDown") == 0 ? &mask->down
                                                                       : NULL;
                if (into && mask_text(setting)) {
                    *into = mask_text(setting);
                } else if (strcmp(param, "udpHop") == 0 && json_object_is_type(setting, json_type_object) &&
                           json_object_object_length(setting) == 1 &&
                           json_object_object_get_ex(setting, "ports", &ports) && mask_text(ports)) {
                    mask->ports = mask_text(ports);
                } else {
                    return node_refuse(link, "fm quicParams member %s cannot be carried as it stands", param);
                }
            }
        } else if (!(strcmp(name, "tcp") == 0 && json_object_is_type(value, json_type_array) &&
                     json_object_array_length(value) == 0)) {
            return node_refuse(link, "fm member %s cannot be carried", name);
        }
    }
    return 0;
}

// A rate without a unit is Mbit/s in links; Xray would read it as bit/s.
const char *rate_text(const char *rate, char *buffer, size_t size)
{
    if (rate[0] && strspn(rate, "0123456789.") == strlen(rate)) {
        snprintf(buffer, size, "%s mbps", rate);
        return buffer;
    }
    return rate;
}

// The host and its ports: "host", "host:443", "[v6]:443,5000-6000". The
// first port is the node's; a list is hopped over.
int hysteria_authority(NodeLink *link, char *authority, const char **hop)
{
    char *close = authority[0] == '[' ? strchr(authority, ']') : NULL;
    char *colon = close ? (close[1] == ':' ? close + 1 : NULL) : strrchr(authority, ':');
    const char *ports = colon ? colon + 1 : "443";
    *hop = strpbrk(ports, ",-") ? ports : "";
    char first[8];
    size_t first_length = strcspn(ports, ",-");
    if (first_length >= sizeof first)
        return node_refuse(link, "bad port '%s'", ports);
    memcpy(first, ports, first_length);
    first[first_length] = '\0';
    if (colon)
        *colon = '\0';
    char text[320];
    if (snprintf(text, sizeof text, "%s:%s", authority, first) >= (int)sizeof text)
        return node_refuse(link, "host too long");
    return link_set_server(link, text);
}

} // namespace

int link_read_hysteria2(NodeLink *link, char *text, size_t)
{
    link->type = 2;
    if (!link->for_xray)
        return link_refuse_xray_only(link, "protocol", "hysteria2");
    LinkQuery query;
    char *user, *authority = link_split(link, text, &query, &user);
    if (!authority)
        return -1;
    if (!user)
        return node_refuse(link, "no auth before @host:port");
    size_t auth_length = link_percent_decode(text, strlen(text));
    const char *hop;
    if (auth_length == 0)
        return node_refuse(link, "no auth");
    if (hysteria_authority(link, authority, &hop) != 0)
        return -1;

    LinkTransport t;
    link_transport_clear(&t);
    const char *security = link_query_get(&query, "security");
    if (security[0] && strcmp(security, "tls") != 0)
        return node_refuse(link, "security %s: Hysteria runs over TLS only", security);
    if (link_verify_switch(link, &t, "insecure", link_query_get(&query, "insecure"), true) != 0)
        return -1;
    if (link_query_get(&query, "ech")[0])
        return node_refuse(link, "%s cannot be carried by the documents", "an ECH configuration");

    HysteriaMask mask = {NULL, "", "", ""};
    const char *fm = link_query_get(&query, "fm");
    json_object *root = fm[0] ? json_tokener_parse(fm) : NULL;
    if (fm[0] && !root)
        return node_refuse(link, "fm is not JSON");
    int rc = root ? mask_read(link, root, &mask) : 0;

    const char *obfs = link_query_get(&query, "obfs"), *obfs_password = link_query_get(&query, "obfs-password");
    bool salamander = strcasecmp(obfs, "salamander") == 0;
    char up_buffer[48], down_buffer[48];
    const char *up = rate_text(link_query_get(&query, "up"), up_buffer, sizeof up_buffer);
    const char *down = rate_text(link_query_get(&query, "down"), down_buffer, sizeof down_buffer);
    const char *password = salamander ? obfs_password : "";
    if (rc == 0 && obfs[0] && !salamander)
        rc = node_refuse(link, "obfs %s is not salamander, the one Hysteria 2 has", obfs);
    else if (rc == 0 && obfs_password[0] && !salamander)
        rc = node_refuse(link, "obfs-password without obfs=salamander");
    // fm and the link's own parameters make one mask: each said value agrees.
    if (rc == 0)
        rc = said_once(link, &password, mask.salamander, "Salamander passwords") |
             said_once(link, &hop, link_query_get(&query, "mport"), "port lists to hop over") |
             said_once(link, &hop, link_query_get(&query, "mports"), "port lists to hop over") |
             said_once(link, &hop, mask.ports, "port lists to hop over") |
             said_once(link, &up, mask.up, "upload rates") | said_once(link, &down, mask.down, "download rates");
    if (rc == 0 && (salamander || mask.salamander) && !password[0])
        rc = node_refuse(link, "obfs salamander without its password (obfs-password)");
    const char *sni = link_query_get(&query, "sni"), *pins = link_query_get(&query, "pinSHA256");
    if (rc == 0)
        rc = node_set_text(link, "v2ray_protocol", "hysteria2") | node_set_text(link, "v2ray_network", "hysteria") |
             node_set_text(link, "v2ray_network_security", "tls") |
             node_set_password(link, text, auth_length) |
             node_set_text(link, "v2ray_network_tlshost", link_or_default(sni, node_get(link, "server"))) |
             node_set_text(link, "v2ray_fingerprint", link_query_get(&query, "fp")) |
             node_set_text(link, "v2ray_tls_alpn", link_query_get(&query, "alpn")) |
             node_set_text(link, "v2ray_tls_pinned_sha256", pins) |
             node_set_text(link, "v2ray_tls_verify_names", link_query_get(&query, "vcn")) |
             node_set_text(link, "v2ray_hysteria_obfs_password", password) |
             node_set_text(link, "v2ray_hysteria_hop_ports", hop) | node_set_text(link, "v2ray_hysteria_up", up) |
             node_set_text(link, "v2ray_hysteria_down", down) | node_set_text(link, "v2ray_mux_enable", "0");
    json_object_put(root);
    if (rc != 0)
        return -1;
    // What tarvick-node xray would refuse is refused now, with its words.
    static const char *const CHECKED[] = {
        "v2ray_tls_alpn", "v2ray_tls_pinned_sha256", "v2ray_tls_verify_names", "v2ray_hysteria_obfs_password",
        "v2ray_hysteria_hop_ports", "v2ray_hysteria_up", "v2ray_hysteria_down",
    };
    for (const char *field : CHECKED)
        if (link_check(link, field) != 0)
            return -1;
    node_warn(link, "this node needs tarvick-node xray: tarvick cannot write it");
    if (t.verify == LINK_VERIFY_SKIP && !pins[0])
        node_warn(link, "insecure dropped: tarvick-node xray verifies the certificate (pin a self-signed one with "
                        "pinSHA256=)");
    link_query_warn_unused(link, &query, "V2Ray/Xray");
    return 0;
}

int link_write_hysteria2(NodeLink *node, NodeText *out)
{
    // In the order of Hysteria 2's URI, then what panels add; Salamander's
    // password comes with the obfs it is for.
    static const LinkParamField PARAMS[] = {
        {"sni", "v2ray_network_tlshost"}, {"obfs=salamander&obfs-password", "v2ray_hysteria_obfs_password"},
        {"pinSHA256", "v2ray_tls_pinned_sha256"}, {"alpn", "v2ray_tls_alpn"}, {"fp", "v2ray_fingerprint"},
        {"vcn", "v2ray_tls_verify_names"}, {"mport", "v2ray_hysteria_hop_ports"}, {"up", "v2ray_hysteria_up"},
        {"down", "v2ray_hysteria_down"},
    };
    return link_write_keyed(node, out, "hysteria2://", PARAMS, sizeof PARAMS / sizeof PARAMS[0]);
}
