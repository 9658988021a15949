// vmess://, vless:// and trojan:// links. All three name one V2Ray/Xray
// transport the same way, so one table maps it to the node's settings and
// back; a trojan link over plain TCP and TLS is a Trojan (type 3) node.
//
//   vmess://BASE64({"v": "2", "ps", "add", "port", "id", "aid", "scy", "net",
//                   "type", "host", "path", "tls", "sni", "fp"})
//   vless://UUID@host:port?encryption=none&security=&type=&headerType=&host=
//           &path=&serviceName=&mode=&quicSecurity=&key=&sni=&fp=&flow=#REMARK
//   trojan://PASSWORD@host:port?(the same, and peer=, allowInsecure=)#REMARK
#include "node.h"

#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// A transport as links name it; every text is "" when the link has none.
struct LinkTransport {
    const char *network;       // tcp kcp ws http h2 quic grpc
    const char *header;        // headerType (vmess: type)
    const char *host;          // ws, h2 and the tcp http header (vmess quic: security)
    const char *path;          // ws, h2 (vmess: quic key, gRPC service, mKCP seed)
    const char *service;       // serviceName
    const char *mode;          // gRPC: multi or gun (vmess: type)
    const char *quic_security; // quicSecurity
    const char *quic_key;      // key
    const char *seed;          // mKCP seed
    const char *security;      // none tls xtls
    const char *sni;
    const char *fingerprint;
    const char *flow;
};

struct NetworkName {
    const char *link;  // as links write it
    const char *store; // as the node stores it
};

// The first row of each stored name is the one export writes.
const NetworkName V2RAY_NETWORK_NAMES[] = {
    {"tcp", "tcp"}, {"kcp", "mkcp"}, {"ws", "ws"}, {"http", "h2"},
    {"h2", "h2"},   {"quic", "quic"}, {"grpc", "grpc"}, {"", "tcp"},
};

// Transports the documents have no member for.
const char *const V2RAY_NETWORKS_NOT_CARRIED[] = {"xhttp", "splithttp", "httpupgrade"};

const char *or_default(const char *text, const char *fallback)
{
    return text && text[0] ? text : fallback;
}

// The node's transport settings from a link's; -1 with the reason set for
// what the documents cannot carry.
int link_set_transport(NodeLink *link, const LinkTransport *t, const char *server)
{
    const char *network = NULL;
    for (const NetworkName &row : V2RAY_NETWORK_NAMES)
        if (strcmp(t->network, row.link) == 0)
            network = row.store;
    for (const char *name : V2RAY_NETWORKS_NOT_CARRIED)
        if (strcmp(t->network, name) == 0)
            return node_refuse(link, "network %s cannot be carried by the V2Ray/Xray document", name);
    if (!network)
        return node_refuse(link, "unknown network '%s'", t->network);

    const char *security = or_default(t->security, "none");
    if (strcmp(security, "reality") == 0)
        return node_refuse(link, "security reality cannot be carried by the V2Ray/Xray document");
    if (strcmp(security, "none") != 0 && strcmp(security, "tls") != 0 && strcmp(security, "xtls") != 0)
        return node_refuse(link, "unknown security '%s'", security);
    if (t->flow[0] && strcmp(security, "xtls") != 0)
        return node_refuse(link, "flow %s over %s cannot be carried (the document sends a flow only with xtls)",
                           t->flow, security);

    const char *header = or_default(t->header, "none");
    if (strcmp(network, "tcp") == 0 && strcmp(header, "none") != 0 && strcmp(header, "http") != 0)
        return node_refuse(link, "unknown TCP header type '%s'", header);
    // The HTTP header's request path is always "/" in the document.
    if (strcmp(network, "tcp") == 0 && strcmp(header, "http") == 0 && t->path[0] && strcmp(t->path, "/") != 0)
        return node_refuse(link, "TCP HTTP header path %s cannot be carried (the document sends /)", t->path);
    if (strcmp(network, "mkcp") == 0 && t->seed[0])
        return node_refuse(link, "an mKCP seed cannot be carried by the V2Ray/Xray document");
    const char *mode = or_default(t->mode, "gun");
    bool grpc = strcmp(network, "grpc") == 0;
    if (grpc && strcmp(mode, "gun") != 0 && strcmp(mode, "multi") != 0)
        return node_refuse(link, "unknown gRPC mode '%s'", mode);
    bool quic = strcmp(network, "quic") == 0;

    int rc = node_set_text(link, "v2ray_network_security", security) |
             node_set_text(link, "v2ray_network", network) |
             node_set_text(link, "v2ray_headtype_tcp", header) |
             node_set_text(link, "v2ray_network_host", t->host) |
             node_set_text(link, "v2ray_network_path", t->path) |
             node_set_text(link, "v2ray_quic_security", or_default(t->quic_security, "none")) |
             node_set_text(link, "v2ray_quic_key", t->quic_key) |
             node_set_text(link, "v2ray_quic_guise", quic ? header : "none") |
             node_set_text(link, "v2ray_grpc_serviceName", t->service) |
             // Multiplexing is a choice of the router, not of the link; only
             // gRPC's multi mode shares its switch.
             node_set_text(link, "v2ray_mux_enable", grpc && strcmp(mode, "multi") == 0 ? "1" : "0") |
             node_set_text(link, "v2ray_network_tlshost", or_default(t->sni, or_default(t->host, server))) |
             node_set_text(link, "v2ray_fingerprint", t->fingerprint) |
             node_set_text(link, "v2ray_network_flow", t->flow);
    return rc == 0 ? 0 : -1;
}

// The link's transport from the node's settings; -1 when no link names it.
int link_get_transport(NodeLink *node, LinkTransport *t)
{
    memset(t, 0, sizeof *t);
    const char *network = node_get(node, "v2ray_network");
    for (const NetworkName &row : V2RAY_NETWORK_NAMES)
        if (!t->network && strcmp(network, row.store) == 0)
            t->network = row.link;
    if (!t->network || !network[0])
        return node_refuse(node, "network '%s' has no link", network);
    // Written even when "none": a trojan link without it would mean TLS.
    t->security = or_default(node_get(node, "v2ray_network_security"), "none");
    if (strcmp(t->security, "none") != 0 && strcmp(t->security, "tls") != 0 && strcmp(t->security, "xtls") != 0)
        return node_refuse(node, "security '%s' has no link", t->security);
    bool quic = strcmp(network, "quic") == 0;
    t->header = quic ? node_get(node, "v2ray_quic_guise") : node_get(node, "v2ray_headtype_tcp");
    t->host = node_get(node, "v2ray_network_host");
    t->path = node_get(node, "v2ray_network_path");
    t->service = node_get(node, "v2ray_grpc_serviceName");
    // gRPC's multi mode is any non-zero switch, as the document reads it.
    t->mode = strcmp(network, "grpc") != 0 ? "" : text_to_int(node_get(node, "v2ray_mux_enable")) != 0 ? "multi" : "gun";
    t->quic_security = node_get(node, "v2ray_quic_security");
    t->quic_key = node_get(node, "v2ray_quic_key");
    t->seed = "";
    t->sni = node_get(node, "v2ray_network_tlshost");
    t->fingerprint = node_get(node, "v2ray_fingerprint");
    t->flow = node_get(node, "v2ray_network_flow");
    return 0;
}

// vless and trojan parameters; the table order is the order export writes.
struct QueryField {
    const char *param;
    size_t offset;
};
#define QUERY_FIELD(param, member) {param, offsetof(LinkTransport, member)}
const QueryField V2RAY_QUERY_FIELDS[] = {
    QUERY_FIELD("security", security),
    QUERY_FIELD("type", network),
    QUERY_FIELD("headerType", header),
    QUERY_FIELD("host", host),
    QUERY_FIELD("path", path),
    QUERY_FIELD("serviceName", service),
    QUERY_FIELD("mode", mode),
    QUERY_FIELD("quicSecurity", quic_security),
    QUERY_FIELD("key", quic_key),
    QUERY_FIELD("seed", seed),
    QUERY_FIELD("sni", sni),
    QUERY_FIELD("fp", fingerprint),
    QUERY_FIELD("flow", flow),
};

const char *&transport_member(LinkTransport *t, size_t offset)
{
    return *(const char **)((char *)t + offset);
}

// "user@host:port?query#remark" with the user (UUID or password) decoded.
int link_read_url(NodeLink *link, char *text, char **user, size_t *user_length, LinkQuery *query,
                  LinkTransport *t)
{
    char *hash = strchr(text, '#');
    if (hash) {
        *hash++ = '\0';
        node_set_name(link, hash, link_percent_decode(hash, strlen(hash)));
    }
    char *question = strchr(text, '?');
    if (question)
        *question++ = '\0';
    if (link_query_parse(link, query, question) != 0)
        return -1;
    char *at = strrchr(text, '@');
    if (!at)
        return node_refuse(link, "no user before @host:port");
    *at = '\0';
    at[1 + strcspn(at + 1, "/")] = '\0'; // a path after the port says nothing here
    *user = text;
    *user_length = link_percent_decode(text, strlen(text));
    const char *host;
    int port;
    if (link_host_port(link, at + 1, &host, &port) != 0)
        return -1;
    char digits[8];
    text_put_number(digits, (unsigned long)port);
    if (node_set_text(link, "server", host) != 0 || node_set_text(link, "port", digits) != 0)
        return -1;
    for (const QueryField &field : V2RAY_QUERY_FIELDS)
        transport_member(t, field.offset) = link_query_get(query, field.param);
    // The V2Ray/Xray document never verifies; the Trojan reader asks itself.
    link_query_get(query, "allowInsecure");
    return 0;
}

// Parameters that change nothing the client sends are dropped with a word.
void link_note_unused(NodeLink *link, LinkQuery *query)
{
    if (link_query_get(query, "alpn")[0])
        node_warn(link, "alpn dropped: the client offers its own ALPN");
    link_query_warn_unused(link, query, link->type == 3 ? "Trojan" : "V2Ray/Xray");
}

int link_set_v2ray(NodeLink *link, const char *protocol, const LinkTransport *t)
{
    link->type = 2;
    if (node_set_text(link, "v2ray_protocol", protocol) != 0)
        return -1;
    return link_set_transport(link, t, node_get(link, "server"));
}

int link_write_query(NodeLink *node, NodeText *out, const char *scheme, const char *user, size_t user_length,
                     const char *first)
{
    LinkTransport t;
    if (link_get_transport(node, &t) != 0)
        return -1;
    const char *server = node_get(node, "server");
    int rc = text_append_str(out, scheme) | text_append_percent(out, user, user_length, NULL) |
             text_printf(out, strchr(server, ':') ? "@[%s]:%d?" : "@%s:%d?", server,
                         text_to_int(node_get(node, "port"))) |
             text_append_str(out, first);
    for (const QueryField &field : V2RAY_QUERY_FIELDS) {
        const char *value = transport_member(&t, field.offset);
        if (!value[0])
            continue;
        if (out->data[out->length - 1] != '?')
            rc |= text_append_str(out, "&");
        rc |= text_append_str(out, field.param) | text_append_str(out, "=") |
              text_append_percent(out, value, strlen(value), NULL);
    }
    return rc != 0 ? node_refuse(node, "out of memory") : 0;
}

// The vmess object is flat: members whose values are texts, or whole numbers
// (port and aid are written both ways). Reading just that costs a fraction of
// a general JSON parser's work for each link of a subscription.
struct VmessReader {
    const char *p, *end;
    char *out; // decoded texts, each no longer than its source, and a NUL
};

void vmess_space(VmessReader *r)
{
    while (r->p < r->end && (*r->p == ' ' || *r->p == '\t' || *r->p == '\n' || *r->p == '\r'))
        r->p++;
}

bool vmess_next(VmessReader *r, char c)
{
    vmess_space(r);
    if (r->p >= r->end || *r->p != c)
        return false;
    r->p++;
    vmess_space(r);
    return true;
}

long vmess_hex4(VmessReader *r)
{
    long code = 0;
    for (int i = 0; i < 4; i++, r->p++) {
        int digit = r->p >= r->end ? -1 : hex_digit(*r->p);
        if (digit < 0)
            return -1;
        code = code << 4 | digit;
    }
    return code;
}

// A text, from its opening quote, decoded into r->out; NULL when broken.
const char *vmess_text(VmessReader *r, size_t *length)
{
    static const char ESCAPED[] = "\"\\/bfnrt", MEANT[] = "\"\\/\b\f\n\r\t";
    char *start = r->out;
    if (r->p >= r->end || *r->p++ != '"')
        return NULL;
    while (r->p < r->end) {
        unsigned char c = (unsigned char)*r->p++;
        const char *simple;
        long code;
        if (c == '"') {
            *length = (size_t)(r->out - start);
            *r->out++ = '\0';
            return start;
        } else if (c < 0x20 || (c == '\\' && r->p >= r->end)) {
            return NULL;
        } else if (c != '\\') {
            *r->out++ = (char)c;
        } else if ((c = (unsigned char)*r->p++) != '\0' && (simple = strchr(ESCAPED, c))) {
            *r->out++ = MEANT[simple - ESCAPED];
        } else if (c != 'u' || (code = vmess_hex4(r)) < 0 || (code >= 0xdc00 && code < 0xe000)) {
            return NULL;
        } else {
            if (code >= 0xd800 && code < 0xdc00) { // a pair for what lies beyond 16 bits
                long low = r->end - r->p >= 2 && r->p[0] == '\\' && r->p[1] == 'u' ? (r->p += 2, vmess_hex4(r)) : -1;
                if (low < 0xdc00 || low >= 0xe000)
                    return NULL;
                code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
            }
            // UTF-8, never longer than the escape it came from.
            int extra = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
            static const unsigned char LEAD[] = {0x00, 0xc0, 0xe0, 0xf0};
            *r->out++ = (char)(LEAD[extra] | code >> (6 * extra));
            for (int i = extra - 1; i >= 0; i--)
                *r->out++ = (char)(0x80 | (code >> (6 * i) & 0x3f));
        }
    }
    return NULL;
}

struct VmessField {
    const char *name;
    const char *text;
};

// The one object's members; each field keeps its last value. Texts, whole
// numbers and null (no value) are read; anything else refuses the link.
int vmess_read(NodeLink *link, VmessReader *r, VmessField *fields, size_t count)
{
    if (!vmess_next(r, '{'))
        return node_refuse(link, "not a JSON object");
    bool more = !vmess_next(r, '}');
    while (more) {
        size_t name_length, length = 0;
        const char *name = vmess_text(r, &name_length);
        if (!name || !vmess_next(r, ':'))
            return node_refuse(link, "broken JSON");
        const char *text = r->out;
        if (r->p < r->end && *r->p == '"') {
            text = vmess_text(r, &length);
            if (text && memchr(text, '\0', length))
                return node_refuse(link, "%s holds a NUL byte", name);
        } else if (r->end - r->p >= 4 && memcmp(r->p, "null", 4) == 0) {
            r->p += 4;
            text = "";
        } else {
            const char *start = r->p;
            r->p += r->p < r->end && *r->p == '-';
            while (r->p < r->end && *r->p >= '0' && *r->p <= '9')
                r->p++;
            length = (size_t)(r->p - start);
            if (r->p == start || r->p[-1] == '-' || (r->p < r->end && strchr(".eE", *r->p) && *r->p))
                return node_refuse(link, "%s is neither a text nor a whole number", name);
            memcpy(r->out, start, length);
            r->out[length] = '\0';
            r->out += length + 1;
        }
        if (!text)
            return node_refuse(link, "broken JSON");
        for (size_t i = 0; i < count; i++)
            if (fields[i].name[0] == name[0] && strcmp(fields[i].name, name) == 0)
                fields[i].text = text;
        more = vmess_next(r, ',');
        if (!more && !vmess_next(r, '}'))
            return node_refuse(link, "broken JSON");
    }
    if (r->p != r->end)
        return node_refuse(link, "broken JSON");
    return 0;
}

} // namespace

int link_read_vmess(NodeLink *link, char *text, size_t length)
{
    char *json = (char *)malloc(2 * (length * 3 / 4 + 4));
    if (!json)
        return node_refuse(link, "out of memory");
    long decoded = decode_base64_strict(text, length, (unsigned char *)json);
    if (decoded < 0) {
        free(json);
        return node_refuse(link, "bad Base64");
    }
    VmessField f[] = {{"add", ""}, {"port", ""}, {"id", ""},   {"aid", ""},  {"scy", ""}, {"net", ""}, {"type", ""},
                      {"host", ""}, {"path", ""}, {"tls", ""}, {"sni", ""}, {"fp", ""},  {"ps", ""},  {"alpn", ""}};
    enum { ADD, PORT, ID, AID, SCY, NET, TYPE, HOST, PATH, TLS, SNI, FP, PS, ALPN };
    VmessReader reader = {json, json + decoded, json + decoded + 1};
    int rc = vmess_read(link, &reader, f, sizeof f / sizeof f[0]);

    link->type = 2;
    char *address = NULL;
    if (rc == 0) {
        // JSON needs no brackets around an IPv6 address; some writers add them.
        address = (char *)malloc(strlen(f[ADD].text) + strlen(f[PORT].text) + 8);
        if (!address)
            rc = node_refuse(link, "out of memory");
    }
    if (rc == 0) {
        bool v6 = strchr(f[ADD].text, ':') && f[ADD].text[0] != '[';
        snprintf(address, strlen(f[ADD].text) + strlen(f[PORT].text) + 8, v6 ? "[%s]:%s" : "%s:%s", f[ADD].text,
                 f[PORT].text);
        const char *host;
        int port;
        if (link_host_port(link, address, &host, &port) == 0) {
            char digits[8];
            text_put_number(digits, (unsigned long)port);
            rc = node_set_text(link, "server", host) | node_set_text(link, "port", digits);
        } else {
            rc = -1;
        }
    }
    free(address);
    if (rc == 0 && !f[ID].text[0])
        rc = node_refuse(link, "no id");
    const char *aid = or_default(f[AID].text, "0");
    if (rc == 0 && (strspn(aid, "0123456789") != strlen(aid) || strlen(aid) > 5))
        rc = node_refuse(link, "bad aid '%s'", aid);
    if (rc == 0) {
        bool quic = strcmp(f[NET].text, "quic") == 0;
        bool grpc = strcmp(f[NET].text, "grpc") == 0;
        bool kcp = strcmp(f[NET].text, "kcp") == 0;
        LinkTransport t;
        memset(&t, 0, sizeof t);
        t.network = f[NET].text;
        t.header = grpc ? "" : f[TYPE].text;
        t.mode = grpc ? f[TYPE].text : "";
        t.host = quic ? "" : f[HOST].text;
        t.quic_security = quic ? f[HOST].text : "";
        t.path = quic || grpc || kcp ? "" : f[PATH].text;
        t.quic_key = quic ? f[PATH].text : "";
        t.service = grpc ? f[PATH].text : "";
        t.seed = kcp ? f[PATH].text : "";
        const char *tls = f[TLS].text;
        t.security = tls;
        t.sni = f[SNI].text;
        t.fingerprint = f[FP].text;
        t.flow = "";
        char alter_id[8]; // "007" is 7, as tarvick reads it and export writes it
        text_put_number(alter_id, (unsigned long)strtol(aid, NULL, 10));
        rc = node_set_text(link, "v2ray_uuid", f[ID].text) | node_set_text(link, "v2ray_alterid", alter_id) |
             node_set_text(link, "v2ray_security", or_default(f[SCY].text, "auto"));
        if (rc == 0)
            rc = link_set_v2ray(link, "vmess", &t);
        if (rc == 0)
            node_set_name(link, f[PS].text, strlen(f[PS].text));
        if (rc == 0 && f[ALPN].text[0])
            node_warn(link, "alpn dropped: the client offers its own ALPN");
    }
    free(json);
    return rc == 0 ? 0 : -1;
}

int link_read_vless(NodeLink *link, char *text, size_t)
{
    char *user;
    size_t user_length;
    LinkQuery query;
    LinkTransport t;
    if (link_read_url(link, text, &user, &user_length, &query, &t) != 0)
        return -1;
    const char *encryption = or_default(link_query_get(&query, "encryption"), "none");
    if (strcmp(encryption, "none") != 0)
        return node_refuse(link, "encryption %s cannot be carried (the document sends none)", encryption);
    if (user_length == 0)
        return node_refuse(link, "no id");
    if (node_set(link, "v2ray_uuid", user, user_length) != 0 || link_set_v2ray(link, "vless", &t) != 0)
        return -1;
    link_note_unused(link, &query);
    return 0;
}

int link_read_trojan(NodeLink *link, char *text, size_t)
{
    char *user;
    size_t user_length;
    LinkQuery query;
    LinkTransport t;
    if (link_read_url(link, text, &user, &user_length, &query, &t) != 0)
        return -1;
    const char *peer = link_query_get(&query, "peer");
    const char *insecure = link_query_get(&query, "allowInsecure");
    t.security = or_default(t.security, "tls"); // trojan is TLS unless told otherwise
    t.sni = or_default(t.sni, peer);
    if (node_set_password(link, user, user_length) != 0)
        return -1;
    bool plain_tcp = (!t.network[0] || strcmp(t.network, "tcp") == 0) &&
                     (!t.header[0] || strcmp(t.header, "none") == 0);
    if (plain_tcp && strcmp(t.security, "tls") == 0 && !t.flow[0]) {
        // The Trojan client itself: it verifies unless the link says not to.
        link->type = 3;
        bool verify = !(strcmp(insecure, "1") == 0 || strcmp(insecure, "true") == 0);
        int rc = node_set_text(link, "ssl_verify_enable", verify ? "1" : "0") |
                 node_set_text(link, "trojan_sni", or_default(t.sni, node_get(link, "server"))) |
                 node_set_text(link, "trojan_mp_enable", "0");
        if (rc != 0)
            return -1;
        if (t.fingerprint[0])
            node_warn(link, "fp dropped: the Trojan client has no fingerprint setting");
        link_note_unused(link, &query);
        return 0;
    }
    if (link_set_v2ray(link, "trojan", &t) != 0)
        return -1;
    link_note_unused(link, &query);
    return 0;
}

int link_write_vmess(NodeLink *node, NodeText *out)
{
    LinkTransport t;
    if (link_get_transport(node, &t) != 0)
        return -1;
    bool quic = strcmp(t.network, "quic") == 0;
    bool grpc = strcmp(t.network, "grpc") == 0;
    const char *fields[][2] = {
        {"v", "2"},
        {"ps", ""},
        {"add", node_get(node, "server")},
        {"port", node_get(node, "port")},
        {"id", node_get(node, "v2ray_uuid")},
        {"aid", node_get(node, "v2ray_alterid")},
        {"scy", node_get(node, "v2ray_security")},
        {"net", strcmp(t.network, "http") == 0 ? "h2" : t.network}, // the vmess format's own name
        {"type", grpc ? t.mode : t.header},
        {"host", quic ? t.quic_security : t.host},
        {"path", quic ? t.quic_key : grpc ? t.service : t.path},
        {"tls", t.security},
        {"sni", t.sni},
        {"fp", t.fingerprint},
    };
    char port[16], aid[16];
    snprintf(port, sizeof port, "%d", text_to_int(fields[3][1]));
    snprintf(aid, sizeof aid, "%d", text_to_int(fields[5][1]));
    fields[3][1] = port;
    fields[5][1] = aid;
    json_object *root = json_object_new_object();
    bool failed = !root;
    for (auto &field : fields) {
        json_object *value = json_object_new_string(field[1]);
        failed = failed || !value || json_object_object_add(root, field[0], value) != 0;
    }
    size_t length = 0;
    const char *json = failed ? NULL
                              : json_object_to_json_string_length(
                                    root, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE, &length);
    char *encoded = json ? (char *)malloc(length / 3 * 4 + 5) : NULL;
    if (encoded) {
        encode_base64((const unsigned char *)json, length, encoded, false);
        failed = text_append_str(out, "vmess://") != 0 || text_append_str(out, encoded) != 0;
    }
    free(encoded);
    json_object_put(root);
    return failed || !encoded ? node_refuse(node, "out of memory") : 0;
}

int link_write_vless(NodeLink *node, NodeText *out)
{
    const char *id = node_get(node, "v2ray_uuid");
    return link_write_query(node, out, "vless://", id, strlen(id), "encryption=none");
}

int link_write_trojan(NodeLink *node, NodeText *out)
{
    char *password = decode_base64(node_get(node, "password"));
    if (!password)
        return node_refuse(node, "out of memory");
    int rc;
    if (node->type == 3) {
        const char *server = node_get(node, "server");
        const char *sni = node_get(node, "trojan_sni");
        bool verify = text_to_int(node_get(node, "ssl_verify_enable")) == 1;
        rc = text_append_str(out, "trojan://") | text_append_percent(out, password, strlen(password), NULL) |
             text_printf(out, strchr(server, ':') ? "@[%s]:%d?security=tls" : "@%s:%d?security=tls", server,
                         text_to_int(node_get(node, "port")));
        if (sni[0])
            rc |= text_append_str(out, "&sni=") | text_append_percent(out, sni, strlen(sni), NULL);
        if (!verify)
            rc |= text_append_str(out, "&allowInsecure=1");
        rc = rc != 0 ? node_refuse(node, "out of memory") : 0;
    } else {
        rc = link_write_query(node, out, "trojan://", password, strlen(password), "");
    }
    free(password);
    return rc;
}
