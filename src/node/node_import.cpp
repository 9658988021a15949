// tarvick-node import: share links, or a Base64 subscription of them, to
// node settings in the development daemon's settings-file format.
#include "node.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace {

const size_t IMPORT_INPUT_MAX = 16u << 20;

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
};

// The link being imported answers the generator's lookups.
const NodeLink *import_link;
int import_node;

int import_answer(const char *key, ValueBuffer *value)
{
    char name[sizeof import_link->fields[0].name];
    if (node_key_field(key, import_node, name, sizeof name) == 0)
        snprintf(value->text, sizeof value->text, "%s", node_get(import_link, name));
    return 0;
}

// Reads all of the input, refusing more than the limit before printing.
int import_read(const char *path, NodeText *input)
{
    FILE *file = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
    if (!file) {
        fprintf(stderr, "tarvick-node: %s: %s\n", path, strerror(errno));
        return -1;
    }
    // A file is mapped rather than read: no copy and no fresh pages. The byte
    // after its end reads as the text's NUL, unless that byte starts a page.
    struct stat info;
    void *map = file != stdin && fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode) &&
                        (size_t)info.st_size <= IMPORT_INPUT_MAX && info.st_size % 4096 != 0
                    ? mmap(NULL, (size_t)info.st_size + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE, fileno(file), 0)
                    : MAP_FAILED;
    if (map != MAP_FAILED) {
        input->data = (char *)map;
        input->length = (size_t)info.st_size;
        input->mapped = input->length + 1;
        fclose(file);
        return 0;
    }
    // Else reads go straight into the text, with room kept for its NUL.
    size_t got = 1;
    int rc = 0;
    while (rc == 0 && got > 0) {
        if (input->capacity - input->length < 2 && text_reserve(input, input->capacity * 2 + 65536) != 0) {
            fprintf(stderr, "tarvick-node: %s: out of memory\n", path);
            rc = -1;
            break;
        }
        // A byte past the limit is enough to refuse a larger input.
        size_t room = input->capacity - input->length - 1, left = IMPORT_INPUT_MAX + 1 - input->length;
        got = fread(input->data + input->length, 1, room < left ? room : left, file);
        input->length += got;
        if (input->length > IMPORT_INPUT_MAX) {
            fprintf(stderr, "tarvick-node: %s: input is larger than 16 MiB\n", path);
            rc = -1;
        }
    }
    if (rc == 0 && ferror(file)) {
        fprintf(stderr, "tarvick-node: %s: %s\n", path, strerror(errno));
        rc = -1;
    }
    if (file != stdin)
        fclose(file);
    if (rc == 0)
        input->data[input->length] = '\0';
    return rc;
}

// A subscription is the Base64 of the links; plain links hold "://".
int import_unwrap(NodeText *input)
{
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
    const unsigned long long ONES = 0x0101010101010101ULL, HIGH = ONES * 0x80;
    const unsigned char *p = (const unsigned char *)value, *end = p + length;
    while (p < end) {
        // Values are mostly plain: eight bytes at a step while none is below
        // 0x20, 0x7f or a backslash (the high bits flag a byte that is).
        if (end - p >= 8) {
            unsigned long long word, del, slash;
            memcpy(&word, p, 8);
            del = word ^ ONES * 0x7f;
            slash = word ^ ONES * '\\';
            if (!((((word - ONES * 0x20) & ~word) | ((del - ONES) & ~del) | ((slash - ONES) & ~slash)) & HIGH)) {
                memcpy(out, p, 8);
                out += 8;
                p += 8;
                continue;
            }
        }
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
        p++;
    }
    return out;
}

char *import_put(char *out, const char *text, size_t length)
{
    memcpy(out, text, length);
    return out + length;
}

// Tens of thousands of blocks: each is made in memory and written at once.
NodeText import_block;

int import_print(const NodeLink *node, const NodeLink *link, int index)
{
    char number[16];
    size_t digits = text_put_number(number, (unsigned long)index);
    const char *name = link->name ? link->name : "";
    size_t name_length = strlen(name);
    size_t size = 32 + digits + name_length;
    for (int i = 0; i < node->count; i++)
        size += 16 + sizeof node->fields[i].name + digits + 4 * node->fields[i].length;
    if (text_reserve(&import_block, size) != 0)
        return -1;
    char *out = import_put(import_block.data, "# node ", 7);
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
    fwrite_unlocked(import_block.data, 1, (size_t)(out - import_block.data), stdout);
    return 0;
}

// Which settings tarvick reads depends on a few of them (the protocol, the
// network, a switch); the addresses, names and secrets that make every node
// of a subscription different only fill members. The generator therefore
// runs once per shape of node, and its keys are reused for the same shape:
// a value that only fills members counts by being empty or not, any other
// value by its text. A setting not named here is part of the shape.
constexpr const char *IMPORT_FILL_ONLY[] = {
    "server", "port", "password", "v2ray_uuid", "v2ray_alterid", "v2ray_network_host", "v2ray_network_path",
    "v2ray_network_tlshost", "v2ray_grpc_serviceName", "v2ray_quic_key", "ss_obfs_host", "ssr_protocol_param",
    "ssr_obfs_param", "trojan_sni", "method", "ssr_protocol", "ssr_obfs", "v2ray_security", "v2ray_ss_method",
    "v2ray_fingerprint", "v2ray_quic_security", "v2ray_quic_guise", "v2ray_network_flow", "ssl_verify_enable",
};

enum { IMPORT_SHAPES = 64, IMPORT_SHAPE_TEXT = 512 };

struct ImportShape {
    char text[IMPORT_SHAPE_TEXT];
    size_t length;
    // The generator's keys as the node's fields, their values left to fill,
    // and the names' bits for lookups in the node.
    int type;
    int count;
    NodeField fields[NODE_FIELD_MAX];
    unsigned long long names_seen;
    // Where each name's value stands among the link's fields (the shape fixes
    // their order), or -1 for a setting the link leaves empty.
    signed char from[NODE_FIELD_MAX];
};

ImportShape *import_shapes;
// Apart from the shapes, which are kilobytes each: a search reads only these.
unsigned long long import_shape_hashes[IMPORT_SHAPES];
int import_shape_count;

constexpr size_t import_fill_length(const char *name)
{
    size_t length = 0;
    while (name[length])
        length++;
    return length;
}

// Where a name stands among the fill-only names, by its length and its last
// two letters: no two of them share a slot, so one comparison tells.
constexpr size_t import_fill_slot(const char *name, size_t length)
{
    return (length * 13 + (unsigned char)name[length - 2] * 2 + (unsigned char)name[length - 1]) & 63;
}

struct FillSlots {
    signed char index[64];
    unsigned char length[64];
    bool clash;
};

constexpr FillSlots import_fill_slots()
{
    FillSlots slots = {};
    for (signed char &index : slots.index)
        index = -1;
    for (size_t i = 0; i < sizeof IMPORT_FILL_ONLY / sizeof IMPORT_FILL_ONLY[0]; i++) {
        const char *name = IMPORT_FILL_ONLY[i];
        size_t length = import_fill_length(name), slot = import_fill_slot(name, length);
        slots.clash |= slots.index[slot] >= 0;
        slots.index[slot] = (signed char)i;
        slots.length[slot] = (unsigned char)length;
    }
    return slots;
}

constexpr FillSlots IMPORT_FILL_SLOTS = import_fill_slots();
static_assert(!IMPORT_FILL_SLOTS.clash, "two fill-only names share a slot: change import_fill_slot");

bool import_fill_only(const char *name, size_t length)
{
    if (length < 2)
        return false;
    size_t slot = import_fill_slot(name, length);
    int i = IMPORT_FILL_SLOTS.index[slot];
    return i >= 0 && IMPORT_FILL_SLOTS.length[slot] == length && memcmp(name, IMPORT_FILL_ONLY[i], length) == 0;
}

// The shape of a link as text, each value after its length so that no value
// can pass for another field, and zeros up to a whole word; its length, or 0
// when it is too long to keep.
size_t import_shape_of(const NodeLink *link, char *text)
{
    size_t used = 0;
    text[used++] = (char)('0' + link->type);
    for (int i = 0; i < link->count; i++) {
        const NodeField *field = &link->fields[i];
        size_t name_length = field->name_length;
        bool fill = import_fill_only(field->name, name_length);
        const char *value = fill ? "*" : field->value;
        size_t value_length = fill ? field->length > 0 : field->length;
        if (used + name_length + value_length + 16 > IMPORT_SHAPE_TEXT)
            return 0;
        text[used++] = '\n';
        memcpy(text + used, field->name, name_length);
        used += name_length;
        // Values are shorter than 10,000 bytes: two bytes hold the length.
        text[used++] = (char)(value_length >> 8);
        text[used++] = (char)value_length;
        memcpy(text + used, value, value_length);
        used += value_length;
    }
    memset(text + used, 0, 8);
    return used;
}

// A hash of the shape, a word at a step: shapes are hundreds of bytes.
unsigned long long import_shape_hash(const char *text, size_t length)
{
    unsigned long long hash = 0x9e3779b97f4a7c15ULL, word;
    for (size_t i = 0; i < length; i += 8) {
        memcpy(&word, text + i, 8);
        hash = (hash ^ word) * 0x100000001b3ULL;
        hash ^= hash >> 29;
    }
    return hash;
}

// The node's settings: the generator's keys for this shape, with the link's
// values (every key the generator reads that the link leaves out is empty).
int import_record(NodeLink *node, const NodeLink *link, int index)
{
    char text[IMPORT_SHAPE_TEXT];
    size_t length = import_shape_of(link, text);
    bool keep = length > 0;
    unsigned long long hash = keep ? import_shape_hash(text, length) : 0;
    for (int s = 0; keep && s < import_shape_count; s++) {
        const ImportShape *shape = &import_shapes[s];
        if (import_shape_hashes[s] != hash || shape->length != length || memcmp(shape->text, text, length) != 0)
            continue;
        // The values stay the link's own: the node is read and cleared with it.
        static char empty[1];
        memcpy(node->fields, shape->fields, (size_t)shape->count * sizeof *node->fields);
        node->type = shape->type;
        node->count = shape->count;
        node->names_seen = shape->names_seen;
        for (int i = 0; i < shape->count; i++) {
            const NodeField *field = shape->from[i] >= 0 ? &link->fields[shape->from[i]] : NULL;
            node->fields[i].value = field ? field->value : empty;
            node->fields[i].length = field ? field->length : 0;
            node->fields[i].owned = false;
        }
        return 0;
    }
    import_link = link;
    import_node = index;
    if (node_record(node, link->type, index, import_answer) != 0)
        return -1;
    if (!import_shapes)
        import_shapes = (ImportShape *)malloc(IMPORT_SHAPES * sizeof *import_shapes);
    if (keep && import_shapes && import_shape_count < IMPORT_SHAPES) {
        import_shape_hashes[import_shape_count] = hash;
        ImportShape *shape = &import_shapes[import_shape_count++];
        memcpy(shape->text, text, sizeof shape->text);
        shape->length = length;
        shape->type = node->type;
        shape->count = node->count;
        memcpy(shape->fields, node->fields, sizeof shape->fields);
        shape->names_seen = node->names_seen;
        for (int i = 0; i < node->count; i++) {
            shape->from[i] = -1;
            for (int j = 0; j < link->count; j++)
                if (strcmp(link->fields[j].name, node->fields[i].name) == 0)
                    shape->from[i] = (signed char)j;
        }
    }
    return 0;
}

// One line: 1 imported, 0 refused (said on stderr).
int import_line(char *line, size_t length, long number, int index)
{
    NodeLink link, node;
    const char *scheme = NULL;
    int rc = node_read_link(line, length, index, &link, &node, &scheme);
    for (const char *note = link.warning; rc == 0 && *note;) {
        size_t length = strcspn(note, "\n");
        fprintf(stderr, "tarvick-node: line %ld: %s: warning: %.*s\n", number, scheme, (int)length, note);
        note += length + (note[length] == '\n');
    }
    if (rc == 0 && import_print(&node, &link, index) != 0)
        rc = node_refuse(&link, "out of memory");
    if (rc != 0)
        fprintf(stderr, "tarvick-node: line %ld: %s: %s\n", number, scheme, link.reason[0] ? link.reason : node.reason);
    node_link_clear(&link);
    node_link_clear(&node);
    return rc == 0;
}

} // namespace

int node_read_link(char *line, size_t length, int index, NodeLink *link, NodeLink *node, const char **scheme_name)
{
    node_link_init(link);
    node_link_init(node);
    char *separator = strstr(line, "://");
    size_t scheme_length = separator ? (size_t)(separator - line) : 0;
    const Scheme *scheme = NULL;
    for (const Scheme &row : IMPORT_SCHEMES)
        if (scheme_length == strlen(row.name) && link_same_word(line, row.name, scheme_length))
            scheme = &row;
    *scheme_name = scheme ? scheme->name : separator ? (*separator = '\0', line) : "?";
    if (!scheme)
        return node_refuse(link, "not a link tarvick-node knows (ss, ssr, vmess, vless, trojan)");
    if (memchr(line, '\0', length))
        return node_refuse(link, "NUL byte in the link");
    if (scheme->read(link, separator + 3, length - scheme_length - 3) != 0)
        return -1;
    return import_record(node, link, index);
}

int node_import(int argc, char **argv)
{
    const char *path = "-";
    long first = 1;
    bool have_path = false;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--first") == 0 && i + 1 < argc) {
            char *end;
            first = strtol(argv[++i], &end, 10);
            if (*end || !argv[i][0] || first < 0 || first > 99999999)
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
    if (import_unwrap(&input) != 0) {
        fprintf(stderr, "tarvick-node: %s: out of memory\n", path);
        return NODE_USAGE_SAID;
    }

    int index = (int)first;
    bool refused = false;
    long number = 0;
    char *line = input.data;
    char *end = input.data + input.length;
    while (line < end) {
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
            if (import_line(start, (size_t)(stop - start), number, index))
                index++;
            else
                refused = true;
        }
        *stop = saved;
        line = newline ? newline + 1 : end;
    }
    return refused ? NODE_REFUSED : NODE_OK;
}
