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

// Each generator writes its document and returns 0, or -1 when the file was
// opened but could not be written whole (it is then cut back to empty), or
// when the V2Ray/Xray generator refuses a security it cannot write (the file
// is not touched); either way it has said why on stderr.
int write_ss_config(const GeneratorArgs *args);
int write_v2ray_config(const GeneratorArgs *args);
int write_trojan_config(const GeneratorArgs *args);

int driver_run(int argc, char **argv);
// The active node's index; -1 when the daemon could not be asked.
int driver_read_node(int *node);

typedef int (*Generator)(const GeneratorArgs *args);
// The generator the driver runs for a proxy kind; NULL outside 0 to 3.
Generator driver_generator(int kind);
