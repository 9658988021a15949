// Trojan client document: connection settings at the root, then "ssl", the
// optional "mux" and "tcp".
#include "document.h"
#include "store.h"
#include "tarvick.h"

#include <string.h>
#include <unistd.h>

namespace {

// Firmware ships its CA bundle here; verification can use it only if present.
const char TROJAN_CA_BUNDLE[] = "/rom/etc/ssl/certs/ca-certificates.crt";

const char TROJAN_TLS12_CIPHERS[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-AES256-SHA:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA:"
    "DHE-RSA-AES128-SHA:DHE-RSA-AES256-SHA:AES128-SHA:AES256-SHA:DES-CBC3-SHA";

const char TROJAN_TLS13_CIPHERS[] = "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";

// Only the transparent roles run trojan as "nat"; everything else is a client.
const char *trojan_run_type(const char *proto)
{
    return strcmp(proto, "nat") == 0 || strcmp(proto, "tcp") == 0 ? "nat" : "client";
}

} // namespace

int write_trojan_config(const GeneratorArgs *args, GeneratorRun *run)
{
    Document doc;
    json_object *root = doc.root;
    StoreLookup lookup;
    store_lookup_init(&lookup, args->node, run->source);

    bool reuse_port = store_port_reuse(&lookup);

    doc_int(root, "log_level", 3);
    doc_string(root, "run_type", trojan_run_type(args->proto));
    doc_string(root, "local_addr", "0.0.0.0");
    doc_int(root, "local_port", args->local_port);
    doc_string(root, "remote_addr", store_lookup(&lookup, "ssconf_basic_server_%d"));
    doc_int(root, "remote_port", store_lookup_int(&lookup, "ssconf_basic_port_%d"));
    doc_int(root, "udp_timeout", 60);
    json_object *password = doc_array(root, "password");
    doc_element_password(password, store_lookup(&lookup, "ssconf_basic_password_%d"));

    json_object *ssl = doc_object(root, "ssl");
    doc_bool(ssl, "verify", store_lookup_switch(&lookup, "ssconf_basic_ssl_verify_enable_%d"));
    doc_bool(ssl, "verify_hostname", true);
    doc_string(ssl, "cert", access(TROJAN_CA_BUNDLE, F_OK) == 0 ? TROJAN_CA_BUNDLE : "");
    doc_string(ssl, "cipher", TROJAN_TLS12_CIPHERS);
    doc_string(ssl, "cipher_tls13", TROJAN_TLS13_CIPHERS);
    doc_string(ssl, "sni", store_lookup(&lookup, "ssconf_basic_trojan_sni_%d"));
    json_object *alpn = doc_array(ssl, "alpn");
    doc_element_string(alpn, "h2");
    doc_element_string(alpn, "http/1.1");
    doc_string(ssl, "curve", "");
    doc_bool(ssl, "reuse_session", true);
    doc_bool(ssl, "session_ticket", false);

    if (store_lookup_switch(&lookup, "ssconf_basic_trojan_mp_enable_%d")) {
        json_object *mux = doc_object(root, "mux");
        doc_bool(mux, "enabled", true);
        doc_int(mux, "concurrency", store_lookup_int(&lookup, "ssconf_basic_trojan_mulprocess_%d"));
        doc_int(mux, "idle_timeout", 60);
    }

    json_object *tcp = doc_object(root, "tcp");
    doc_bool(tcp, "no_delay", true);
    doc_bool(tcp, "keep_alive", true);
    doc_bool(tcp, "reuse_port", reuse_port);
    doc_bool(tcp, "fast_open", false);
    doc_int(tcp, "fast_open_qlen", 20);

    return write_document(root, args->path, run->source);
}
