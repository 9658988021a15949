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
// What the list says it read, in the words of its counts and notes.
void doc_list_name(DocList *list, const char *format, const char *noun, const char *noun_one, const char *other_what);
int doc_list_refuse(DocList *list, int result, const char *format, ...) __attribute__((format(printf, 3, 4)));
// DOC_BROKEN, the refusal saying memory ran out.
int doc_list_no_memory(DocList *list);

// One server of a document, in the fields of its share link. Every text is
// "" when the document has none; texts the reader makes live in the pool.
enum { DOC_POOL = 24576, DOC_PARAMS = 24 };
struct DocServer {
    const char *scheme; // ss ssr vmess vless trojan hysteria2 wireguard socks http
    const char *name, *server, *port;
    const char *user;     // vless/vmess id, WireGuard private key
    const char *method;   // Shadowsocks and ShadowsocksR cipher, vmess security
    const char *password; // Shadowsocks, ShadowsocksR, SOCKS, HTTP; trojan's and hysteria2's user
    const char *username; // SOCKS and HTTP
    const char *plugin;   // Shadowsocks: "name;options"
    const char *alter_id, *encryption, *protocol; // vmess, vless, ShadowsocksR
    LinkTransport t;
    // Any other parameter of the link, in order (hysteria2, wireguard, ssr).
    const char *params[DOC_PARAMS][2];
    int param_count;
    NodeText notes; // warnings, one a line
    char reason[256];
    size_t pool_used;
    char pool[DOC_POOL];
};
// A record made ready for a server of the scheme; NULL when memory ran out.
DocServer *doc_server_new(const char *scheme);
// Frees a record doc_server_new made, with its notes.
void doc_server_free(DocServer *s);
// A copy of text in the pool ("" and the reason set when it is full).
const char *doc_keep(DocServer *s, const char *text, size_t length);
const char *doc_keepf(DocServer *s, const char *format, ...) __attribute__((format(printf, 2, 3)));
int doc_refuse(DocServer *s, const char *format, ...) __attribute__((format(printf, 2, 3)));
void doc_warn(DocServer *s, const char *format, ...) __attribute__((format(printf, 2, 3)));
// A link field by its parameter: a transport parameter ("sni"), "@name" for
// the server's own fields (@server @port @user @method @password @username
// @plugin @aid @encryption @protocol @name), else a parameter of its own.
// The first value given stands; append joins later ones with commas.
void doc_set(DocServer *s, const char *param, const char *value, bool append = false);
const char *doc_get(DocServer *s, const char *param);
// The server's link (or its refusal) as the list's next entry, the record
// freed; -1 when memory ran out.
int doc_list_add(DocList *list, DocServer *s);

// A format's members, each read into a link field: a table is one text of
// rows "member" KIND "to" ";", where KIND is
//   ":"  a text, whole number or switch as written, into the link field "to"
//        (a transport parameter such as "sni"; "@server" and the like for the
//        server's own fields, doc_set)
//   ","  a list of texts (or one), joined with commas, into "to"
//   "?"  true: the certificate is not verified
//   ""   passed over without a word (or read by the format's own code)
//   "!"  refused when set; "to" names it in the refusal
//   ">"  an object read by the table numbered "to" in tables
//   "="  a list of one object, read likewise
//   "~"  HTTP headers: Host, and no other
//   "^"  "host:port"
//   "*"  WireGuard's allowed IPs: all of them, or refused
// and a row "..." passes over any other member. Each member no row names is
// warned of as dropped; where goes before names.
void doc_fields(DocServer *s, json_object *object, const char *where, const char *table, const char *const *tables);
// A member as text ("" when absent or null, and with the reason set when it
// is neither text, whole number nor switch), and a switch (-1 when absent).
const char *doc_text(DocServer *s, json_object *object, const char *where, const char *name);
int doc_switch(DocServer *s, json_object *object, const char *where, const char *name);
json_object *doc_member(json_object *object, const char *name);
// WebSocket early data, as Xray sends it: in Sec-WebSocket-Protocol, its
// size taken from the path ("?ed=2048"); where names the object in refusals.
void doc_early_data(DocServer *s, json_object *object, const char *where, const char *size_name,
                    const char *header_name);
// "host:port" or "[v6]:port" into the server's own fields; name names it
// in the refusal.
void doc_endpoint(DocServer *s, const char *name, const char *endpoint);
// WireGuard's allowed IPs without blanks, in place ("0.0.0.0/0, ::/0" as a
// link writes them); whether they are all addresses, as the node carries.
bool doc_all_ips(char *ips);
#define DOC_NOT_ALL_IPS "%s%s %s cannot be carried by a link (the node carries everything)"
// Whether the text from line to stop is word, in any case.
bool doc_line_is(const char *line, const char *stop, const char *word);
// The text of any JSON value, for messages.
const char *doc_shown(json_object *value);
// The transport's extra: the object's members, if any, as JSON text; the
// object released.
void doc_set_extra(DocServer *s, json_object *extra);
// A scheme by a format's name for it, from rows {format's name, scheme}.
const char *doc_scheme(const char *const (*rows)[2], const char *name);

// The readers. Each parses the text and fills the list.
int doc_read_json(const char *text, size_t length, DocList *list);
int doc_read_mihomo(const char *text, size_t length, DocList *list);
int doc_read_wireguard(const char *text, size_t length, DocList *list);

// What import reads: DOC_LINKS for a list of links (as import has always
// read), else the document's format already read into the list.
enum { DOC_LINKS = -1 };
int doc_detect_and_read(const char *text, size_t length, DocList *list);
