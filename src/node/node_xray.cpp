// tarvick-node xray: the node's document in current Xray's form, with the
// command line, node lookup and exit statuses of "tarvick 2".
#include "document.h"
#include "node.h"
#include "store.h"
#include "tarvick.h"
#include "xray.h"

#include <stdio.h>

#ifndef TARVICK_ISSUE_URL
#define TARVICK_ISSUE_URL "https://example.invalid/tarvick/issues"
#endif

// As tarvick's: the add-on's scripts take a usage message for success.
static int xray_usage(void)
{
    puts("tarvick-node xray $conf_file $local_port $socks_port $proto");
    puts("Feedback bugs on the website : " TARVICK_ISSUE_URL);
    return NODE_OK;
}

int node_xray(int argc, char **argv)
{
    if (argc != 6)
        return xray_usage();
    int local_port = text_to_int(argv[3]);
    int second_port = text_to_int(argv[4]);
    if (local_port <= 0 || second_port <= 0)
        return xray_usage();

    StoreSource daemon = store_daemon();
    int node = 0;
    if (driver_read_node(&daemon, &node) != 0) {
        if (daemon.out_of_memory)
            write_document(NULL, argv[2]); // refuses it, and says why
        return NODE_REFUSED;
    }
    GeneratorArgs args = {PROXY_V2RAY, node, argv[2], local_port, second_port, argv[5]};
    GeneratorRun run = {&daemon, ""};
    int rc = write_xray_config(&args, &run);
    if (rc == GENERATOR_REFUSED)
        fprintf(stderr, "tarvick-node: %s\n", run.refusal);
    return rc == GENERATOR_WRITTEN ? NODE_OK : NODE_REFUSED;
}
