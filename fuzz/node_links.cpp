// Share-link import on any bytes. The bytes are one line of an import: the
// reader must never crash, and a link it takes must come back whole:
//   - read twice (the second reading finds the generator's keys for the
//     node's shape already known), both give the same node;
//   - that node equals what tarvick's generator records when run directly
//     over the link's values, so the cache of keys per shape is never wrong;
//   - the node's export link reads back to exactly the same settings (names,
//     order, values) and type, and exports again to the same text.
//
// vmess and ssr links are Base64 around text that mutations rarely keep
// valid, so "vmess://{...}" (plain JSON) and an "ssr://" whose text holds a
// colon are also read once more with that text Base64-encoded.
//
// The other way round, bytes that begin "@T\n" are node T's stored settings,
// one "field=value" a line (values may hold any byte but a newline): export
// either refuses the node with a reason, or writes a link that imports, and
// tarvick's document for the imported node is the very document it writes
// for the stored one.
#include "node.h"
#include "store.h"

#include <stdint.h>
#include <unistd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <map>
#include <string>

// Import never asks the daemon: it answers the generator from the link.
int store_get(const char *key, ValueBuffer *, bool *)
{
    fprintf(stderr, "node link fuzz: the daemon was asked for %s\n", key);
    abort();
}

namespace {

const int NODE_INDEX = 7;

[[noreturn]] void fail(const char *what, const std::string &line, const std::string &detail)
{
    fprintf(stderr, "node link fuzz: %s\n  line: %s\n  %s\n", what, line.c_str(), detail.c_str());
    abort();
}

std::string show(const NodeLink *node)
{
    std::string text = "type " + std::to_string(node->type);
    for (int i = 0; i < node->count; i++)
        text += std::string("\n    ") + node->fields[i].name + "=" + node->fields[i].value;
    return text;
}

// Empty when both hold the same type and settings in the same order.
std::string difference(const NodeLink *a, const NodeLink *b)
{
    bool same = a->type == b->type && a->count == b->count;
    for (int i = 0; same && i < a->count; i++)
        same = strcmp(a->fields[i].name, b->fields[i].name) == 0 && a->fields[i].length == b->fields[i].length &&
               memcmp(a->fields[i].value, b->fields[i].value, a->fields[i].length) == 0;
    return same ? "" : "first:  " + show(a) + "\n  second: " + show(b);
}

// The direct run of the generator takes its values from the parsed link.
int answer_from_link(StoreSource *source, const char *key, ValueBuffer *value)
{
    const NodeLink *answering = (const NodeLink *)source->context;
    char name[sizeof answering->fields[0].name];
    if (node_key_field(key, NODE_INDEX, name, sizeof name) == 0)
        snprintf(value->text, sizeof value->text, "%s", node_get(answering, name));
    return 0;
}

// Shapes stay known from one input to the next, as from one link to the
// next of an import; links are read as import reads them, and as import
// --xray does.
ImportCache *shapes = import_cache_new(false);
ImportCache *xray_shapes = import_cache_new(true);

struct Reading {
    NodeLink link, node;
    const char *scheme;
    int rc;
    Reading(const std::string &line, bool xray)
    {
        std::string copy = line; // read in place, as import does
        rc = node_read_link(xray ? xray_shapes : shapes, &copy[0], copy.size(), NODE_INDEX, &link, &node, &scheme);
    }
    ~Reading()
    {
        node_link_clear(&link);
        node_link_clear(&node);
    }
};

std::string base64(const std::string &text, bool url)
{
    std::string out(text.size() / 3 * 4 + 5, '\0');
    out.resize(encode_base64((const unsigned char *)text.data(), text.size(), &out[0], url));
    return out;
}

void check_line(const std::string &line, bool xray)
{
    Reading first(line, xray);
    Reading again(line, xray);
    if (first.rc != again.rc)
        fail("a second reading of the same line differs in its result", line,
             first.link.reason + std::string(" | ") + again.link.reason + " | " + again.node.reason);
    if (first.rc != 0)
        return;
    std::string differs = difference(&first.node, &again.node);
    if (!differs.empty())
        fail("a second reading of the same line gives another node", line, differs);

    NodeLink direct;
    node_link_init(&direct);
    StoreSource source = {answer_from_link, &first.link, false};
    NodeDocument document = xray && first.link.type != 1 ? DOCUMENT_XRAY : DOCUMENT_TARVICK;
    int recorded = node_record(&direct, first.link.type, NODE_INDEX, &source, document);
    if (recorded != 0 && recorded != NODE_RECORD_REFUSED)
        fail("the generator run directly failed", line, direct.reason);
    differs = difference(&direct, &first.node);
    node_link_clear(&direct);
    if (!differs.empty())
        fail("the import's node differs from the generator run directly over the link", line, differs);

    NodeText exported;
    if (link_write(&first.node, &exported) != 0)
        fail("an imported node has no export link", line, first.node.reason + std::string("\n  ") + show(&first.node));
    std::string link(exported.data, exported.length);
    Reading back(link, xray);
    if (back.rc != 0)
        fail("the export link is refused", line,
             link + "\n  " + back.link.reason + back.node.reason + "\n  " + show(&first.node));
    differs = difference(&first.node, &back.node);
    if (!differs.empty())
        fail("the export link reads back to other settings", line, link + "\n  " + differs);
    NodeText second;
    if (link_write(&back.node, &second) != 0)
        fail("the re-imported node has no export link", line, link + "\n  " + back.node.reason);
    if (link != std::string(second.data, second.length))
        fail("exporting twice gives another link", line, link + "\n  " + second.data);
}

typedef std::map<std::string, std::string> Settings;

int answer_from_settings(StoreSource *source, const char *key, ValueBuffer *value)
{
    const Settings *settings = (const Settings *)source->context;
    char name[64];
    if (node_key_field(key, NODE_INDEX, name, sizeof name) == 0) {
        auto found = settings->find(name);
        if (found != settings->end())
            snprintf(value->text, sizeof value->text, "%s", found->second.c_str());
    }
    return 0;
}

// The document tarvick (or tarvick-node xray) writes for these settings, as
// text; "" when it is refused.
std::string document(int type, NodeDocument kind, StoreSource *source)
{
    static char path[] = "/tmp/tarvick-fuzz-XXXXXX";
    static bool made = mkstemp(path) >= 0;
    NodeLink record;
    node_link_init(&record);
    std::string text;
    if (made && node_record_document(&record, type, NODE_INDEX, source, kind, path, 1080, 1081) == 0) {
        FILE *file = fopen(path, "rb");
        char chunk[4096];
        size_t got;
        while (file && (got = fread(chunk, 1, sizeof chunk, file)) > 0)
            text.append(chunk, got);
        if (file)
            fclose(file);
    }
    node_link_clear(&record);
    return text;
}

// Stored passwords are read leniently, so two spellings may be one password.
std::string password(const char *stored)
{
    char *decoded = decode_base64(stored);
    std::string text = decoded ? decoded : "";
    free(decoded);
    return text;
}

void check_settings(const std::string &input)
{
    // "@x" is a type 2 node read as tarvick-node xray reads it.
    bool xray = input.size() >= 3 && input[1] == 'x';
    if (input.size() < 3 || ((input[1] < '0' || input[1] > '3') && !xray) || input[2] != '\n')
        return;
    int type = xray ? 2 : input[1] - '0';
    NodeDocument kind = xray ? DOCUMENT_XRAY : DOCUMENT_TARVICK;
    Settings settings;
    for (size_t at = 3, end; at < input.size(); at = end + 1) {
        end = std::min(input.find('\n', at), input.size());
        size_t equals = input.find('=', at);
        if (equals < end && input.find('\0', at) >= end)
            settings[input.substr(at, equals - at)] = input.substr(equals + 1, end - equals - 1);
    }
    // What the router decides, not the link: never exported, so left out.
    for (const char *router : {"v2ray_mux_concurrency", "trojan_mp_enable", "trojan_mulprocess"})
        settings.erase(router);
    if (settings["v2ray_network"] != "grpc")
        settings.erase("v2ray_mux_enable");

    StoreSource stored_source = {answer_from_settings, &settings, false};
    NodeLink stored;
    node_link_init(&stored);
    if (node_record(&stored, type, NODE_INDEX, &stored_source, kind) != 0) {
        // The writer refuses the node, and export with it.
        node_link_clear(&stored);
        return;
    }
    NodeText link;
    int rc = link_write(&stored, &link);
    std::string reason = stored.reason;
    node_link_clear(&stored);
    if (rc != 0) {
        if (reason.empty())
            fail("export refused a node without a reason", input, "");
        return;
    }
    // Export writes what import --xray takes, whichever document it read for.
    std::string text(link.data, link.length);
    Reading back(text, true);
    if (back.rc != 0)
        fail("export wrote a link that import refuses", input, text + "\n  " + back.link.reason + back.node.reason);
    if (back.link.type != type) {
        // A V2Ray/Xray Shadowsocks or Trojan node over plain TCP is the plain
        // link, which imports for the Shadowsocks or the Trojan client.
        const std::string &protocol = settings["v2ray_protocol"], &name = settings["v2ray_network_tlshost"];
        bool plain_ss = type == 2 && back.link.type == 0 && protocol == "ss" &&
                        settings["v2ray_ss_method"] == node_get(&back.node, "method");
        bool plain_trojan = type == 2 && back.link.type == 3 && protocol == "trojan" &&
                            password(settings["password"].c_str()) == password(node_get(&back.node, "password")) &&
                            (name.empty() ? settings["server"] : name) == node_get(&back.node, "trojan_sni");
        if (!(plain_ss || plain_trojan) || settings["server"] != node_get(&back.node, "server") ||
            text_to_int(settings["port"].c_str()) != text_to_int(node_get(&back.node, "port")))
            fail("export wrote a link of another type", input, text);
        return;
    }
    // An empty server name means the server's address, which is how export
    // writes it.
    for (const char *name : {"v2ray_network_tlshost", "trojan_sni"})
        if (settings[name].empty())
            settings[name] = settings["server"];
    // So is an empty security: no TLS.
    if (settings["v2ray_network_security"].empty())
        settings["v2ray_network_security"] = "none";
    // The clients read header types in any case; a link's comes in in theirs.
    for (const char *name : {"v2ray_headtype_tcp", "v2ray_quic_guise"})
        for (char &c : settings[name])
            if (c >= 'A' && c <= 'Z' && settings[name].size() < 32)
                c = (char)(c + 32);
    StoreSource back_source = {answer_from_link, &back.node, false};
    std::string expected = document(type, kind, &stored_source), got = document(type, kind, &back_source);
    if (expected != got)
        fail("the exported link imports as another node", input, text + "\n  stored: " + expected + "  imported: " + got);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0 && data[0] == '@') {
        check_settings(std::string((const char *)data, size));
        return 0;
    }
    std::string line((const char *)data, size);
    for (bool xray : {false, true}) {
        check_line(line, xray);
        if (line.compare(0, 9, "vmess://{") == 0)
            check_line("vmess://" + base64(line.substr(8), false), xray);
        else if (line.compare(0, 6, "ssr://") == 0 && line.find(':', 6) != std::string::npos)
            check_line("ssr://" + base64(line.substr(6), true), xray);
    }
    return 0;
}
