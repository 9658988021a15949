// "TYPE [NODE]" as export and check take it, and the node lookup tarvick
// makes first.
#include "node.h"
#include "tarvick.h"

#include <stdlib.h>
#include <string.h>

long node_number(const char *text, long most)
{
    char *end;
    long number = strtol(text, &end, 10);
    return *end || !text[0] || number < 0 || number > most ? -1 : number;
}

int node_parse_target(int argc, char **argv, const char *option, bool takes_value, NodeTarget *target)
{
    const char *type = NULL;
    memset(target, 0, sizeof *target);
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], option) == 0 && (!takes_value || i + 1 < argc)) {
            target->option = true;
            target->value = takes_value ? argv[++i] : NULL;
        } else if (!type) {
            type = argv[i];
        } else if (!target->node) {
            target->node = argv[i];
        } else {
            return NODE_USAGE;
        }
    }
    bool xray = type && strcmp(type, "xray") == 0;
    long number = xray ? (long)NODE_TYPE_TOLD : type ? node_number(type, 3) : -1;
    if (!type || (!xray && number < 0))
        return NODE_USAGE;
    target->type = (int)number;
    target->document = xray ? DOCUMENT_XRAY : DOCUMENT_TARVICK;
    target->type_name = type;
    if (target->node) {
        number = node_number(target->node, 99999999);
        if (number < 0)
            return NODE_USAGE;
        target->index = (int)number;
    }
    return 0;
}

int node_target_index(const NodeTarget *target, StoreSource *daemon, int *node)
{
    if (driver_read_node(daemon, node) != 0)
        return NODE_REFUSED; // the store client has said why
    if (target->node)
        *node = target->index;
    return 0;
}
