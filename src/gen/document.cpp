#include "document.h"

#include "store.h"

#include <errno.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Set when any value of the document under construction could not be made or
// attached. One document is built at a time, on one thread.
bool doc_incomplete;

// A member under name or, without a name, an element of the array.
void doc_attach(json_object *parent, const char *name, json_object *value)
{
    int added = -1;
    if (parent && value)
        added = name ? json_object_object_add(parent, name, value) : json_object_array_add(parent, value);
    if (added != 0) {
        json_object_put(value); // a failed add leaves the value with us
        doc_incomplete = true;
    }
}

json_object *doc_attached(json_object *parent, const char *name, json_object *value)
{
    doc_attach(parent, name, value);
    return doc_incomplete ? NULL : value;
}

} // namespace

Document::Document()
{
    doc_incomplete = false;
    root = json_object_new_object();
    if (!root)
        doc_incomplete = true;
}

Document::~Document()
{
    json_object_put(root);
}

json_object *doc_object(json_object *parent, const char *name)
{
    return doc_attached(parent, name, json_object_new_object());
}

json_object *doc_array(json_object *parent, const char *name)
{
    return doc_attached(parent, name, json_object_new_array());
}

json_object *doc_element_object(json_object *array)
{
    return doc_attached(array, NULL, json_object_new_object());
}

void doc_string(json_object *object, const char *name, const char *text)
{
    doc_attach(object, name, json_object_new_string(text));
}

void doc_int(json_object *object, const char *name, int value)
{
    doc_attach(object, name, json_object_new_int(value));
}

void doc_bool(json_object *object, const char *name, bool value)
{
    doc_attach(object, name, json_object_new_boolean(value ? 1 : 0));
}

void doc_element_string(json_object *array, const char *text)
{
    doc_attach(array, NULL, json_object_new_string(text));
}

void doc_element_int(json_object *array, int value)
{
    doc_attach(array, NULL, json_object_new_int(value));
}

void doc_password(json_object *object, const char *name, const char *stored)
{
    char *password = decode_base64(stored);
    if (!password) { // never write a wrong password: the document is refused
        doc_incomplete = true;
        return;
    }
    doc_attach(object, name, json_object_new_string(password));
    free(password);
}

void doc_element_password(json_object *array, const char *stored)
{
    doc_password(array, NULL, stored);
}

static int write_failed(const char *path, int error)
{
    fprintf(stderr, "write %s error: %s\n", path, strerror(error));
    return -1;
}

int write_document(json_object *root, const char *path, const StoreSource *source)
{
    bool complete = !doc_incomplete && root && !(source && source->out_of_memory);
    if (!path)
        return complete ? 0 : -1;
    // Serialise before opening, so that running out of memory never costs
    // the client its previous file.
    // json-c's serialiser drops a piece it cannot append and carries on (a
    // member name, a separator), so a text made while an allocation failed
    // comes back shorter than it is; and a malloc that succeeds may still
    // leave ENOMEM behind. A second pass writes into the buffer the first one
    // grew: after a whole first pass it allocates nothing and gives the same
    // length. After a short one it comes out longer, or as short again only
    // when memory is still out and an allocation of its own failed.
    size_t length = 0, again = 0;
    const char *text = complete ? json_object_to_json_string_length(root, JSON_C_TO_STRING_SPACED, &length) : NULL;
    errno = 0;
    if (text)
        text = json_object_to_json_string_length(root, JSON_C_TO_STRING_SPACED, &again);
    if (!text || again != length || errno == ENOMEM)
        return write_failed(path, ENOMEM);

    FILE *file = fopen(path, "w");
    if (!file) {
        if (errno == ENOMEM) // the file is fine; this run could not write it
            return write_failed(path, ENOMEM);
        return 0; // no directory, no permission: the caller's scripts decide
    }

    // A second descriptor outlives fclose, so a file whose close fails can
    // still be cut back to empty.
    int keep = dup(fileno(file));
    int error = 0;
    errno = 0;
    if (fprintf(file, "%s\n", text) < 0 || fflush(file) != 0)
        error = errno ? errno : EIO;
    if (fclose(file) != 0 && !error)
        error = errno ? errno : EIO;
    if (error && keep >= 0) {
        // Leave no half document behind; a device or a link's target is
        // emptied, never removed.
        struct stat info;
        if (fstat(keep, &info) == 0 && S_ISREG(info.st_mode) && ftruncate(keep, 0) != 0) {
            // Nothing more can be done; the message below still tells.
        }
    }
    if (keep >= 0)
        close(keep);
    return error ? write_failed(path, error) : 0;
}
