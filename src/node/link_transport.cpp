// The V2Ray/Xray transport, TLS and verification a link names, in the one
// form vmess, vless, trojan and Shadowsocks links share, and how it becomes a
// node's settings (and comes back for export). A parameter that changes what
// the client sends is carried exactly or the link is refused; only what
// changes nothing may be dropped, each with a warning of its own.
#include "node.h"
#include "v2ray_names.h"
#include "xray.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool same(const char *a, const char *b)
{
    return strcmp(a, b) == 0;
}

bool has_control_byte(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        if (*p < 0x20 || *p == 0x7f)
            return true;
    return false;
}

// Xray takes certificate hashes in hex; some panels write them in Base64
// (of the 32 bytes), which is the same pin.
int link_set_pins(NodeLink *link, const char *pins)
{
    NodeText hex;
    bool converted = false, failed = false;
    // A list with an empty item is kept as it is, for the check that refuses it.
    bool whole = v2ray_each_item(pins, [&](const char *item, size_t length) {
        unsigned char hash[40];
        long got = -1;
        bool is_hex = v2ray_hex_digits(item, length) || memchr(item, ':', length);
        if (!is_hex && length >= 43 && length <= 44)
            got = decode_base64_strict(item, length, hash);
        if (hex.length)
            failed |= text_append_str(&hex, ",") != 0;
        if (got == 32) {
            converted = true;
            for (int i = 0; i < 32; i++)
                failed |= text_printf(&hex, "%02x", hash[i]) != 0;
        } else {
            failed |= text_append(&hex, item, length) != 0;
        }
        return true;
    });
    if (failed)
        return node_out_of_memory(link);
    return node_set_text(link, "v2ray_tls_pinned_sha256", converted && whole ? hex.data : pins);
}

} // namespace

// Export writes the parameters in this order, those marked READ_ONLY never:
// no document carries them. DEFAULTS marks what a plain ss link may state
// without saying anything (type=tcp, security=none, headerType=none).
const LinkQueryField LINK_QUERY_FIELDS[] = {
    LINK_QUERY_FIELD("security", security, LINK_FIELD_DEFAULTS),
    LINK_QUERY_FIELD("type", network, LINK_FIELD_DEFAULTS),
    LINK_QUERY_FIELD("headerType", header, LINK_FIELD_DEFAULTS),
    LINK_QUERY_FIELD("host", host, LINK_FIELD_NAME),
    LINK_QUERY_FIELD("path", path, LINK_FIELD_NAME),
    LINK_QUERY_FIELD("serviceName", service, LINK_FIELD_NAME),
    LINK_QUERY_FIELD("mode", mode, 0),
    LINK_QUERY_FIELD("quicSecurity", quic_security, 0),
    LINK_QUERY_FIELD("key", quic_key, 0),
    LINK_QUERY_FIELD("seed", seed, 0),
    LINK_QUERY_FIELD("sni", sni, LINK_FIELD_NAME),
    LINK_QUERY_FIELD("fp", fingerprint, LINK_FIELD_NAME),
    LINK_QUERY_FIELD("flow", flow, 0),
    LINK_QUERY_FIELD("alpn", alpn, LINK_FIELD_NAME),
    LINK_QUERY_FIELD("pbk", public_key, 0),
    LINK_QUERY_FIELD("sid", short_id, 0),
    LINK_QUERY_FIELD("spx", spider, LINK_FIELD_NAME),
    LINK_QUERY_FIELD("pcs", pinned, 0),
    LINK_QUERY_FIELD("vcn", names, LINK_FIELD_NAME),
    LINK_QUERY_FIELD("authority", authority, LINK_FIELD_NAME),
    LINK_QUERY_FIELD("extra", extra, 0),
    LINK_QUERY_FIELD("pqv", mldsa, 0),
    LINK_QUERY_FIELD("ech", ech, 0),
    LINK_QUERY_FIELD("fm", mask, LINK_FIELD_READ_ONLY),
};
const size_t LINK_QUERY_FIELD_COUNT = sizeof LINK_QUERY_FIELDS / sizeof LINK_QUERY_FIELDS[0];

void link_transport_clear(LinkTransport *t)
{
    memset(t, 0, sizeof *t);
    for (const LinkQueryField &field : LINK_QUERY_FIELDS)
        link_transport_member(t, field.offset) = "";
    t->verify = LINK_VERIFY_UNSAID;
}

const char *&link_transport_member(LinkTransport *t, size_t offset)
{
    return *(const char **)((char *)t + offset);
}

int link_verify_switch(NodeLink *link, LinkTransport *t, const char *name, const char *value, bool skip_when_true)
{
    if (!value[0])
        return 0;
    bool yes = same(value, "1") || same(value, "true"), no = same(value, "0") || same(value, "false");
    if (!yes && !no)
        return node_refuse(link, "%s '%s' is neither 1, 0, true nor false", name, value);
    int wanted = yes == skip_when_true ? LINK_VERIFY_SKIP : LINK_VERIFY_ASKED;
    if (t->verify != LINK_VERIFY_UNSAID && t->verify != wanted)
        return node_refuse(link, "the link asks both to verify the certificate and not to");
    t->verify = wanted;
    t->verify_said_by = name;
    return 0;
}

int link_query_transport(NodeLink *link, LinkQuery *query, LinkTransport *t)
{
    link_transport_clear(t);
    for (const LinkQueryField &field : LINK_QUERY_FIELDS)
        link_transport_member(t, field.offset) = link_query_get(query, field.param);
    // The names clients write certificate verification under, and whether
    // "true" there means not to verify.
    static const struct {
        const char *param;
        bool skip_when_true;
    } VERIFY_PARAMS[] = {
        {"allowInsecure", true}, {"allowinsecure", true}, {"insecure", true},
        {"skip-cert-verify", true}, {"verify_cert", false},
    };
    for (const auto &param : VERIFY_PARAMS)
        if (link_verify_switch(link, t, param.param, link_query_get(query, param.param), param.skip_when_true) != 0)
            return -1;
    return 0;
}

int link_set_transport(NodeLink *link, const LinkTransport *t, const char *server)
{
    const V2rayName *row = v2ray_link_network(t->network);
    if (!row)
        return node_refuse(link, "unknown network '%s'", t->network);
    const char *network = row->stored;
    bool xray = link->for_xray;
    if (!v2ray_writes(row, DOC_TARVICK) && !xray)
        return link_refuse_xray_only(link, "network", t->network);
    // A name with a control byte in it is no name any client sends.
    for (const LinkQueryField &field : LINK_QUERY_FIELDS)
        if ((field.use & LINK_FIELD_NAME) && has_control_byte(link_transport_member((LinkTransport *)t, field.offset)))
            return node_refuse(link, "%s '%s' holds a control byte, which no client takes in a name", field.param,
                               link_transport_member((LinkTransport *)t, field.offset));

    const char *security = link_or_default(t->security, "none");
    const V2rayName *security_row = v2ray_security(security);
    bool reality = security_row && security_row->value == SECURITY_REALITY;
    if (reality && !xray)
        return link_refuse_xray_only(link, "security", "reality");
    if (!security_row)
        return node_refuse(link, "unknown security '%s'", security);
    if (t->flow[0] && !same(security, "xtls")) {
        if (!xray || !v2ray_flow_vision(t->flow))
            return node_refuse(link, "flow %s over %s cannot be carried (the document sends a flow only with xtls%s)",
                               t->flow, security, xray ? ", or Vision over tls or reality" : "");
        if (same(security, "none"))
            return node_refuse(link, "flow %s needs tls or reality", t->flow);
        if (row->value != NETWORK_TCP)
            return node_refuse(link, "flow %s runs over tcp only, not %s", t->flow, network);
    }

    // The clients read a header type in any case (Hiddify writes None); the
    // node keeps the name as they take it.
    char header_name[32];
    const char *header = link_or_default(t->header, "none");
    if (strlen(header) < sizeof header_name) {
        for (size_t i = 0; i <= strlen(header); i++)
            header_name[i] = header[i] >= 'A' && header[i] <= 'Z' ? (char)(header[i] + 32) : header[i];
        header = header_name;
    }
    bool tcp = row->value == NETWORK_TCP, grpc = row->value == NETWORK_GRPC, quic = row->value == NETWORK_QUIC;
    bool xhttp = row->value == NETWORK_XHTTP;
    if (tcp && !v2ray_tcp_header(header))
        return node_refuse(link, "unknown TCP header type '%s'", header);
    // tarvick's document sends the HTTP header's request path "/" alone;
    // current Xray's carries the link's.
    if (!xray && tcp && same(header, "http") && t->path[0] && !same(t->path, "/"))
        return node_refuse(link, "TCP HTTP header path %s cannot be carried (the document sends /)", t->path);
    if (row->value == NETWORK_MKCP && t->seed[0])
        return node_refuse(link, "an mKCP seed cannot be carried by the V2Ray/Xray document");
    const char *mode = grpc ? link_or_default(t->mode, "gun") : t->mode;
    if (grpc && same(mode, "none")) // as panels write gun mode in vmess links
        mode = "gun";
    if (grpc && !v2ray_grpc_mode(mode))
        return node_refuse(link, "unknown gRPC mode '%s'", mode);
    if (xhttp && mode[0] && !v2ray_xhttp_mode(mode))
        return node_refuse(link, "unknown xhttp mode '%s'", mode);
    // Parameters that change what is sent and that no document carries
    // (tarvick-node xray's carries all but the final mask).
    const struct {
        const char *value;
        const char *what;
        bool xray_carries;
    } NOT_CARRIED[] = {
        {t->authority, "a gRPC authority", true}, {t->extra, "xhttp extra settings", true},
        {t->mldsa, "an ML-DSA-65 verification key (pqv)", true}, {t->ech, "an ECH configuration", true},
        {t->mask, "a final mask (fm)", false},
    };
    for (const auto &item : NOT_CARRIED)
        if (item.value[0] && !(xray && item.xray_carries))
            return node_refuse(link, "%s cannot be carried by the documents", item.what);
    if (reality && !(row->traits & NET_REALITY))
        return node_refuse(link, "reality runs over tcp, xhttp or grpc only, not %s", network);
    if (reality && !t->public_key[0])
        return node_refuse(link, "reality without its public key (pbk)");
    bool http_header = tcp && same(header, "http");
    if (strchr(t->host, ',') && !(row->traits & NET_HOST_LIST) && !http_header)
        return node_refuse(link, "host %s is a list, and the %s transport takes one name", t->host, network);

    // A TLS server name is one name: a host list cannot stand for it.
    const char *tls_host = link_or_default(t->sni, strchr(t->host, ',') ? "" : link_or_default(t->host, server));
    bool tls = security_row->value != SECURITY_NONE;
    if (tls && !tls_host[0])
        return node_refuse(link, "host %s is a list and the link names no sni: a TLS server name is one name",
                           t->host);

    int rc = node_set_text(link, "v2ray_network_security", security) |
             node_set_text(link, "v2ray_network", network) |
             node_set_text(link, "v2ray_headtype_tcp", header) |
             node_set_text(link, "v2ray_network_host", t->host) |
             node_set_text(link, "v2ray_network_path", t->path) |
             node_set_text(link, "v2ray_quic_security", link_or_default(t->quic_security, "none")) |
             node_set_text(link, "v2ray_quic_key", t->quic_key) |
             node_set_text(link, "v2ray_quic_guise", quic ? header : "none") |
             node_set_text(link, "v2ray_grpc_serviceName", t->service) |
             // Multiplexing is a choice of the router, not of the link; only
             // gRPC's multi mode shares its switch.
             node_set_text(link, "v2ray_mux_enable", grpc && same(mode, "multi") ? "1" : "0") |
             node_set_text(link, "v2ray_network_tlshost", tls_host) |
             node_set_text(link, "v2ray_fingerprint", t->fingerprint) |
             node_set_text(link, "v2ray_network_flow", t->flow);
    if (xray)
        rc |= node_set_text(link, "v2ray_xhttp_mode", xhttp ? mode : "") |
              node_set_text(link, "v2ray_reality_publickey", reality ? t->public_key : "") |
              node_set_text(link, "v2ray_reality_shortid", reality ? t->short_id : "") |
              node_set_text(link, "v2ray_reality_spiderx", reality ? t->spider : "") |
              node_set_text(link, "v2ray_tls_alpn", t->alpn) |
              link_set_pins(link, t->pinned) |
              node_set_text(link, "v2ray_tls_verify_names", t->names);
    if (rc != 0)
        return -1;
    // What tarvick-node xray would refuse is refused now, with its words.
    static const char *const XRAY_CHECKED[] = {"v2ray_reality_publickey", "v2ray_reality_shortid",
                                               "v2ray_reality_spiderx", "v2ray_tls_alpn", "v2ray_tls_pinned_sha256",
                                               "v2ray_tls_verify_names"};
    for (const char *field : XRAY_CHECKED)
        if (xray && (reality || strncmp(field, "v2ray_reality_", 14) != 0) && link_check(link, field) != 0)
            return -1;
    int xray_members = xray ? link_set_xray_members(link, t, row, security_row, mode, tls_host) : 0;
    if (xray_members < 0)
        return -1;
    // A setting of another transport changes nothing here: dropped, with a word.
    bool paths = http_header || (row->traits & NET_PATH);
    const struct {
        const char *value;
        const char *name;
        bool used;
    } OTHER[] = {
        {t->host, "host", paths},
        {tcp && same(t->path, "/") ? "" : t->path, "path", paths},
        {t->service, "serviceName", grpc},
        {t->mode, "mode", grpc || xhttp},
        {t->quic_security, "quicSecurity", quic},
        {t->quic_key, "key", quic},
        {t->seed, "seed", row->value == NETWORK_MKCP},
        {same(header, "none") ? "" : header, "headerType", (row->traits & NET_HEADER) != 0},
        {t->sni, "sni", tls},
        {t->fingerprint, "fp", tls},
    };
    for (const auto &other : OTHER)
        if (other.value[0] && !other.used)
            node_warn(link, "%s dropped: it changes nothing over %s with security %s", other.name, network, security);
    if (!reality && (t->public_key[0] || t->short_id[0] || t->spider[0]))
        node_warn(link, "pbk, sid and spx dropped: they are REALITY's, and the link's security is %s", security);
    if (!xray && t->alpn[0])
        node_warn(link, "alpn dropped: the client offers its own ALPN");
    if (xray && (!v2ray_writes(row, DOC_TARVICK) || reality || v2ray_flow_vision(t->flow) || xray_members > 0))
        node_warn(link, "this node needs tarvick-node xray: tarvick cannot write it");
    // Certificate verification: tarvick's document never verifies;
    // tarvick-node xray's always does, by a pin or names when given.
    if (!xray && tls && (t->verify == LINK_VERIFY_ASKED || t->pinned[0] || t->names[0]))
        node_warn(link, "the certificate will not be verified, though the link asks for it (%s): the V2Ray/Xray "
                        "document never verifies",
                  t->pinned[0] ? "pcs" : t->names[0] ? "vcn" : t->verify_said_by);
    if (xray && tls && t->verify == LINK_VERIFY_SKIP && !t->pinned[0])
        node_warn(link, "%s dropped: tarvick-node xray verifies the certificate (pin a self-signed one with pcs=)",
                  t->verify_said_by);
    return 0;
}

int link_get_transport(NodeLink *node, LinkTransport *t)
{
    link_transport_clear(t);
    const char *network = node_get(node, "v2ray_network");
    const V2rayName *row = v2ray_network(network);
    // Hysteria's own transport has no link name: only its own link says it.
    if (!row || !row->documents || !network[0] || !v2ray_link_name(row)[0])
        return node_refuse(node, "network '%s' has no link", network);
    t->network = v2ray_link_name(row);
    // Written even when "none": a trojan link without it would mean TLS.
    t->security = link_or_default(node_get(node, "v2ray_network_security"), "none");
    if (!v2ray_security(t->security))
        return node_refuse(node, "security '%s' has no link", t->security);
    bool quic = row->value == NETWORK_QUIC, grpc = row->value == NETWORK_GRPC, reality = same(t->security, "reality");
    t->header = quic ? node_get(node, "v2ray_quic_guise") : node_get(node, "v2ray_headtype_tcp");
    t->host = node_get(node, "v2ray_network_host");
    t->path = node_get(node, "v2ray_network_path");
    t->service = node_get(node, "v2ray_grpc_serviceName");
    // gRPC's multi mode is any non-zero switch, as the document reads it.
    t->mode = grpc ? (text_to_int(node_get(node, "v2ray_mux_enable")) != 0 ? "multi" : "gun")
                   : row->value == NETWORK_XHTTP ? node_get(node, "v2ray_xhttp_mode") : "";
    t->quic_security = node_get(node, "v2ray_quic_security");
    // A link leaves these out for none, which is not what an empty one says.
    if ((row->value == NETWORK_MKCP || quic) && !t->header[0])
        return node_refuse(node, "the %s header type is empty, which no link can say (none is what a link without "
                                 "it means)",
                           quic ? "QUIC" : "mKCP");
    if (quic && !t->quic_security[0])
        return node_refuse(node, "the QUIC security is empty, which no link can say (none is what a link without it "
                                 "means)");
    t->quic_key = node_get(node, "v2ray_quic_key");
    // An empty server name means the server's address; a link without sni
    // would mean its host instead.
    bool tls = v2ray_security(t->security)->value != SECURITY_NONE || grpc;
    t->sni = link_or_default(node_get(node, "v2ray_network_tlshost"), tls ? node_get(node, "server") : "");
    t->fingerprint = node_get(node, "v2ray_fingerprint");
    t->flow = node_get(node, "v2ray_network_flow");
    t->alpn = node_get(node, "v2ray_tls_alpn");
    t->public_key = reality ? node_get(node, "v2ray_reality_publickey") : "";
    t->short_id = reality ? node_get(node, "v2ray_reality_shortid") : "";
    t->spider = reality ? node_get(node, "v2ray_reality_spiderx") : "";
    t->pinned = node_get(node, "v2ray_tls_pinned_sha256");
    t->names = node_get(node, "v2ray_tls_verify_names");
    // What only tarvick-node xray's document carries, where it reads it.
    t->extra = row->value == NETWORK_XHTTP ? node_get(node, "v2ray_xhttp_extra") : "";
    t->authority = grpc ? node_get(node, "v2ray_grpc_authority") : "";
    t->mldsa = reality ? node_get(node, "v2ray_reality_mldsa65_verify") : "";
    t->ech = same(t->security, "tls") ? node_get(node, "v2ray_tls_ech_config") : "";
    return 0;
}

int link_write_transport(NodeLink *node, NodeText *out)
{
    LinkTransport t;
    if (link_get_transport(node, &t) != 0)
        return -1;
    int rc = 0;
    for (const LinkQueryField &field : LINK_QUERY_FIELDS)
        if (!(field.use & LINK_FIELD_READ_ONLY))
            rc |= link_append_param(out, field.param, link_transport_member(&t, field.offset));
    return rc != 0 ? node_out_of_memory(node) : 0;
}

int link_append_param(NodeText *out, const char *name, const char *value)
{
    if (!value[0])
        return 0;
    return text_printf(out, out->data[out->length - 1] == '?' ? "%s=" : "&%s=", name) | text_append_percent(out, value);
}

int link_append_server(NodeLink *node, NodeText *out, const char *before, const char *after)
{
    const char *server = node_get(node, "server");
    return text_printf(out, strchr(server, ':') ? "%s[%s]:%d%s" : "%s%s:%d%s", before, server,
                       text_to_int(node_get(node, "port")), after);
}

char *link_password(NodeLink *node)
{
    char *password = decode_base64(node_get(node, "password"));
    if (!password)
        node_out_of_memory(node);
    return password;
}

int link_write_head(NodeLink *node, NodeText *out, const char *scheme, const char *user, const char *after)
{
    char *password = user ? NULL : link_password(node);
    if (!user && !password)
        return -1;
    user = user ? user : password;
    int rc = text_append_str(out, scheme) | text_append_percent(out, user) |
             link_append_server(node, out, "@", after);
    free(password);
    return rc != 0 ? node_out_of_memory(node) : 0;
}

int link_write_keyed(NodeLink *node, NodeText *out, const char *scheme, const LinkParamField *params, size_t count)
{
    if (link_write_head(node, out, scheme, NULL, "/?") != 0)
        return -1;
    int rc = 0;
    for (size_t i = 0; i < count; i++)
        rc |= link_append_param(out, params[i].param, node_get(node, params[i].field));
    return rc != 0 ? node_out_of_memory(node) : 0;
}
