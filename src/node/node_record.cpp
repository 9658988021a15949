// Which settings a node is made of is decided by tarvick's own generators:
// the node's generator runs over a settings source, and every per-node key it
// reads is kept with the value it got. So an import writes exactly the keys
// tarvick will read, and an export sees exactly the values tarvick will use.
#include "node.h"
#include "tarvick.h"
#include "xray.h"

#include <stdio.h>
#include <string.h>

namespace {

// One run of a generator over a settings source, and what it read.
struct Recording {
    NodeLink *out;
    StoreSource *source;
    int node;
    bool failed;
};

const char NODE_KEY_PREFIX[] = "ssconf_basic_";

int record_lookup(StoreSource *recorder, const char *key, ValueBuffer *value)
{
    Recording *recording = (Recording *)recorder->context;
    int rc = recording->source->get(recording->source, key, value);
    if (recording->source->out_of_memory)
        recorder->out_of_memory = true;
    if (rc != 0)
        recording->failed = true;
    char name[sizeof recording->out->fields[0].name];
    if (node_key_field(key, recording->node, name, sizeof name) != 0)
        return rc; // global keys such as the router's architecture are not the node's
    // A value read twice (the V2Ray protocol, security and network are) is
    // the same value; the first reading fixes its place. A value that cannot
    // be kept would make a node without it.
    if (rc == 0 && !node_has(recording->out, name) && node_set_text(recording->out, name, value->text) != 0)
        recording->failed = true;
    return rc;
}

} // namespace

int node_key_field(const char *key, int node, char *name, size_t size)
{
    char suffix[16];
    snprintf(suffix, sizeof suffix, "_%d", node);
    size_t length = strlen(key);
    size_t prefix_length = sizeof NODE_KEY_PREFIX - 1;
    size_t suffix_length = strlen(suffix);
    if (length <= prefix_length + suffix_length || memcmp(key, NODE_KEY_PREFIX, prefix_length) != 0 ||
        strcmp(key + length - suffix_length, suffix) != 0 || length - prefix_length - suffix_length >= size)
        return -1;
    memcpy(name, key + prefix_length, length - prefix_length - suffix_length);
    name[length - prefix_length - suffix_length] = '\0';
    return 0;
}

int node_record_document(NodeLink *out, int type, int node, StoreSource *source, NodeDocument document,
                         const char *path, int local_port, int second_port)
{
    Generator generator = driver_generator(type);
    if (!generator && !(document == DOCUMENT_XRAY && type == NODE_TYPE_TOLD))
        return node_refuse(out, "type %d is not 0 to 3", type);
    out->type = type;
    Recording recording = {out, source, node, false};
    StoreSource recorder = {record_lookup, &recording, false};
    // The ports only steer members, never which settings are read.
    GeneratorArgs args = {type, node, path, local_port, second_port, "tcp,udp"};
    GeneratorRun run = {&recorder, ""};
    int rc;
    if (document == DOCUMENT_XRAY) {
        int kind = PROXY_V2RAY;
        rc = write_xray_node(&args, &run, &kind);
        if (type != NODE_TYPE_TOLD && kind != type && !recording.failed)
            return node_refuse(out, "its settings tell a node of type %d, not %d", kind, type);
        out->type = kind;
        args.kind = kind;
        // tarvick's own keys beside: a node import writes for tarvick-node
        // xray serves tarvick too where it can, and whether tarvick refuses
        // it is not this document's business.
        GeneratorRun beside = {&recorder, ""};
        args.path = NULL;
        if (driver_generator(kind)(&args, &beside) == GENERATOR_WRITE_FAILED && rc == GENERATOR_WRITTEN)
            rc = GENERATOR_WRITE_FAILED;
    } else {
        rc = generator(&args, &run);
    }
    if (recording.failed && !out->reason[0])
        node_refuse(out, recorder.out_of_memory ? "out of memory" : "a setting of node %d could not be read", node);
    if (recording.failed)
        return -1;
    if (rc == GENERATOR_REFUSED) {
        node_refuse(out, "%s", run.refusal);
        return NODE_RECORD_REFUSED;
    }
    if (rc != GENERATOR_WRITTEN)
        return node_refuse(out, recorder.out_of_memory || !path ? "out of memory" : "the document could not be written");
    return 0;
}

int node_record(NodeLink *out, int type, int node, StoreSource *source, NodeDocument document)
{
    // The document itself is not wanted.
    return node_record_document(out, type, node, source, document, NULL, 1, 1);
}
