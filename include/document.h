// Building and writing the JSON documents. Every value is created and attached
// in one call, so nothing is ever left without an owner; a document whose
// building ran out of memory is refused by write_document, never written.
#pragma once

struct json_object;

// Owns the root of one document and releases it, with everything attached to
// it, when the generator returns.
struct Document {
    json_object *root;
    Document();
    ~Document();
    Document(const Document &) = delete;
    Document &operator=(const Document &) = delete;
};

// New containers, attached at once under a member name or as an element.
json_object *doc_object(json_object *parent, const char *name);
json_object *doc_array(json_object *parent, const char *name);
json_object *doc_element_object(json_object *array);

void doc_string(json_object *object, const char *name, const char *text);
void doc_int(json_object *object, const char *name, int value);
void doc_bool(json_object *object, const char *name, bool value);
void doc_element_string(json_object *array, const char *text);
void doc_element_int(json_object *array, int value);

// Stored passwords are Base64; these decode and add the text.
void doc_password(json_object *object, const char *name, const char *stored);
void doc_element_password(json_object *array, const char *stored);

struct StoreSource;

// Writes the root as one line of spaced JSON and a newline. Returns 0 when
// written or when the path cannot be opened at all (nothing touched, nothing
// said); -1 after printing one line on stderr when the document could not be
// built (or the settings it was built from could not all be read, as the
// source tells) or the opened file could not be written whole (it is cut
// back to empty when it is a regular file). A NULL path asks for no file:
// 0 or -1 as for a file, and nothing is printed.
int write_document(json_object *root, const char *path, const StoreSource *source = nullptr);
