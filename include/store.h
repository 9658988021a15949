// Client side of the settings daemon (brimd) and the helpers every reader of
// settings goes through: the lookup idiom, the integer rule, the port-reuse
// rule and the Base64 decoder for stored passwords.
#pragma once

#include <stddef.h>

#define STORE_SOCKET_PATH "/tmp/.brimd_server_sock"
#define STORE_START_COMMAND "service start_brimd >/dev/null 2>&1 &"
#define STORE_MAGIC "magicv1 "

enum {
    VALUE_BUFFER_SIZE = 9999, // a value of at most 9998 characters and its NUL
    KEY_BUFFER_SIZE = 99,
    STORE_HEADER_SIZE = 16,
    STORE_MAGIC_SIZE = 8,
    STORE_MIN_BUFFER = 2048,
    STORE_HEADER_DEADLINE_MS = 800,
    STORE_BODY_DEADLINE_MS = 510,
    STORE_POLL_SLEEP_US = 50,
};

struct ValueBuffer {
    char text[VALUE_BUFFER_SIZE];
};

struct KeyBuffer {
    char text[KEY_BUFFER_SIZE];
};

// One lookup's state: made zero-filled, used for one request and one reply.
struct StoreClient {
    int socket;
    char command[8];
    char *buffer;    // allocation is capacity + 1, so a NUL always fits
    size_t capacity;
    size_t fill;     // bytes received so far by the current exact read
    bool out_of_memory; // the buffer could not be allocated
};

// Result codes inside the client; store_get folds them all into -1.
enum {
    STORE_OK = 0,
    STORE_CLOSED = -1,    // no connection, or the peer closed too early
    STORE_RECV_ERROR = -2,
    STORE_TIMEOUT = -3,   // deadline passed, or the header lacks the magic
    STORE_BAD_LENGTH = -4,
};

int store_connect(void);
int store_reserve(StoreClient *client, size_t count);
int store_read_exact(StoreClient *client, size_t wanted, long limit_ms);
int store_read_reply(StoreClient *client, ValueBuffer *value);

// Looks up one key on a connection of its own. Returns 0 when the exchange
// completed (value copied only when the reply carries one), -1 otherwise;
// on -1 the caller's buffer is left untouched, and *out_of_memory (when
// given) tells whether an allocation of the lookup failed.
int store_get(const char *key, ValueBuffer *value, bool *out_of_memory = NULL);

// Where a run's settings come from: the daemon for tarvick, a link or a
// recorder for tarvick-node. Each run has its own, passed to its readers.
// out_of_memory is set once a value of the run could not be had for lack of
// memory: its empty value is then not the setting, and no document may be
// written from it.
struct StoreSource {
    int (*get)(StoreSource *source, const char *key, ValueBuffer *value);
    void *context;
    bool out_of_memory;
};
// The daemon (store_get), as a fresh source for one run.
StoreSource store_daemon(void);

// The lookup idiom. A reader keeps one StoreLookup for all its lookups; each
// call clears both buffers, names the key and asks the source afresh, so the
// returned text is valid only until the next call.
struct StoreLookup {
    int node;      // fills the %d of per-node key patterns
    int result;    // the source's result for the latest lookup
    StoreSource *source;
    KeyBuffer key;
    ValueBuffer value;
};

void store_lookup_init(StoreLookup *lookup, int node, StoreSource *source);
const char *store_lookup(StoreLookup *lookup, const char *pattern);
const char *store_lookup_global(StoreLookup *lookup, const char *key);
int store_lookup_int(StoreLookup *lookup, const char *pattern);
// A switch-like setting counts as on only when its integer is exactly 1.
bool store_lookup_switch(StoreLookup *lookup, const char *pattern);
// Port reuse stays on unless the router says it is exactly "armv7l".
bool store_port_reuse(StoreLookup *lookup);
// A stored password, decoded for a member; NULL (and the run's settings
// marked incomplete) when memory ran out. The caller frees it.
char *store_lookup_password(StoreLookup *lookup);

// Reads a text as an integer: leading white space, an optional sign, then
// decimal digits up to the first other character; 0 without digits.
// Saturates at the limits of int instead of overflowing.
int text_to_int(const char *text);

// Lenient Base64 decoding of stored passwords into a new NUL-terminated
// string the caller frees. NULL only when the result cannot be allocated.
char *decode_base64(const char *text);

// Base64 for share links and the store: standard alphabet with padding, or
// the URL-safe alphabet without it. Writes 4 * ceil(length / 3) characters at
// most and a NUL into out; returns the count written.
size_t encode_base64(const unsigned char *data, size_t length, char *out, bool url_safe);
// Strict decoding of link text: either alphabet, padding optional but only at
// the end, blanks and line breaks skipped. out needs length * 3 / 4 + 3
// bytes; returns the decoded count (a NUL follows), or -1 for broken text.
long decode_base64_strict(const char *text, size_t length, unsigned char *out);
