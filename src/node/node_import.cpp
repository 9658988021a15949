// tarvick-node import: share links, a Base64 subscription of them, or a
// whole document (doc.h), to node settings in the development daemon's settings-file format.
#include "doc.h"
#include "node.h"
#include "tarvick.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const size_t IMPORT_INPUT_MAX = 16u << 20;
// Whole node blocks are gathered up to this size and written at once.
const size_t IMPORT_OUTPUT_CHUNK = 64u << 10;

typedef int (*LinkReader)(NodeLink *link, char *text, size_t length);

struct Scheme {
    const char *name;
    LinkReader read;
};

// Schemes are matched in any case ("VMESS://" too), the C locale's only.
bool link_same_word(const char *text, const char *word, size_t length)
{
    for (size_t i = 0; i < length; i++)
        if ((text[i] >= 'A' && text[i] <= 'Z' ? text[i] + 32 : text[i]) != word[i])
            return false;
    return true;
}

const Scheme IMPORT_SCHEMES[] = {
    {"ss", link_read_ss},
    {"ssr", link_read_ssr},
    {"vmess", link_read_vmess},
    {"vless", link_read_vless},
    {"trojan", link_read_trojan},
    {"socks", link_read_socks},
    {"socks5", link_read_socks},
    {"http", link_read_http},
    {"hysteria2", link_read_hysteria2},
    {"hy2", link_read_hysteria2},
    {"wireguard", link_read_wireguard},
    {"wg", link_read_wireguard},
};

// Share links of protocols that none of the clients tarvick and tarvick-node
// xray write for can run.
const char *const IMPORT_NO_CLIENT[] = {
    "tuic", "anytls", "shadowtls", "naive", "naive+https", "naive+quic", "mieru", "mierus",
    "hysteria", "hy", "juicity", "snell", "brook", "ssh",
};

// What subscriptions carry that is no server: a usage banner or an expired
// account's entry, pointing nowhere. The reason, or NULL for a server.
const char *import_not_a_server(const NodeLink *link)
{
    static const char *const NAMES[] = {"server", "v2ray_network_tlshost", "trojan_sni", "v2ray_network_host"};
    for (const char *name : NAMES) {
        const char *value = node_get(link, name);
        if (strcasecmp(value, "fake_ip_for_sub_link") == 0)
            return "its address is fake_ip_for_sub_link";
        // A date (2026-12-31, with a time or not) or a Unix time stamp.
        size_t digits = strspn(value, "0123456789");
        bool date = digits == 4 && value[4] == '-' && strspn(value + 5, "0123456789") == 2 && value[7] == '-' &&
                    strspn(value + 8, "0123456789") == 2 && (!value[10] || strchr("T _", value[10]));
        if (date || (digits >= 9 && !value[digits]))
            return "its address is a time stamp";
    }
    const char *server = node_get(link, "server");
    if (strcmp(server, "0.0.0.0") == 0 || strcmp(server, "::") == 0)
        return "its address is no host";
    return NULL;
}

bool import_no_client(const char *scheme, size_t length)
{
    for (const char *name : IMPORT_NO_CLIENT)
        if (strlen(name) == length && link_same_word(scheme, name, length))
            return true;
    return false;
}

// The link being imported answers the generator's lookups.
struct ImportAnswer {
    const NodeLink *link;
    int node;
};

int import_answer(StoreSource *source, const char *key, ValueBuffer *value)
{
    const ImportAnswer *answer = (const ImportAnswer *)source->context;
    char name[sizeof answer->link->fields[0].name];
    if (node_key_field(key, answer->node, name, sizeof name) == 0)
        snprintf(value->text, sizeof value->text, "%s", node_get(answer->link, name));
    return 0;
}

bool import_same_file(const struct stat *a, const struct stat *b)
{
    return a->st_size == b->st_size && a->st_ctim.tv_sec == b->st_ctim.tv_sec &&
           a->st_ctim.tv_nsec == b->st_ctim.tv_nsec;
}

// Reads all of the input, refusing more than the limit before printing, and
// a file that changed while it was read: a link cut short would import as
// another node.
int import_read(const char *path, NodeText *input)
{
    FILE *file = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
    if (!file) {
        fprintf(stderr, "tarvick-node: %s: %s\n", path, strerror(errno));
        return -1;
    }
    struct stat before, after;
    bool regular = fstat(fileno(file), &before) == 0 && S_ISREG(before.st_mode);
    size_t got = 1;
    const char *problem = NULL;
    while (!problem && got > 0) {
        if (input->capacity - input->length < 2 && text_reserve(input, input->capacity * 2 + 65536) != 0) {
            problem = "out of memory";
            break;
        }
        // A byte past the limit is enough to refuse a larger input.
        size_t room = input->capacity - input->length - 1, left = IMPORT_INPUT_MAX + 1 - input->length;
        got = fread(input->data + input->length, 1, room < left ? room : left, file);
        input->length += got;
        if (input->length > IMPORT_INPUT_MAX)
            problem = "input is larger than 16 MiB";
    }
    if (!problem && ferror(file))
        problem = strerror(errno);
    if (!problem && regular &&
        (fstat(fileno(file), &after) != 0 || !import_same_file(&before, &after) ||
         (off_t)input->length != after.st_size))
        problem = "the file changed while it was read";
    if (file != stdin)
        fclose(file);
    if (problem) {
        fprintf(stderr, "tarvick-node: %s: %s\n", path, problem);
        return -1;
    }
    input->data[input->length] = '\0';
    return 0;
}

// Editors on some systems start a text with a UTF-8 byte order mark.
void import_drop_bom(NodeText *input)
{
    if (input->length >= 3 && memcmp(input->data, "\xEF\xBB\xBF", 3) == 0) {
        input->length -= 3;
        memmove(input->data, input->data + 3, input->length + 1);
    }
}

// A subscription is the Base64 of the links; plain links hold "://".
int import_unwrap(NodeText *input)
{
    import_drop_bom(input);
    if (strstr(input->data, "://"))
        return 0;
    char *plain = (char *)malloc(input->length * 3 / 4 + 4);
    if (!plain)
        return -1;
    long length = decode_base64_strict(input->data, input->length, (unsigned char *)plain);
    if (length > 0) {
        size_t capacity = input->length * 3 / 4 + 4;
        text_release(input);
        input->data = plain;
        input->length = (size_t)length;
        input->capacity = capacity;
        import_drop_bom(input);
    } else {
        free(plain); // not Base64 either: each line is refused on its own
    }
    return 0;
}

// In the development daemon's escapes, so any byte survives the round trip;
// at most four bytes are written for each byte of the value.
char *import_put_value(char *out, const char *value, size_t length)
{
    static const char HEX[] = "0123456789abcdef";
    for (const unsigned char *p = (const unsigned char *)value, *end = p + length; p < end; p++) {
        if (*p >= 0x20 && *p != 0x7f && *p != '\\') {
            *out++ = (char)*p;
        } else if (*p == '\\' || *p == '\n' || *p == '\t') {
            *out++ = '\\';
            *out++ = *p == '\\' ? '\\' : *p == '\n' ? 'n' : 't';
        } else {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = HEX[*p >> 4];
            *out++ = HEX[*p & 15];
        }
    }
    return out;
}

char *import_put(char *out, const char *text, size_t length)
{
    memcpy(out, text, length);
    return out + length;
}

// Which settings tarvick reads depends on a few of them (the protocol, the
// network, a switch); the addresses, names and secrets that make every node
// of a subscription different only fill members, whatever they hold. The
// generator therefore runs once per shape of node, and its keys are reused
// for the same shape: a value that only fills members counts by its name
// alone, any other value by its text. A setting not named here is part of
// the shape: a Shadowsocks method and a ShadowsocksR protocol are, as
// tarvick-node xray tells a node's kind by them.
struct FillOnly {
    const char *name;
    size_t length;
};
#define FILL_ONLY(name) {name, sizeof name - 1}
const FillOnly IMPORT_FILL_ONLY[] = {
    FILL_ONLY("server"), FILL_ONLY("port"), FILL_ONLY("password"), FILL_ONLY("v2ray_uuid"),
    FILL_ONLY("v2ray_alterid"), FILL_ONLY("v2ray_network_host"), FILL_ONLY("v2ray_network_path"),
    FILL_ONLY("v2ray_network_tlshost"), FILL_ONLY("v2ray_grpc_serviceName"), FILL_ONLY("v2ray_quic_key"),
    FILL_ONLY("ss_obfs_host"), FILL_ONLY("ssr_protocol_param"), FILL_ONLY("ssr_obfs_param"),
    FILL_ONLY("trojan_sni"), FILL_ONLY("ssr_obfs"),
    FILL_ONLY("v2ray_security"), FILL_ONLY("v2ray_ss_method"), FILL_ONLY("v2ray_fingerprint"),
    FILL_ONLY("v2ray_quic_security"), FILL_ONLY("v2ray_quic_guise"), FILL_ONLY("v2ray_network_flow"),
    FILL_ONLY("ssl_verify_enable"), FILL_ONLY("v2ray_reality_publickey"), FILL_ONLY("v2ray_reality_shortid"),
    FILL_ONLY("v2ray_reality_spiderx"), FILL_ONLY("v2ray_xhttp_mode"), FILL_ONLY("v2ray_tls_alpn"),
    FILL_ONLY("v2ray_tls_pinned_sha256"), FILL_ONLY("v2ray_tls_verify_names"),
    FILL_ONLY("v2ray_hysteria_obfs_password"), FILL_ONLY("v2ray_hysteria_hop_ports"), FILL_ONLY("v2ray_hysteria_up"),
    FILL_ONLY("v2ray_hysteria_down"), FILL_ONLY("v2ray_wireguard_publickey"),
    FILL_ONLY("v2ray_wireguard_presharedkey"), FILL_ONLY("v2ray_wireguard_address"), FILL_ONLY("v2ray_wireguard_mtu"),
    FILL_ONLY("v2ray_wireguard_reserved"), FILL_ONLY("v2ray_wireguard_keepalive"),
    // What only tarvick-node xray reads; a refused value refuses the node
    // without changing which keys are read.
    FILL_ONLY("v2ray_vless_encryption"), FILL_ONLY("v2ray_xhttp_extra"), FILL_ONLY("v2ray_grpc_authority"),
    FILL_ONLY("v2ray_reality_mldsa65_verify"), FILL_ONLY("v2ray_tls_ech_config"),
};
#undef FILL_ONLY

bool import_fill_only(const char *name, size_t length)
{
    for (const FillOnly &fill : IMPORT_FILL_ONLY)
        if (fill.length == length && memcmp(fill.name, name, length) == 0)
            return true;
    return false;
}

enum { IMPORT_SHAPES = 64, IMPORT_SHAPE_TEXT = 512 };

struct ImportShape {
    char text[IMPORT_SHAPE_TEXT];
    size_t length;
    // The generator's keys as the node's fields, their values left to fill.
    int type;
    int count;
    NodeField fields[NODE_FIELD_MAX];
    // Where each name's value stands among the link's fields (the shape fixes
    // their order), or -1 for a setting the link leaves out.
    signed char from[NODE_FIELD_MAX];
};

// The shape of a link as text, each value after its length so that no value
// can pass for another field; its length, or 0 when it is too long to keep.
size_t import_shape_of(const NodeLink *link, char *text)
{
    size_t used = 0;
    text[used++] = (char)('0' + link->type);
    for (int i = 0; i < link->count; i++) {
        const NodeField *field = &link->fields[i];
        size_t name_length = field->name_length;
        size_t value_length = import_fill_only(field->name, name_length) ? 0 : field->length;
        if (used + name_length + value_length + 4 > IMPORT_SHAPE_TEXT)
            return 0;
        text[used++] = '\n';
        memcpy(text + used, field->name, name_length);
        used += name_length;
        // Values are shorter than 10,000 bytes: two bytes hold the length.
        text[used++] = (char)(value_length >> 8);
        text[used++] = (char)value_length;
        memcpy(text + used, field->value, value_length);
        used += value_length;
    }
    return used;
}

} // namespace

const char *import_fill_only_name(size_t i)
{
    return i < sizeof IMPORT_FILL_ONLY / sizeof IMPORT_FILL_ONLY[0] ? IMPORT_FILL_ONLY[i].name : NULL;
}

struct ImportCache {
    ImportShape shapes[IMPORT_SHAPES];
    int count;
    bool for_xray;
    char empty[1];
};

ImportCache *import_cache_new(bool for_xray)
{
    ImportCache *cache = (ImportCache *)malloc(sizeof *cache);
    if (cache) {
        cache->count = 0;
        cache->for_xray = for_xray;
        cache->empty[0] = '\0';
    }
    return cache;
}

void import_cache_free(ImportCache *cache)
{
    free(cache);
}

namespace {

// The node's settings: the generator's keys for this shape, with the link's
// values (every key the generator reads that the link leaves out is empty).
int import_record(ImportCache *cache, NodeLink *node, const NodeLink *link, int index)
{
    char text[IMPORT_SHAPE_TEXT];
    size_t length = import_shape_of(link, text);
    for (int s = 0; length > 0 && s < cache->count; s++) {
        const ImportShape *shape = &cache->shapes[s];
        if (shape->length != length || memcmp(shape->text, text, length) != 0)
            continue;
        // The values stay the link's own: the node is read and cleared with it.
        memcpy(node->fields, shape->fields, (size_t)shape->count * sizeof *node->fields);
        node->type = shape->type;
        node->count = shape->count;
        for (int i = 0; i < shape->count; i++) {
            const NodeField *field = shape->from[i] >= 0 ? &link->fields[shape->from[i]] : NULL;
            node->fields[i].value = field ? field->value : cache->empty;
            node->fields[i].length = field ? field->length : 0;
            node->fields[i].owned = false;
        }
        return 0;
    }
    ImportAnswer answer = {link, index};
    // Each link is a run of its own: memory that ran out for one is that
    // link's refusal only.
    StoreSource source = {import_answer, &answer, false};
    // Whether tarvick-node xray refuses the node is its own run's business.
    NodeDocument document = link->for_xray && link->type != PROXY_SHADOWSOCKSR ? DOCUMENT_XRAY : DOCUMENT_TARVICK;
    int recorded = node_record(node, link->type, index, &source, document);
    if (recorded != 0 && recorded != NODE_RECORD_REFUSED)
        return -1;
    if (length > 0 && cache->count < IMPORT_SHAPES) {
        ImportShape *shape = &cache->shapes[cache->count++];
        memcpy(shape->text, text, length);
        shape->length = length;
        shape->type = node->type;
        shape->count = node->count;
        memcpy(shape->fields, node->fields, (size_t)node->count * sizeof *node->fields);
        for (int i = 0; i < node->count; i++) {
            shape->from[i] = -1;
            for (int j = 0; j < link->count; j++)
                if (strcmp(link->fields[j].name, node->fields[i].name) == 0)
                    shape->from[i] = (signed char)j;
        }
    }
    return 0;
}

// Standard output, where node blocks go whole or not at all.
struct ImportOutput {
    NodeText pending; // whole blocks not yet written
    int error;        // errno of a write that failed; nothing more is written
};

// Writes the blocks gathered so far in one go. A signal that would end
// import waits until the write has returned, so a block is never cut by it;
// a short write (a full disk) to a file is cut back to the last whole block.
int import_flush(ImportOutput *output)
{
    if (output->pending.length == 0 || output->error)
        return output->error ? -1 : 0;
    sigset_t stop, saved;
    sigemptyset(&stop);
    static const int ENDING[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
    for (int signal : ENDING)
        sigaddset(&stop, signal);
    sigprocmask(SIG_BLOCK, &stop, &saved);
    // ">>" opens the file for appending: its end, not the offset, is where
    // this write starts.
    struct stat info;
    int flags = fcntl(1, F_GETFL);
    bool regular = fstat(1, &info) == 0 && S_ISREG(info.st_mode);
    off_t start = !regular ? -1 : flags >= 0 && (flags & O_APPEND) ? info.st_size : lseek(1, 0, SEEK_CUR);
    size_t done = 0;
    while (done < output->pending.length && !output->error) {
        ssize_t n = write(1, output->pending.data + done, output->pending.length - done);
        if (n > 0)
            done += (size_t)n;
        else if (n < 0 && errno != EINTR)
            output->error = errno;
        else if (n == 0)
            output->error = EIO;
    }
    if (output->error && done > 0 && start >= 0 && ftruncate(1, start) != 0)
        fprintf(stderr, "tarvick-node: standard output: a cut block could not be removed: %s\n", strerror(errno));
    output->pending.length = 0;
    sigprocmask(SIG_SETMASK, &saved, NULL);
    if (output->error)
        fprintf(stderr, "tarvick-node: standard output: %s\n", strerror(output->error));
    return output->error ? -1 : 0;
}

int import_print(ImportOutput *output, const NodeLink *node, const NodeLink *link, int index)
{
    char number[16];
    size_t digits = text_put_number(number, (unsigned long)index);
    const char *name = link->name ? link->name : "";
    size_t name_length = strlen(name);
    size_t size = 32 + digits + name_length;
    for (int i = 0; i < node->count; i++)
        size += 16 + node->fields[i].name_length + digits + 4 * node->fields[i].length;
    if (output->pending.length + size > IMPORT_OUTPUT_CHUNK && import_flush(output) != 0)
        return -1;
    if (text_reserve(&output->pending, output->pending.length + size) != 0)
        return -1;
    char *start = output->pending.data + output->pending.length;
    char *out = import_put(start, "# node ", 7);
    out = import_put(out, number, digits);
    out = import_put(out, " type ", 6);
    *out++ = (char)('0' + node->type);
    if (name_length) {
        *out++ = ' ';
        out = import_put(out, name, name_length);
    }
    *out++ = '\n';
    for (int i = 0; i < node->count; i++) {
        out = import_put(out, "ssconf_basic_", 13);
        out = import_put(out, node->fields[i].name, node->fields[i].name_length);
        *out++ = '_';
        out = import_put(out, number, digits);
        *out++ = '=';
        out = import_put_value(out, node->fields[i].value, node->fields[i].length);
        *out++ = '\n';
    }
    output->pending.length += (size_t)(out - start);
    return 0;
}

// "line L: SCHEME" for a link of a list; a document's entry has a label of
// its own ("FORMAT: entry K \"NAME\"").
void import_say(const char *label, long number, const char *scheme, const char *what, const char *text,
                size_t length)
{
    char shown[64];
    text_escape_controls(shown, sizeof shown, scheme);
    if (label)
        fprintf(stderr, "tarvick-node: %s: %s%.*s\n", label, what, (int)length, text);
    else
        fprintf(stderr, "tarvick-node: line %ld: %s: %s%.*s\n", number, shown, what, (int)length, text);
}

// Each warning of notes (one a line) as a line of its own.
void import_warn_all(const char *label, long number, const char *scheme, const char *notes)
{
    for (const char *note = notes; note && *note;) {
        size_t note_length = strcspn(note, "\n");
        import_say(label, number, scheme, "warning: ", note, note_length);
        note += note_length + (note[note_length] == '\n');
    }
}

// One line: 1 imported, 0 refused (said on stderr), 2 no server (a note
// said so), -1 when output failed.
int import_line(ImportCache *cache, ImportOutput *output, char *line, size_t length, const char *label, long number,
                int index)
{
    NodeLink link, node;
    const char *scheme = NULL;
    int rc = node_read_link(cache, line, length, index, &link, &node, &scheme);
    bool no_server = rc == NODE_NOT_A_SERVER;
    if (rc == 0)
        import_warn_all(label, number, scheme, link.warnings);
    int printed = rc == 0 ? import_print(output, &node, &link, index) : 0;
    if (printed != 0 && !output->error) // no room for the block: the link is refused, not lost unsaid
        rc = node_refuse(&link, "out of memory");
    if (rc != 0) {
        const char *reason = link.reason[0] ? link.reason : node.reason;
        import_say(label, number, scheme, no_server ? "note: " : "", reason, strlen(reason));
    }
    node_link_clear(&link);
    node_link_clear(&node);
    return no_server ? 2 : output->error ? -1 : rc == 0;
}

// A whole document, once all of it was read: each entry's link imported as
// a link is (or its refusal said), then one line that counts them.
int import_document(ImportCache *cache, ImportOutput *output, DocList *list, int *index)
{
    int imported = 0, refused = 0;
    const char *p = list->entries.data, *end = p ? p + list->entries.length : p;
    for (int number = 1; p < end && !output->error; number++) {
        char kind = *p;
        const char *name = p + 2, *text = name + strlen(name) + 1;
        const char *notes = text + strlen(text) + 1;
        size_t text_length = strlen(text);
        p = notes + strlen(notes) + 1;
        char shown[96], label[160];
        text_escape_controls(shown, sizeof shown, name);
        snprintf(label, sizeof label, "%s: entry %d%s%s%s", list->format, number, shown[0] ? " \"" : "", shown,
                 shown[0] ? "\"" : "");
        int rc = 0;
        if (kind == 'R') { // a refused entry gets its one line only
            import_say(label, 0, "", "", text, text_length);
        } else {
            import_warn_all(label, 0, "", notes);
            char *line = (char *)text; // read in place, as a line of a list is
            rc = import_line(cache, output, line, text_length, label, 0, *index);
        }
        if (rc == 1) {
            imported++;
            (*index)++;
        } else if (rc == 0) {
            refused++;
        }
    }
    if (list->count == 0) { // nothing to count: the document itself is refused
        fprintf(stderr, "tarvick-node: %s: no %s, so no node\n", list->format, list->noun);
        return 1;
    }
    if (list->other_sections)
        fprintf(stderr, "tarvick-node: %s: note: %s\n", list->format, list->other_what);
    fprintf(stderr, "tarvick-node: %s: note: %d %s, %d node%s imported, %d refused\n", list->format, list->count,
            list->count == 1 ? list->noun_one : list->noun, imported, imported == 1 ? "" : "s", refused);
    return refused > 0 || imported == 0;
}

} // namespace

int node_read_link(ImportCache *cache, char *line, size_t length, int index, NodeLink *link, NodeLink *node,
                   const char **scheme_name)
{
    node_link_init(link);
    node_link_init(node);
    link->for_xray = cache->for_xray;
    char *separator = strstr(line, "://");
    size_t scheme_length = separator ? (size_t)(separator - line) : 0;
    const Scheme *scheme = NULL;
    for (const Scheme &row : IMPORT_SCHEMES)
        if (scheme_length == strlen(row.name) && link_same_word(line, row.name, scheme_length))
            scheme = &row;
    *scheme_name = scheme ? scheme->name : separator ? (*separator = '\0', line) : "?";
    if (!scheme && separator && import_no_client(line, scheme_length))
        return node_refuse(link, "no client tarvick or tarvick-node xray writes for runs this protocol");
    if (!scheme) {
        char known[128] = "";
        for (const Scheme &row : IMPORT_SCHEMES)
            if (&row == IMPORT_SCHEMES || row.read != (&row)[-1].read) // another name of the same is no news
                snprintf(known + strlen(known), sizeof known - strlen(known), "%s%s", known[0] ? ", " : "", row.name);
        return node_refuse(link, "not a link tarvick-node knows (%s)", known);
    }
    if (memchr(line, '\0', length))
        return node_refuse(link, "NUL byte in the link");
    if (scheme->read(link, separator + 3, length - scheme_length - 3) != 0)
        return -1;
    if (const char *why = import_not_a_server(link)) {
        node_refuse(link, "not a server (%s): skipped", why);
        return NODE_NOT_A_SERVER;
    }
    return import_record(cache, node, link, index);
}

int node_import(int argc, char **argv)
{
    const char *path = "-";
    long first = 1;
    bool have_path = false, for_xray = false;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--xray") == 0 && !for_xray) {
            for_xray = true;
        } else if (strcmp(argv[i], "--first") == 0 && i + 1 < argc) {
            first = node_number(argv[++i], 99999999);
            if (first < 0)
                return NODE_USAGE;
        } else if (!have_path && (argv[i][0] != '-' || strcmp(argv[i], "-") == 0)) {
            path = argv[i];
            have_path = true;
        } else {
            return NODE_USAGE;
        }
    }
    NodeText input;
    if (import_read(path, &input) != 0)
        return NODE_USAGE_SAID;
    ImportCache *cache = import_cache_new(for_xray);
    if (!cache || import_unwrap(&input) != 0) {
        import_cache_free(cache);
        fprintf(stderr, "tarvick-node: %s: out of memory\n", path);
        return NODE_USAGE_SAID;
    }

    ImportOutput output;
    output.error = 0;
    int index = (int)first;
    bool refused = false;
    DocList list;
    doc_list_init(&list);
    int kind = doc_detect_and_read(input.data, input.length, &list);
    if (kind == DOC_BROKEN || kind == DOC_REFUSED) {
        import_cache_free(cache);
        fprintf(stderr, "tarvick-node: %s: %s\n", path, list.refusal);
        return kind == DOC_BROKEN ? NODE_USAGE_SAID : NODE_REFUSED;
    }
    if (kind == DOC_READ) {
        text_release(&input); // the entries hold all that is left of it
        refused = import_document(cache, &output, &list, &index) != 0;
    }
    long number = 0;
    char *line = input.data;
    char *end = input.data + input.length;
    while (kind == DOC_LINKS && line < end && !output.error) {
        char *newline = (char *)memchr(line, '\n', (size_t)(end - line));
        char *stop = newline ? newline : end;
        number++;
        // Blanks around a link and a CR before the newline are not the link.
        char *start = line;
        while (start < stop && (*start == ' ' || *start == '\t'))
            start++;
        while (stop > start && (stop[-1] == ' ' || stop[-1] == '\t' || stop[-1] == '\r'))
            stop--;
        char saved = *stop;
        *stop = '\0';
        if (start < stop && *start != '#') {
            int imported = import_line(cache, &output, start, (size_t)(stop - start), NULL, number, index);
            if (imported == 1)
                index++;
            else if (imported == 0)
                refused = true;
        }
        *stop = saved;
        line = newline ? newline + 1 : end;
    }
    import_flush(&output);
    import_cache_free(cache);
    if (output.error)
        return NODE_USAGE_SAID;
    return refused ? NODE_REFUSED : NODE_OK;
}
