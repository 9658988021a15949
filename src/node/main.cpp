// tarvick-node: brings nodes into the settings store from share links and
// subscriptions, and gives a node back as a link.
#include "node.h"

#include <stdio.h>
#include <string.h>

static int node_usage(void)
{
    fprintf(stderr, "usage: tarvick-node import [--first N] [--xray] [FILE|-]\n"
          "       tarvick-node export TYPE|xray [NODE] [--qr]\n"
          "       tarvick-node check TYPE|xray [NODE] [--client PATH]\n"
          "       tarvick-node xray $conf_file $local_port $socks_port $proto\n");
    return NODE_USAGE;
}

int main(int argc, char **argv)
{
    int rc = NODE_USAGE;
    if (argc >= 2 && strcmp(argv[1], "import") == 0)
        rc = node_import(argc, argv);
    else if (argc >= 2 && strcmp(argv[1], "export") == 0)
        rc = node_export(argc, argv);
    else if (argc >= 2 && strcmp(argv[1], "check") == 0)
        rc = node_check(argc, argv);
    else if (argc >= 2 && strcmp(argv[1], "xray") == 0)
        rc = node_xray(argc, argv);
    if (rc == NODE_USAGE)
        return node_usage();
    if (rc == NODE_USAGE_SAID)
        return NODE_USAGE;
    if (fflush(stdout) != 0) {
        perror("tarvick-node: standard output");
        return NODE_USAGE;
    }
    return rc;
}
