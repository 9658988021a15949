// Command line, the node lookup and dispatch to the one generator the proxy
// kind names.
#include "document.h"
#include "store.h"
#include "tarvick.h"

#include <stdio.h>

#ifndef TARVICK_ISSUE_URL
#define TARVICK_ISSUE_URL "https://example.invalid/tarvick/issues"
#endif

namespace {

// Indexed by ProxyKind.
const Generator DRIVER_GENERATORS[] = {
    write_ss_config,     // 0 Shadowsocks
    write_ss_config,     // 1 ShadowsocksR
    write_v2ray_config,  // 2 V2Ray/Xray
    write_trojan_config, // 3 Trojan
};
const int DRIVER_KIND_COUNT = (int)(sizeof DRIVER_GENERATORS / sizeof DRIVER_GENERATORS[0]);

// The add-on's scripts only look at the exit status, and treat a usage
// message as success; so does this.
int driver_usage(void)
{
    puts("tarvick $type $conf_file $local_port $socks_port $proto");
    puts("Feedback bugs on the website : " TARVICK_ISSUE_URL);
    return 0;
}

} // namespace

// Kept out of line so that its value buffer is off the stack before the
// generator puts its own in the same place: routers count every page.
__attribute__((noinline)) int driver_read_node(StoreSource *source, int *node)
{
    StoreLookup lookup;
    store_lookup_init(&lookup, 0, source);
    const char *text = store_lookup_global(&lookup, "ssconf_basic_node");
    if (lookup.result != 0)
        return -1;
    *node = text_to_int(text);
    return 0;
}

Generator driver_generator(int kind)
{
    return kind >= 0 && kind < DRIVER_KIND_COUNT ? DRIVER_GENERATORS[kind] : NULL;
}

int driver_run(int argc, char **argv)
{
    if (argc != 6)
        return driver_usage();
    int local_port = text_to_int(argv[3]);
    if (local_port <= 0)
        return driver_usage();
    int second_port = text_to_int(argv[4]);
    if (second_port <= 0)
        return driver_usage();
    int kind = text_to_int(argv[1]);

    StoreSource daemon = store_daemon();
    int node = 0;
    if (driver_read_node(&daemon, &node) != 0) {
        if (daemon.out_of_memory)
            write_document(NULL, argv[2]); // refuses it, and says why
        return 1;
    }

    // The kind is checked only now, after the daemon has been asked.
    Generator generator = driver_generator(kind);
    if (!generator)
        return 1;
    GeneratorArgs args = {kind, node, argv[2], local_port, second_port, argv[5]};
    GeneratorRun run = {&daemon, ""};
    int rc = generator(&args, &run);
    if (rc == GENERATOR_REFUSED)
        fprintf(stderr, "tarvick: %s\n", run.refusal);
    return rc == GENERATOR_WRITTEN ? 0 : 1;
}
