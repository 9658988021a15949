// Whole-document subscriptions (Xray JSON, sing-box JSON, SIP008, Outline,
// mihomo YAML, WireGuard files): what import reads when a text is not a list
// of links. Each server of a document becomes the share link of the same
// server, which import then reads as it reads any link, so a node from a
// document is the node its link gives, with every rule of links.
#pragma once

#include "node.h"

#include <json-c/json.h>

enum DocResult {
    DOC_READ = 0,      // the entries are in the list
    DOC_REFUSED = 1,   // no subscription: the list's refusal says what it looked like
    DOC_BROKEN = 2,    // it cannot be parsed: the refusal says where
};

// What a reader found: the entries in the document's order, each a link or
// the reason it has none, with its warnings; packed as NUL-ended texts
// (kind 'L' or 'R', the name, the link or reason, the warnings).
struct DocList {
    const char *format; // "mihomo YAML"
    const char *noun;   // what it counts: "proxies"
    const char *noun_one;
    NodeText entries;
    int count;
    bool other_sections; // routing, DNS, inbounds, groups or rules were there
    const char *other_what; // and how the note names them
    char refusal[256];
};
void doc_list_init(DocList *list);
int doc_list_refuse(DocList *list, int result, const char *format, ...) __attribute__((format(printf, 3, 4)));

// One server of a document, in the fields of its share link. Every text is
// "" when the document has none; texts the reader makes live in the pool.
enum { DOC_POOL = 24576, DOC_PARAMS = 16 };
struct DocServer {
    const char *scheme; // ss ssr vmess vless trojan hysteria2 wireguard socks http
    const char *name;
    const char *server;
    const char *port;
    const char *user;     // vless/vmess id, trojan and hysteria2 password, WireGuard private key
    const char *method;   // Shadowsocks and ShadowsocksR cipher, vmess security
    const char *password; // Shadowsocks, ShadowsocksR, SOCKS and HTTP
    const char *username; // SOCKS and HTTP
    const char *plugin;   // Shadowsocks: "name;options"
    const char *alter_id;
    const char *ssr_protocol, *ssr_protocol_param, *ssr_obfs, *ssr_obfs_param;
    const char *encryption; // vless
    LinkTransport t;
    // Parameters of the hysteria2 and wireguard links, in order.
    const char *params[DOC_PARAMS][2];
    int param_count;
    NodeText notes; // warnings, one a line
    char reason[256];
    size_t pool_used;
    char pool[DOC_POOL];
};
void doc_server_init(DocServer *s);
// A copy of text in the pool ("" and the reason set when it is full).
const char *doc_keep(DocServer *s, const char *text, size_t length);
const char *doc_keepf(DocServer *s, const char *format, ...) __attribute__((format(printf, 2, 3)));
int doc_refuse(DocServer *s, const char *format, ...) __attribute__((format(printf, 2, 3)));
void doc_warn(DocServer *s, const char *format, ...) __attribute__((format(printf, 2, 3)));
void doc_param(DocServer *s, const char *name, const char *value);
// The server's link (or its refusal) as the list's next entry; -1 when
// memory ran out.
int doc_list_add(DocList *list, DocServer *s);

// A JSON object a reader goes through, knowing which members it read: the
// others are warned of as dropped when the entry is done.
enum { DOC_OBJECT_SEEN = 64 };
struct DocObject {
    json_object *object;
    const char *where; // "ws-opts." before a member's name, or ""
    const char *seen[DOC_OBJECT_SEEN];
    int seen_count;
};
void doc_object(DocObject *o, json_object *object, const char *where);
// The member, marked as read; NULL when absent or null.
json_object *doc_member(DocObject *o, const char *name);
// A member as text: a text, a whole number or a switch as written; "" when
// absent; NULL (and the reason set) for another kind.
const char *doc_text(DocServer *s, DocObject *o, const char *name);
// A switch: 1, 0, or -1 when absent; a text "true"/"false" counts.
int doc_switch(DocServer *s, DocObject *o, const char *name);
// A list of texts (or one text) joined with commas.
const char *doc_list_text(DocServer *s, DocObject *o, const char *name);
// Members the reader passes over without a word (names, tags, UDP
// switches, dialing options of the router itself).
void doc_object_silent(DocObject *o, const char *const *names);
// Warns of each member not read; "why" ends the warning.
void doc_object_done(DocServer *s, DocObject *o);
// The Host of a "headers" member (a text or a list); any other header is
// sent, and no link carries it: the entry is refused.
const char *doc_headers_host_of(DocServer *s, DocObject *o);
// The text of any JSON value, for messages.
const char *doc_shown(json_object *value);


// The readers. Each fills the list from the parsed document.
int doc_read_json(json_object *root, DocList *list);
int doc_read_mihomo(const char *text, size_t length, DocList *list);
int doc_read_wireguard(const char *text, size_t length, DocList *list);
// mihomo's proxies entry, as a JSON object (the YAML reader makes one).
int doc_mihomo_entry(json_object *entry, const char *refusal, DocList *list);

// What import reads: DOC_LINKS for a list of links (as import has always
// read), else the document's format already read into the list.
enum { DOC_LINKS = -1 };
int doc_detect_and_read(const char *text, size_t length, DocList *list);
