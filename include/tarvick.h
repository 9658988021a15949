// What the driver hands to the one generator the proxy kind selects.
#pragma once

enum ProxyKind {
    PROXY_SHADOWSOCKS = 0,
    PROXY_SHADOWSOCKSR = 1,
    PROXY_V2RAY = 2,
    PROXY_TROJAN = 3,
};

struct GeneratorArgs {
    int kind;            // the dispatch row's constant, not the raw argument
    int node;            // NodeIndex: suffix of every per-node key
    const char *path;    // output file, unchanged from the command line
    int local_port;
    int second_port;     // V2Ray SOCKS port, or 3333 for the ss-redir role
    const char *proto;   // transport list such as "tcp,udp", unchanged
};

struct StoreSource;

enum { GENERATOR_REFUSAL_SIZE = 384 };

// What a generator runs with beside its arguments, and what it tells back:
// where the node's settings come from, and why it refused the node.
struct GeneratorRun {
    StoreSource *source;
    char refusal[GENERATOR_REFUSAL_SIZE]; // one line naming the key, without a newline
};

enum GeneratorResult {
    GENERATOR_WRITTEN = 0,       // also when the path cannot be opened at all
    GENERATOR_WRITE_FAILED = -1, // opened and not written whole (cut back to empty), or
                                 // out of memory: write_document has said why
    GENERATOR_REFUSED = 1,       // refusal says why; nothing printed, the file untouched
};

// Each generator writes its document; returns a GeneratorResult.
int write_ss_config(const GeneratorArgs *args, GeneratorRun *run);
int write_v2ray_config(const GeneratorArgs *args, GeneratorRun *run);
int write_trojan_config(const GeneratorArgs *args, GeneratorRun *run);

int driver_run(int argc, char **argv);
// The active node's index; -1 when the source could not be asked.
int driver_read_node(StoreSource *source, int *node);

typedef int (*Generator)(const GeneratorArgs *args, GeneratorRun *run);
// The generator the driver runs for a proxy kind; NULL outside 0 to 3.
Generator driver_generator(int kind);
