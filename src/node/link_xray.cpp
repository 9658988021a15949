// Link parameters that only current Xray's document carries, read for
// tarvick-node xray (import --xray): XHTTP's extra, gRPC's authority,
// REALITY's ML-DSA-65 key (pqv) and TLS's ECH configuration (ech). Each is
// checked as tarvick-node xray checks it; one given for another transport or
// security changes nothing there and is dropped with a warning. Returns 1
// when the node holds one (or VLESS Encryption), which tarvick cannot write.
#include "node.h"
#include "v2ray_names.h"
#include "xray.h"

#include <json-c/json.h>
#include <string.h>

namespace {

void link_extra_dropped(void *context, const char *member)
{
    node_warn((NodeLink *)context, "extra member %s dropped: Xray does not read it", member);
}

// The JSON text of the members Xray reads, or "" when none is left.
int link_set_extra(NodeLink *link, const char *extra, const char *mode)
{
    json_object *parsed = xray_json_parse(extra, strlen(extra));
    if (!parsed)
        return node_refuse(link, "extra is not JSON, and Xray refuses it");
    char problem[160];
    json_object *kept = xray_extra_read(parsed, mode, link_extra_dropped, link, problem, sizeof problem);
    json_object_put(parsed);
    if (!kept)
        return node_refuse(link, "extra %s", problem);
    const char *text = json_object_object_length(kept) == 0
                           ? ""
                           : json_object_to_json_string_ext(kept, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    int rc = text ? node_set_text(link, "v2ray_xhttp_extra", text) : node_out_of_memory(link);
    json_object_put(kept);
    return rc;
}

} // namespace

int link_check(NodeLink *link, const char *field)
{
    if (const char *problem = xray_value_problem(field, node_get(link, field)))
        return node_refuse(link, "%s %s", field, problem);
    return 0;
}

int link_set_checked(NodeLink *link, const char *field, const char *value)
{
    if (node_set_text(link, field, value) != 0)
        return -1;
    return link_check(link, field);
}

int link_set_vless_encryption(NodeLink *link, const char *encryption)
{
    if (!v2ray_vless_encrypted(encryption))
        return 0;
    return link_set_checked(link, "v2ray_vless_encryption", encryption);
}

int link_set_xray_members(NodeLink *link, const LinkTransport *t, const V2rayName *network_row,
                          const V2rayName *security_row, const char *mode, const char *server_name)
{
    int network = network_row->value, security = security_row->value;
    const struct {
        const char *value;
        const char *param;
        bool used;
    } MEMBERS[] = {
        {t->extra, "extra", network == NETWORK_XHTTP},
        {t->authority, "authority", network == NETWORK_GRPC},
        {t->mldsa, "pqv", security == SECURITY_REALITY},
        {t->ech, "ech", security == SECURITY_TLS},
    };
    for (const auto &member : MEMBERS)
        if (member.value[0] && !member.used)
            node_warn(link, "%s dropped: it changes nothing over %s with security %s", member.param,
                      network_row->stored, v2ray_written(security_row));
    if (network == NETWORK_XHTTP && t->extra[0] && link_set_extra(link, t->extra, mode) != 0)
        return -1;
    if (network == NETWORK_GRPC && node_set_text(link, "v2ray_grpc_authority", t->authority) != 0)
        return -1;
    if (security == SECURITY_REALITY && link_set_checked(link, "v2ray_reality_mldsa65_verify", t->mldsa) != 0)
        return -1;
    if (security == SECURITY_TLS) {
        if (node_set_text(link, "v2ray_tls_ech_config", t->ech) != 0)
            return -1;
        if (const char *problem = xray_ech_problem(t->ech, server_name))
            return node_refuse(link, "%s %s", "v2ray_tls_ech_config", problem);
    }
    // Whether the node holds what tarvick's document cannot carry.
    return node_get(link, "v2ray_vless_encryption")[0] || node_get(link, "v2ray_xhttp_extra")[0] ||
           (network == NETWORK_GRPC && t->authority[0]) || (security == SECURITY_REALITY && t->mldsa[0]) ||
           (security == SECURITY_TLS && t->ech[0]);
}
