// The document current Xray reads: "inbounds" and "outbounds" arrays and the
// simplified outbound settings, written by tarvick-node only (tarvick keeps
// the document of Xray's and V2Ray's older releases).
#pragma once

struct GeneratorArgs;

enum {
    XRAY_REFUSAL_SIZE = 384,
};

// Why a node cannot be written: one line without a newline, naming the key
// to change and what to set it to.
struct XrayRefusal {
    char text[XRAY_REFUSAL_SIZE];
};

enum XrayResult {
    XRAY_WRITTEN = 0,       // also when the path cannot be opened, as tarvick
    XRAY_WRITE_FAILED = -1, // write_document has said why
    XRAY_REFUSED = 1,       // refusal says why; nothing printed, the file untouched
};

// Reads the node's settings with the lookups tarvick 2 makes, in its order
// (and a few keys of its own in between), all of them even for a node it
// refuses, and writes the document or fills refusal.
int write_xray_config(const GeneratorArgs *args, XrayRefusal *refusal);

// Whether current Xray takes a value of one of these settings (REALITY's
// public key, short id and spider path; the ALPN list, pins and names to
// verify) as it is: NULL, or what is wrong with it, to follow the key's name.
const char *xray_value_problem(const char *field, const char *value);
