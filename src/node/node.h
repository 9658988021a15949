// tarvick-node: share links in and out of the settings store. A link is read
// into a NodeLink (the settings it carries, by field name), and a NodeLink is
// what an exported link is made from.
#pragma once

#include "store.h"

#include <stddef.h>


enum {
    NODE_FIELD_MAX = 40,
    NODE_ARENA_SIZE = 2048, // a link's usual values fit without an allocation each
    NODE_VALUE_MAX = 9998, // what one lookup can carry back
    NODE_LINK_MAX = 65536, // longest link export builds
};

enum NodeResult {
    NODE_OK = 0,
    NODE_REFUSED = 1, // a link, or a node, no document or link can carry
    NODE_USAGE = 2,
    NODE_USAGE_SAID = 3, // exit 2 as for usage, with a message of its own instead
};

struct NodeField {
    char name[48]; // "server" for "ssconf_basic_server_<N>"
    size_t name_length;
    char *value;   // in the link's arena, or allocated when owned
    size_t length;
    bool owned;
};

// One node: the proxy kind tarvick is run with, the link's remark and the
// settings. reason holds the first refusal; warnings every note, one line
// each. Both come with every control byte of the input escaped.
struct NodeLink {
    int type;
    char *name;
    NodeField fields[NODE_FIELD_MAX];
    int count;
    bool for_xray; // read for tarvick-node xray's document, not tarvick's
    char reason[256];
    char *warnings; // each note ends in a newline; NULL when there is none
    size_t warnings_length;
    size_t arena_used;
    char arena[NODE_ARENA_SIZE];
};

void node_link_init(NodeLink *link);
void node_link_clear(NodeLink *link);
// Sets a field (replacing it); refuses a value holding a NUL or longer than a
// lookup returns. Returns 0 or -1 with the reason set.
int node_set(NodeLink *link, const char *name, const char *value, size_t length);
int node_set_text(NodeLink *link, const char *name, const char *value);
// Adds a field known to be new, with a value already found sound.
int node_add(NodeLink *link, const char *name, size_t name_length, const char *value, size_t length);
// Stores a password as the store keeps it: Base64, standard alphabet, padded.
int node_set_password(NodeLink *link, const char *password, size_t length);
const char *node_get(const NodeLink *link, const char *name);
bool node_has(const NodeLink *link, const char *name);
int node_refuse(NodeLink *link, const char *format, ...) __attribute__((format(printf, 2, 3)));
// node_refuse(link, "out of memory"), the refusal every allocation shares.
int node_out_of_memory(NodeLink *link);
void node_warn(NodeLink *link, const char *format, ...) __attribute__((format(printf, 2, 3)));
int node_set_name(NodeLink *link, const char *name, size_t length);

// Growable text that releases itself.
struct NodeText {
    char *data;
    size_t length;
    size_t capacity;
    NodeText();
    ~NodeText();
    NodeText(const NodeText &) = delete;
    NodeText &operator=(const NodeText &) = delete;
};
int text_append(NodeText *text, const char *data, size_t length);
// Gives back the text's memory, leaving it empty.
void text_release(NodeText *text);
// Makes room for size bytes in all.
int text_reserve(NodeText *text, size_t size);
int text_append_str(NodeText *text, const char *data);
// Appends data in Base64, URL-safe without padding or standard with it.
int text_append_base64(NodeText *text, const void *data, size_t length, bool url_safe);
int text_printf(NodeText *text, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Percent-encodes everything but unreserved characters.
int text_append_percent(NodeText *text, const char *data);

// Copies text with every control byte (below 0x20, and 0x7f) written as
// "\xHH", cut to fit size with its NUL; returns the length written.
size_t text_escape_controls(char *out, size_t size, const char *text);
// Percent-decodes in place ("%zz" stays as it is); returns the new length.
size_t link_percent_decode(char *text, size_t length);

// Link Base64 (either alphabet) decoded into a new NUL-terminated buffer the
// caller frees, *decoded its length. NULL for broken text, and NULL with the
// reason set out of memory.
char *link_unbase64(NodeLink *link, const char *text, size_t length, long *decoded);

// Query parameters of a link, percent-decoded.
struct LinkParam {
    const char *name;
    const char *value;
    size_t length;
    bool used;
};
enum { LINK_PARAM_MAX = 32 };
struct LinkQuery {
    LinkParam params[LINK_PARAM_MAX];
    int count;
};
// Splits "a=1&b=2" in place. Returns -1, with the link's reason set, for
// more parameters than it holds or a NUL byte in one.
int link_query_parse(NodeLink *link, LinkQuery *query, char *text);
// "user@authority/path?query#remark", in place: the remark becomes the
// link's name and the query is parsed. Returns the authority (a path after it
// says nothing), with *user the text before "@" or NULL when there is none;
// NULL when the query is refused.
char *link_split(NodeLink *link, char *text, LinkQuery *query, char **user);
// The remark after "#", percent-decoded, as the link's name; returns text,
// ended where the remark began.
char *link_take_remark(NodeLink *link, char *text);
// Refuses what only tarvick-node xray's document carries ("protocol",
// "wireguard") for tarvick's.
int link_refuse_xray_only(NodeLink *link, const char *what, const char *name);
// The value of a parameter ("" when absent), marked as used.
const char *link_query_get(LinkQuery *query, const char *name);
// Warns of every parameter that no reader asked for.
void link_query_warn_unused(NodeLink *link, const LinkQuery *query, const char *document);

// A transport as links name it, for vmess, vless, trojan and Shadowsocks
// links alike; every text is "" when the link has none.
enum { LINK_VERIFY_UNSAID, LINK_VERIFY_ASKED, LINK_VERIFY_SKIP };
struct LinkTransport {
    const char *security;  // none tls xtls reality
    const char *network;   // as links name it: tcp raw kcp ws http h2 quic grpc xhttp httpupgrade
    const char *header;    // headerType (vmess: type)
    const char *host;      // ws, h2, the tcp http header, xhttp, httpupgrade
    const char *path;      // ws, h2, xhttp, httpupgrade
    const char *service;   // serviceName
    const char *mode;      // gRPC: multi or gun; xhttp: its mode
    const char *quic_security;
    const char *quic_key;
    const char *seed;      // mKCP seed
    const char *sni;
    const char *fingerprint;
    const char *flow;
    const char *alpn;
    const char *public_key; // REALITY: pbk, sid, spx
    const char *short_id;
    const char *spider;
    const char *pinned;    // pcs: certificate hashes to pin
    const char *names;     // vcn: names to verify the certificate by
    const char *authority; // what no document carries
    const char *extra;
    const char *mldsa;
    const char *ech;
    const char *mask;
    int verify;            // what the link says of verifying the certificate
    const char *verify_said_by; // the parameter that said it
};
// vless and trojan parameters; the table order is the order export writes.
enum LinkFieldUse {
    LINK_FIELD_NAME = 1 << 0,      // a name or path the client sends: no control bytes
    LINK_FIELD_READ_ONLY = 1 << 1, // read to refuse it, never exported
    LINK_FIELD_DEFAULTS = 1 << 2,  // a plain ss link may state its default
};
struct LinkQueryField {
    const char *param;
    unsigned short offset; // in LinkTransport; short, as the table is large
    unsigned char use;     // LinkFieldUse
};
#define LINK_QUERY_FIELD(param, member, use) {param, offsetof(LinkTransport, member), use}
extern const LinkQueryField LINK_QUERY_FIELDS[];
extern const size_t LINK_QUERY_FIELD_COUNT;
const char *&link_transport_member(LinkTransport *t, size_t offset);
// Every text "", verification unsaid.
void link_transport_clear(LinkTransport *t);
// What a link's switch says of verifying the certificate: name=1 or true
// means not to when skip_when_true, to verify otherwise. 0, or -1 with the
// reason set for a value that is no switch or a contradiction.
int link_verify_switch(NodeLink *link, LinkTransport *t, const char *name, const char *value, bool skip_when_true);
// The transport parameters of a URL link's query (marked as used).
int link_query_transport(NodeLink *link, LinkQuery *query, LinkTransport *t);
// The node's transport settings from a link's; -1 with the reason set for
// what the documents cannot carry. server stands in for a missing sni.
int link_set_transport(NodeLink *link, const LinkTransport *t, const char *server);
// The link's transport from the node's settings; -1 when no link names it.
int link_get_transport(NodeLink *node, LinkTransport *t);
// The node's transport as link parameters, after out's "?" or a parameter.
int link_write_transport(NodeLink *node, NodeText *out);
// "&name=value", the value percent-encoded, with no "&" straight after the
// "?"; nothing for an empty value. 0, or -1 out of memory.
int link_append_param(NodeText *out, const char *name, const char *value);
// before, the node's "host:port" ("[v6]:port" for an IPv6 address), after.
int link_append_server(NodeLink *node, NodeText *out, const char *before, const char *after);
// The node's password decoded, for the caller to free; NULL with the reason
// set out of memory.
char *link_password(NodeLink *node);
// scheme, user percent-encoded (the node's password when NULL), then
// "@host:port" and after. 0, or -1 with the reason set.
int link_write_head(NodeLink *node, NodeText *out, const char *scheme, const char *user, const char *after);
// A link parameter and the node's setting it carries.
struct LinkParamField {
    const char *param, *field;
};
// scheme, the password, "@host:port/?" and each parameter whose setting the
// node has, in the table's order. 0, or -1 with the reason set.
int link_write_keyed(NodeLink *node, NodeText *out, const char *scheme, const LinkParamField *params, size_t count);
// A link parameter's text, or the fallback where the link left it out or empty.
inline const char *link_or_default(const char *text, const char *fallback)
{
    return text && text[0] ? text : fallback;
}
// What only tarvick-node xray's document carries (link_xray.cpp): XHTTP's
// extra, gRPC's authority, pqv and ech, each kept for the transport and
// security that read it. 1 when the node holds what tarvick's document
// cannot carry (VLESS Encryption too), 0 when not, -1 with the reason set.
struct V2rayName;
int link_set_xray_members(NodeLink *link, const LinkTransport *t, const V2rayName *network_row,
                          const V2rayName *security_row, const char *mode, const char *server_name);
// Refuses now what tarvick-node xray would refuse of a setting the node
// holds, with its words. 0, or -1 with the reason set.
int link_check(NodeLink *link, const char *field);
// Sets a setting tarvick-node xray checks, and checks it.
int link_set_checked(NodeLink *link, const char *field, const char *value);
// VLESS Encryption other than none, for tarvick-node xray. 0, or -1 with
// the reason set.
int link_set_vless_encryption(NodeLink *link, const char *encryption);
// "type 2, protocol": the node's protocol and transport from a link's.
int link_set_v2ray(NodeLink *link, const char *protocol, const LinkTransport *t);

// Whether a host can stand in a link as it is: a name or IPv4 address without
// blanks, control bytes or URL delimiters, or an IPv6 address.
bool link_host_valid(const char *host);
// A host and a port, stored as the node's server and port. Returns 0, or -1
// with the reason set.
int link_set_address(NodeLink *link, const char *host, const char *port_text);
// The same of "host:port" or "[v6]:port", in place.
int link_set_server(NodeLink *link, char *text);
// Writes a non-negative number in decimal with a NUL; returns its length.
size_t text_put_number(char *out, unsigned long value);
// 1 to 65535 written in decimal only.
int link_port(const char *text);

// Per scheme: read one link (the text after "scheme://") into a NodeLink.
// Each returns 0, or -1 with the reason set.
int link_read_ss(NodeLink *link, char *text, size_t length);
int link_read_ssr(NodeLink *link, char *text, size_t length);
int link_read_vmess(NodeLink *link, char *text, size_t length);
int link_read_vless(NodeLink *link, char *text, size_t length);
int link_read_trojan(NodeLink *link, char *text, size_t length);
int link_read_socks(NodeLink *link, char *text, size_t length);
int link_read_http(NodeLink *link, char *text, size_t length);
// Current Xray's own kinds, read only for tarvick-node xray's document.
int link_read_hysteria2(NodeLink *link, char *text, size_t length);
int link_read_wireguard(NodeLink *link, char *text, size_t length);

// Per scheme: make the link of a node as tarvick reads it. Each returns 0, or
// -1 with the node's reason set.
int link_write_ss(NodeLink *node, NodeText *out);
int link_write_ssr(NodeLink *node, NodeText *out);
int link_write_vmess(NodeLink *node, NodeText *out);
int link_write_vless(NodeLink *node, NodeText *out);
int link_write_trojan(NodeLink *node, NodeText *out);
// socks:// or http://, by the node's protocol.
int link_write_proxy(NodeLink *node, NodeText *out);
int link_write_hysteria2(NodeLink *node, NodeText *out);
int link_write_wireguard(NodeLink *node, NodeText *out);
// The members of the vmess link's JSON form, in the order links write them.
enum { VMESS_MEMBER_COUNT = 22 };
extern const char *const VMESS_MEMBERS[VMESS_MEMBER_COUNT];
// "vmess://" and the Base64 of the JSON object of the members with these
// values: the first always of them written even when empty, the rest only
// when set; extra's is JSON text, written as the object it is. 0, or -1 out
// of memory.
int link_append_vmess(NodeText *out, const char *const *values, size_t always);
// The link of any node, chosen by its type and protocol.
int link_write(NodeLink *node, NodeText *out);

// Which document a node is read for: tarvick's for its type, or
// tarvick-node xray's (types 0, 2 and 3; the settings tell which), whose
// keys come first, then those only tarvick reads for that type.
enum NodeDocument { DOCUMENT_TARVICK, DOCUMENT_XRAY };
// The type of a node read for tarvick-node xray when the settings are to tell it.
enum { NODE_TYPE_TOLD = -1 };
// What node_record returns when the document's writer refuses the node
// (tarvick 2 a security it cannot write, tarvick-node xray what current Xray
// would not run): every key was read all the same, and the reason is set.
enum { NODE_RECORD_REFUSED = 1 };

// Runs the writer of the document over a settings source for the node's
// type and index, and keeps every per-node setting it reads, in the order it
// reads them, with the value it got. Returns 0, NODE_RECORD_REFUSED, or -1
// when a lookup failed or memory ran out (the reason is set).
int node_record(NodeLink *out, int type, int node, StoreSource *source, NodeDocument document);
// The same, and the document for those settings is written to path, with
// these ports and the transport list "tcp,udp".
int node_record_document(NodeLink *out, int type, int node, StoreSource *source, NodeDocument document,
                         const char *path, int local_port, int second_port);
// The field of a per-node key of this node ("server" of
// "ssconf_basic_server_3"); -1 for any other key.
int node_key_field(const char *key, int node, char *name, size_t size);

// The generator's keys per shape of node, kept across the links of a run.
// It counts on a rule: a fill-only setting, whatever it holds, never changes
// which keys a generator reads. Their names, NULL past the last:
const char *import_fill_only_name(size_t i);
struct ImportCache;
// for_xray: the links are read for tarvick-node xray's document.
ImportCache *import_cache_new(bool for_xray);
void import_cache_free(ImportCache *cache);

// What node_read_link returns for an entry that is no server (a banner, an
// expired account's entry): link's reason says why, as a note.
enum { NODE_NOT_A_SERVER = 2 };
// Reads one link (a line of text, changed in place) into its settings as
// node index: link gets what the link says (and its name, reason, warnings),
// node the settings tarvick reads for it, in the order it reads them.
// Returns 0, NODE_NOT_A_SERVER, or -1 with the reason in link or node. scheme names the link's
// scheme for messages. Both records are the caller's to clear; node may hold
// link's own values, so it is used only while link is.
int node_read_link(ImportCache *cache, char *line, size_t length, int index, NodeLink *link, NodeLink *node,
                   const char **scheme);

// "TYPE [NODE]" and one option of export and check (a flag, or one that
// takes a value). Returns 0, or NODE_USAGE.
struct NodeTarget {
    int type;
    NodeDocument document; // TYPE "xray": as tarvick-node xray reads it, type NODE_TYPE_TOLD
    const char *type_name; // TYPE as given, for messages
    const char *node; // NULL: the active node
    int index;        // the node's index when named
    bool option;      // the option was given
    const char *value; // and its value
};
int node_parse_target(int argc, char **argv, const char *option, bool takes_value, NodeTarget *target);
// text as a whole number from 0 to most (strtol reading all of it); -1 otherwise.
long node_number(const char *text, long most);
// The node index to read, after the node lookup tarvick makes first (so an
// unreachable daemon is started and told once, as tarvick does it). Returns
// 0, or NODE_REFUSED when the daemon could not be asked.
int node_target_index(const NodeTarget *target, StoreSource *daemon, int *node);

// The facts check knows, as its man page lists them: returns the severity
// and makes text "RELEASES: WHAT [SETTING]: WHAT TO DO."; NULL past the last.
const char *check_fact(size_t i, char *text, size_t size);

// The commands.
int node_import(int argc, char **argv);
int node_export(int argc, char **argv);
int node_check(int argc, char **argv);
// The document current Xray reads, as "tarvick 2" would be run (xray.h).
int node_xray(int argc, char **argv);
// Draws text as a QR code on standard output; -1 when it cannot.
int node_draw_qr(const char *text);
bool node_has_qr(void);
