// The OBJ reader (tinyobjloader) compiled here with the fuzzer's
// instrumentation and the sanitizers, in place of the installed library, so
// that what the importer hands it is checked inside it too.
#define TINYOBJLOADER_IMPLEMENTATION
#include <tiny_obj_loader.h>
