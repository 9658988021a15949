// The one way every part of the tool reads a setting.
#include "store.h"

#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

void store_lookup_init(StoreLookup *lookup, int node, StoreSource *source)
{
    memset(lookup, 0, sizeof *lookup);
    lookup->node = node;
    lookup->source = source;
}

namespace {

int store_daemon_get(StoreSource *source, const char *key, ValueBuffer *value)
{
    bool out_of_memory = false;
    int rc = store_get(key, value, &out_of_memory);
    if (out_of_memory)
        source->out_of_memory = true;
    return rc;
}

} // namespace

StoreSource store_daemon(void)
{
    return StoreSource{store_daemon_get, NULL, false};
}

// store_get writes the value only when the reply carries one, so an absent
// key, an empty value and a failed lookup must all leave it empty: both
// buffers are cleared before the key is named.
static void store_lookup_clear(StoreLookup *lookup)
{
    memset(lookup->value.text, 0, sizeof lookup->value.text);
    memset(lookup->key.text, 0, sizeof lookup->key.text);
}

static const char *store_lookup_named(StoreLookup *lookup)
{
    lookup->result = lookup->source->get(lookup->source, lookup->key.text, &lookup->value);
    return lookup->value.text;
}

const char *store_lookup(StoreLookup *lookup, const char *pattern)
{
    store_lookup_clear(lookup);
    snprintf(lookup->key.text, sizeof lookup->key.text, pattern, lookup->node);
    return store_lookup_named(lookup);
}

const char *store_lookup_global(StoreLookup *lookup, const char *key)
{
    store_lookup_clear(lookup);
    snprintf(lookup->key.text, sizeof lookup->key.text, "%s", key);
    return store_lookup_named(lookup);
}

int store_lookup_int(StoreLookup *lookup, const char *pattern)
{
    return text_to_int(store_lookup(lookup, pattern));
}

bool store_lookup_switch(StoreLookup *lookup, const char *pattern)
{
    return store_lookup_int(lookup, pattern) == 1;
}

bool store_port_reuse(StoreLookup *lookup)
{
    return strcmp(store_lookup_global(lookup, "mossgarden_arch"), "armv7l") != 0;
}

char *store_lookup_password(StoreLookup *lookup)
{
    char *password = decode_base64(store_lookup(lookup, "ssconf_basic_password_%d"));
    if (!password) // never write a wrong password: the document is refused
        lookup->source->out_of_memory = true;
    return password;
}

int text_to_int(const char *text)
{
    const unsigned char *p = (const unsigned char *)text;
    while (isspace(*p))
        p++;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    // Accumulate towards the sign's own limit so that INT_MIN is reachable
    // and anything beyond either limit stops there.
    long long magnitude = 0;
    long long limit = negative ? -(long long)INT_MIN : INT_MAX;
    for (; *p >= '0' && *p <= '9'; p++) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit)
            magnitude = limit;
    }
    return (int)(negative ? -magnitude : magnitude);
}
