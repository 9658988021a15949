// ss:// (SIP002, and the older whole-Base64 form) and ssr:// links.
//
//   ss://BASE64URL(method:password)@host:port/?plugin=NAME%3BOPTS#REMARK
//   ss://method:password@host:port#REMARK      (percent-encoded, 2022 ciphers)
//   ss://BASE64(method:password@host:port)#REMARK
//   ssr://BASE64URL(host:port:protocol:method:obfs:BASE64URL(password)
//                   /?obfsparam=B64&protoparam=B64&remarks=B64&group=B64)
#include "node.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// "method:password" (the password may hold colons) to the node's settings.
int ss_set_user(NodeLink *link, const char *user, size_t length, const char *method_field)
{
    const char *colon = (const char *)memchr(user, ':', length);
    if (!colon || colon == user)
        return node_refuse(link, "no method:password");
    if (colon + 1 == user + length)
        return node_refuse(link, "no password");
    if (node_set(link, method_field, user, (size_t)(colon - user)) != 0)
        return -1;
    return node_set_password(link, colon + 1, length - (size_t)(colon - user) - 1);
}

int ss_set_plugin(NodeLink *link, const char *plugin)
{
    const char *semicolon = strchr(plugin, ';');
    size_t name_length = semicolon ? (size_t)(semicolon - plugin) : strlen(plugin);
    if (name_length == 0) {
        if (semicolon)
            return node_refuse(link, "plugin options without a plugin");
        return node_set_text(link, "ss_obfs", "none");
    }
    // ss-libev runs simple-obfs as obfs-local, the name the add-on stores.
    if (name_length == 11 && memcmp(plugin, "simple-obfs", 11) == 0)
        node_set_text(link, "ss_obfs", "obfs-local");
    else
        node_set(link, "ss_obfs", plugin, name_length);
    return node_set_text(link, "ss_obfs_host", semicolon ? semicolon + 1 : "");
}

// Some panels write simple-obfs's options as parameters of their own
// (obfs=http&obfs-host=...), beside plugin=obfs-local or instead of it: they
// are the plugin's options, and must agree with any it names itself.
int ss_plugin_from_params(NodeLink *link, LinkQuery *params, const char **plugin, NodeText *assembled)
{
    const char *obfs = link_query_get(params, "obfs"), *host = link_query_get(params, "obfs-host");
    if (!obfs[0] && !host[0])
        return 0;
    if (strcmp(obfs, "http") != 0 && strcmp(obfs, "tls") != 0)
        return node_refuse(link, "obfs '%s' is neither http nor tls", obfs);
    NodeText options;
    if (text_printf(&options, "obfs=%s", obfs) != 0 || (host[0] && text_printf(&options, ";obfs-host=%s", host) != 0))
        return node_out_of_memory(link);
    size_t name_length = strcspn(*plugin, ";");
    bool obfs_plugin = name_length == 0 || (name_length == 10 && memcmp(*plugin, "obfs-local", 10) == 0) ||
                       (name_length == 11 && memcmp(*plugin, "simple-obfs", 11) == 0);
    if (!obfs_plugin)
        return node_refuse(link, "obfs and obfs-host are simple-obfs's, and the link's plugin is another");
    if ((*plugin)[name_length] && strcmp(*plugin + name_length + 1, options.data) != 0)
        return node_refuse(link, "the plugin's own options and its obfs and obfs-host parameters disagree");
    if (text_printf(assembled, "%.*s;%s", name_length ? (int)name_length : 10, name_length ? *plugin : "obfs-local",
                    options.data) != 0)
        return node_out_of_memory(link);
    *plugin = assembled->data;
    return 0;
}

// 2022 ciphers take a key that SIP002 writes percent-encoded, never Base64.
bool ss_method_is_2022(const char *method)
{
    return strlen(method) >= 5 && memcmp(method, "2022-", 5) == 0;
}

} // namespace

int link_read_ss(NodeLink *link, char *text, size_t)
{
    link->type = 0;
    text = link_take_remark(link, text);
    if (!text)
        return -1;
    char *query = strchr(text, '?');
    if (query)
        *query++ = '\0';
    LinkQuery params;
    LinkTransport t;
    if (link_query_parse(link, &params, query) != 0 || link_query_transport(link, &params, &t) != 0)
        return -1;
    // Panels write Shadowsocks over a V2Ray transport with the vless
    // parameters: the V2Ray/Xray document carries that, the Shadowsocks
    // client does not. Parameters that state the defaults say nothing.
    bool plain = (!t.network[0] || strcmp(t.network, "tcp") == 0 || strcmp(t.network, "raw") == 0) &&
                 (!t.header[0] || strcmp(t.header, "none") == 0) && (!t.security[0] || strcmp(t.security, "none") == 0);
    const char *plugin = link_query_get(&params, "plugin");
    if (!plain && plugin[0])
        return node_refuse(link, "a plugin and a transport together cannot be carried");
    const char *method_field = plain ? "method" : "v2ray_ss_method";
    // Standard Base64 may hold "/": only the path after the host ends here.
    char *at = strrchr(text, '@');
    if (char *slash = at ? strchr(at, '/') : NULL)
        *slash = '\0';
    else if (!at && text[0] && text[strlen(text) - 1] == '/')
        text[strlen(text) - 1] = '\0';

    char *user = text, *decoded = NULL;
    long length;
    if (!at) { // the older form: all of it is Base64
        user = decoded = link_unbase64(link, text, strlen(text), &length);
        if (!decoded)
            return node_refuse(link, "bad Base64");
        // "echo ... | base64" encodes the line's end too.
        while (length > 0 && (decoded[length - 1] == '\n' || decoded[length - 1] == '\r'))
            decoded[--length] = '\0';
        for (long i = 0; i < length; i++) // the last "@": the password may hold one
            if (decoded[i] == '@')
                at = decoded + i;
        length = at ? at - decoded : 0;
    } else {
        *at = '\0';
        length = (long)link_percent_decode(text, strlen(text));
        if (!memchr(text, ':', (size_t)length)) {
            user = decoded = link_unbase64(link, text, (size_t)length, &length);
            if (!decoded)
                return node_refuse(link, "bad Base64 in the user info");
        }
    }
    int rc = at ? 0 : node_refuse(link, "no method:password@host:port");
    if (rc == 0) {
        *at = '\0';
        rc = ss_set_user(link, user, (size_t)length, method_field);
    }
    if (rc == 0)
        rc = link_set_server(link, at + 1);
    if (rc == 0)
        rc = node_set_text(link, "use_kcp", "0");
    free(decoded);
    if (rc != 0)
        return -1;
    if (!plain) {
        if (link_set_v2ray(link, "ss", &t) != 0)
            return -1;
        link_query_warn_unused(link, &params, "V2Ray/Xray");
        return 0;
    }
    NodeText assembled;
    if (ss_plugin_from_params(link, &params, &plugin, &assembled) != 0 || ss_set_plugin(link, plugin) != 0)
        return -1;
    if (link->for_xray && plugin[0])
        node_warn(link, "plugin: tarvick-node xray refuses this node, as Xray runs no SIP003 plugin");
    // The Shadowsocks client has no TLS and no transport settings.
    for (size_t i = 0; i < LINK_QUERY_FIELD_COUNT; i++) {
        const LinkQueryField &field = LINK_QUERY_FIELDS[i];
        if (link_transport_member(&t, field.offset)[0] && !(field.use & LINK_FIELD_DEFAULTS))
            node_warn(link, "parameter %s dropped: the %s document has no place for it", field.param, "Shadowsocks");
    }
    link_query_warn_unused(link, &params, "Shadowsocks");
    return 0;
}

int link_read_ssr(NodeLink *link, char *text, size_t)
{
    link->type = 1;
    long decoded;
    char *plain = link_unbase64(link, text, strcspn(text, "#"), &decoded);
    if (!plain)
        return node_refuse(link, "bad Base64");
    if (memchr(plain, '\0', (size_t)decoded)) {
        free(plain);
        return node_refuse(link, "NUL byte in the link");
    }
    char *query = strstr(plain, "/?");
    if (query) {
        *query = '\0';
        query += 2;
    } else if ((query = strchr(plain, '?'))) {
        *query++ = '\0';
    } else if (decoded > 0 && plain[decoded - 1] == '/') {
        plain[decoded - 1] = '\0'; // the separator before an empty query, not the password's
    }
    // host:port:protocol:method:obfs:password, the host perhaps with colons.
    char *parts[6];
    char *rest = plain;
    int rc = 0;
    for (int i = 5; i >= 1 && rc == 0; i--) {
        char *colon = strrchr(rest, ':');
        if (!colon)
            rc = node_refuse(link, "not host:port:protocol:method:obfs:password");
        else {
            *colon = '\0';
            parts[i] = colon + 1;
        }
    }
    parts[0] = rest;
    LinkQuery params;
    if (rc == 0 && link_query_parse(link, &params, query) != 0)
        rc = -1;

    // Every value of the query is Base64 as well.
    struct {
        const char *param;
        const char *field;
    } const SSR_PARAMS[] = {
        {"obfsparam", "ssr_obfs_param"}, {"protoparam", "ssr_protocol_param"}, {"remarks", NULL}, {"group", ""},
    };
    char *host = parts[0];
    if (rc == 0 && host[0] == '[' && host[strlen(host) - 1] == ']') {
        host[strlen(host) - 1] = '\0';
        host++;
    }
    if (rc == 0)
        rc = link_set_address(link, host, parts[1]);
    if (rc == 0) {
        rc = node_set_text(link, "ssr_protocol", parts[2]) | node_set_text(link, "method", parts[3]) |
             node_set_text(link, "ssr_obfs", parts[4]) | node_set_text(link, "use_kcp", "0");
        long n;
        char *password = rc == 0 ? link_unbase64(link, parts[5], strlen(parts[5]), &n) : NULL;
        if (rc == 0 && !password)
            rc = node_refuse(link, "bad Base64 in the password");
        if (rc == 0 && n == 0)
            rc = node_refuse(link, "no password");
        if (password) {
            if (rc == 0)
                rc = node_set_password(link, password, (size_t)n);
            free(password);
        }
    }
    for (size_t i = 0; rc == 0 && i < sizeof SSR_PARAMS / sizeof SSR_PARAMS[0]; i++) {
        const char *value = link_query_get(&params, SSR_PARAMS[i].param);
        char *text_value = link_unbase64(link, value, strlen(value), &decoded);
        if (!text_value)
            rc = node_refuse(link, "bad Base64 in %s", SSR_PARAMS[i].param);
        else if (!SSR_PARAMS[i].field)
            rc = node_set_name(link, text_value, (size_t)decoded);
        else if (SSR_PARAMS[i].field[0])
            rc = node_set(link, SSR_PARAMS[i].field, text_value, (size_t)decoded);
        free(text_value);
    }
    if (rc == 0)
        link_query_warn_unused(link, &params, "ShadowsocksR");
    free(plain);
    return rc == 0 ? 0 : -1;
}

int link_write_ss(NodeLink *node, NodeText *out)
{
    const char *method = node_get(node, node->type == 2 ? "v2ray_ss_method" : "method");
    char *password = link_password(node);
    if (!password)
        return -1;
    NodeText user;
    int rc = text_append_str(out, "ss://");
    if (ss_method_is_2022(method)) // method and key each percent-encoded, the colon between them plain
        rc |= text_append_percent(out, method) | text_append_str(out, ":") | text_append_percent(out, password);
    else
        rc |= text_printf(&user, "%s:%s", method, password) | text_append_base64(out, user.data, user.length, true);
    free(password);
    rc |= link_append_server(node, out, "@", "/");
    if (rc != 0)
        return node_out_of_memory(node);
    if (node->type == 2) {
        // Over a transport or TLS: the parameters vless links have.
        const char *security = node_get(node, "v2ray_network_security");
        bool plain = strcmp(node_get(node, "v2ray_network"), "tcp") == 0 &&
                     strcmp(node_get(node, "v2ray_headtype_tcp"), "http") != 0 &&
                     (!security[0] || strcmp(security, "none") == 0);
        if (!plain)
            return text_append_str(out, "?") != 0 ? node_out_of_memory(node) : link_write_transport(node, out);
    }
    const char *plugin = node_get(node, "ss_obfs");
    if (node->type == 0 && plugin[0] && strcmp(plugin, "none") != 0) {
        // The name ends at the first ";", and a link's simple-obfs is the
        // client's obfs-local.
        if (strchr(plugin, ';') || strcmp(plugin, "simple-obfs") == 0)
            return node_refuse(node, "the plugin '%s' cannot be named in a link", plugin);
        const char *options = node_get(node, "ss_obfs_host");
        rc = text_append_str(out, "?plugin=") | text_append_percent(out, plugin);
        if (options[0])
            rc |= text_append_str(out, "%3B") | text_append_percent(out, options);
    }
    return rc != 0 ? node_out_of_memory(node) : 0;
}

int link_write_ssr(NodeLink *node, NodeText *out)
{
    // The link's fields are separated by colons, its query by "/?".
    static const char *const FIELDS[] = {"ssr_protocol", "method", "ssr_obfs"};
    for (const char *field : FIELDS)
        if (strchr(node_get(node, field), ':') || strstr(node_get(node, field), "/?"))
            return node_refuse(node, "the %s '%s' cannot stand in a link", field, node_get(node, field));
    char *password = link_password(node);
    if (!password)
        return -1;
    NodeText plain;
    int rc = link_append_server(node, &plain, "", ":");
    for (const char *field : FIELDS)
        rc |= text_append_str(&plain, node_get(node, field)) | text_append_str(&plain, ":");
    rc |= text_append_base64(&plain, password, strlen(password), true);
    free(password);
    const char *obfs_param = node_get(node, "ssr_obfs_param"), *protocol_param = node_get(node, "ssr_protocol_param");
    rc |= text_append_str(&plain, "/?obfsparam=") | text_append_base64(&plain, obfs_param, strlen(obfs_param), true) |
          text_append_str(&plain, "&protoparam=") |
          text_append_base64(&plain, protocol_param, strlen(protocol_param), true);
    if (rc == 0)
        rc = text_append_str(out, "ssr://") | text_append_base64(out, plain.data, plain.length, true);
    return rc != 0 ? node_out_of_memory(node) : 0;
}
