// A WireGuard configuration file (wg-quick's): one node from its
// [Interface] and its one [Peer], as the wireguard link of the same tunnel.
//
//   [Interface]  PrivateKey, Address, MTU (DNS, ListenPort, Table and the
//                hooks are the router's own)
//   [Peer]       PublicKey, PresharedKey, Endpoint, AllowedIPs,
//                PersistentKeepalive
#include "doc.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

struct WireguardKey {
    const char *section, *key, *param; // param NULL: dropped with a warning
};
const WireguardKey WIREGUARD_KEYS[] = {
    {"Interface", "PrivateKey", ""},       {"Interface", "Address", "address"},
    {"Interface", "MTU", "mtu"},           {"Peer", "PublicKey", "publickey"},
    {"Peer", "PresharedKey", "presharedkey"}, {"Peer", "Endpoint", ""},
    {"Peer", "AllowedIPs", ""},            {"Peer", "PersistentKeepalive", "keepalive"},
    {"Interface", "DNS", NULL},            {"Interface", "ListenPort", NULL},
    {"Interface", "Table", NULL},          {"Interface", "FwMark", NULL},
    {"Interface", "PreUp", NULL},          {"Interface", "PostUp", NULL},
    {"Interface", "PreDown", NULL},        {"Interface", "PostDown", NULL},
    {"Interface", "SaveConfig", NULL},
};

} // namespace

int doc_read_wireguard(const char *text, size_t length, DocList *list)
{
    doc_list_name(list, "WireGuard file", "peers", "peer", "");
    DocServer *s = doc_server_new("wireguard");
    if (!s)
        return doc_list_no_memory(list);
    const char *section = "";
    int peers = 0, number = 0;
    const char *end = text + length;
    for (const char *line = text; line < end && !s->reason[0]; number++) {
        const char *newline = (const char *)memchr(line, '\n', (size_t)(end - line));
        const char *stop = newline ? newline : end, *next = newline ? newline + 1 : end;
        while (line < stop && (*line == ' ' || *line == '\t'))
            line++;
        for (const char *hash = line; hash < stop; hash++)
            if (*hash == '#')
                stop = hash;
        while (stop > line && (stop[-1] == ' ' || stop[-1] == '\t' || stop[-1] == '\r'))
            stop--;
        size_t n = (size_t)(stop - line);
        if (n == 0) {
        } else if (doc_line_is(line, stop, "[Interface]")) {
            section = "Interface";
        } else if (doc_line_is(line, stop, "[Peer]")) {
            section = "Peer";
            if (++peers > 1)
                doc_refuse(s, "more than one [Peer]: a node is one tunnel to one server");
        } else {
            const char *equals = (const char *)memchr(line, '=', n);
            if (!equals) {
                doc_server_free(s);
                return doc_list_refuse(list, DOC_BROKEN, "broken WireGuard file at line %d: not KEY = VALUE",
                                       number + 1);
            }
            const char *key_end = equals;
            while (key_end > line && (key_end[-1] == ' ' || key_end[-1] == '\t'))
                key_end--;
            const char *value = equals + 1;
            while (value < stop && (*value == ' ' || *value == '\t'))
                value++;
            const char *kept = doc_keep(s, value, (size_t)(stop - value));
            const WireguardKey *known = NULL;
            for (const WireguardKey &row : WIREGUARD_KEYS)
                if (strcmp(row.section, section) == 0 && doc_line_is(line, key_end, row.key))
                    known = &row;
            if (!known) {
                doc_refuse(s, "%.*s in [%s] cannot be carried by a link", (int)(key_end - line), line,
                           section[0] ? section : "no section");
            } else if (!known->param) {
                doc_warn(s, "%s dropped: it is the router's own setting, not the node's", known->key);
            } else if (strcmp(known->key, "PrivateKey") == 0) {
                s->user = kept;
            } else if (strcmp(known->key, "Endpoint") == 0) {
                doc_endpoint(s, "Endpoint", kept);
            } else {
                bool all = doc_all_ips((char *)kept); // every value without blanks
                if (strcmp(known->key, "AllowedIPs") != 0)
                    doc_set(s, known->param, kept);
                else if (!all)
                    doc_refuse(s, DOC_NOT_ALL_IPS, "", known->key, kept);
            }
        }
        line = next;
    }
    if (!peers && !s->reason[0])
        doc_refuse(s, "no [Peer]");
    return doc_list_add(list, s) != 0 ? doc_list_no_memory(list) : DOC_READ;
}
