// The clients tarvick-node check knows, and running one: asking its
// version, and its own verdict on a document.
#pragma once

#include <stddef.h>

enum ClientFamily {
    FAMILY_SS_LIBEV = 1 << 0,
    FAMILY_SS_RUST = 1 << 1,
    FAMILY_V2RAY = 1 << 2, // V2Ray 4 and v2fly 5
    FAMILY_XRAY = 1 << 3,
    FAMILY_TROJAN = 1 << 4,
    FAMILY_TROJAN_GO = 1 << 5,
};

struct Version {
    int major, minor, patch;
};

struct CheckClient {
    ClientFamily family;
    Version version;
    char label[64];   // name and version, as lines print it
    int documents;    // the documents it counts for by default
};

// "Xray", "shadowsocks-rust" ...; and "v" where the family's releases have it.
const char *client_family_name(int family);
const char *client_version_prefix(int family);
// The family and release of the client at path, by asking it. 0, or -1.
int client_ask_version(const char *path, CheckClient *client);
// The client's own verdict on the document in file: 0 accepts, 1 refuses
// (its message in reason), -1 when it could not be asked.
int client_verdict(const char *path, const CheckClient *client, const char *file, char *reason, size_t size);
// A port nothing listens on now, for a start that must not take the real
// client's port.
int client_free_port(void);

// The node's document, with its decoded password or id, in a file of the
// run's own: readable by its owner only, and removed however check ends.
// While it exists a SIGINT, SIGTERM or SIGHUP removes it (and stops a client
// being run) before the signal takes its usual course.
struct CheckFile {
    char path[512];
    bool made = false;
    ~CheckFile();
};
// 0, or -1 with errno set (path then names what could not be made).
int check_file_make(CheckFile *file);
