// The OBJ's and MTL's text, read whole and checked before the OBJ reader
// (tinyobjloader) sees it.
//
// Reads: the model file and its material libraries, each at most a fixed
// number of bytes. Writes: nothing; the text is edited in place.
//
// The reader has no bounds of its own (a line, a file), counts the corners of
// a face in 8 bits, takes indices without checking them and reads a number it
// cannot parse as 0. So every line is looked at here first, split the way the
// reader splits it (at "\n", "\r\n" or a lone "\r"), and a line the reader
// must not see is blanked: its characters become blanks, which the reader
// skips, so line numbers stay those of the file. What is left for the reader:
// in an OBJ the lines v, vn, vt, f, usemtl and mtllib (and comments), each
// face with 3 to 255 corners and indices that lie in range; in an MTL the
// lines newmtl, Kd and Ke. Everything else carries nothing a scene uses.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// Bounds on what is read: a model file, a material library, one line of either.
constexpr size_t MODEL_FILE_LIMIT = 64u << 20;
constexpr size_t LIBRARY_FILE_LIMIT = 16u << 20;
constexpr size_t TEXT_LINE_LIMIT = 1u << 20;
// The reader keeps a face's corner count in an unsigned char.
constexpr size_t READER_CORNER_LIMIT = 255;

// Which file a text is, for the messages.
enum TextKind { MODEL_TEXT, LIBRARY_TEXT };

// Reads the file at `path` whole. Ends the process with EXIT_IMPORT_READ on a
// file that cannot be opened or read, a directory, or one of more than the
// kind's limit of bytes (an endless device stops there).
std::string read_text_file(const std::string &path, TextKind kind);

// Ends the process with EXIT_IMPORT_NOT_TEXT when `text` is not text the
// reader takes (a byte order mark of UTF-16 or UTF-32, a NUL or another
// control byte, a line beyond TEXT_LINE_LIMIT); blanks a UTF-8 byte order
// mark, which the reader would take as part of the first line.
void check_text(const std::string &name, std::string *text, TextKind kind);

// One f line of the OBJ, in the file's order (its face number is its place
// here, from 1).
struct FaceLine {
    long line;
    size_t corners;     // counted in full, whatever the reader keeps
    int refusal;        // index into ObjScan::refusals, -1 when the reader may have it
};

// A v or vn line whose numbers the reader would misread.
struct BadValues {
    long line;
    std::string reason; // "'nan', not a finite number", "fewer than three numbers"
};

struct ScanNote {
    long line;
    std::string text;
};

struct NamedLine {
    long line;
    std::string text;   // the material name of a usemtl, everything after "mtllib " of an mtllib
};

struct ObjScan {
    long long vertex_count = 0, texcoord_count = 0, normal_count = 0; // v, vt and vn lines
    std::vector<FaceLine> faces;
    std::vector<std::string> refusals;         // why faces are left out before the reader
    std::map<int, BadValues> bad_vertices;     // by 0-based vertex index
    std::map<int, BadValues> bad_normals;      // by 0-based normal index
    std::vector<NamedLine> usemtl;             // in the file's order
    std::vector<NamedLine> mtllib;             // in the file's order, those that name a file
    std::vector<ScanNote> notes;               // what the scan has to say about lines it blanked
};

// Scans a checked OBJ text and blanks what the reader must not see (see the
// head of this file). Every face is kept in `faces`, refused or not.
ObjScan scan_obj(std::string *text);

// One newmtl of an MTL, in order: its name, and why its colours cannot be
// used (empty when they can).
struct MaterialLine {
    long line;
    std::string name;
    float diffuse[3];   // Kd, read here: one number stands for all three; 0 without a Kd
    float emission[3];  // Ke, the same way
    std::string refusal;
};

// Scans a checked MTL text and blanks every line but newmtl, Kd and Ke. The
// colours are read here, correctly rounded, in place of the reader's.
std::vector<MaterialLine> scan_mtl(const std::string &name, std::string *text);

// The names of an mtllib line, split as the reader splits them: at blanks, a
// backslash taking the next character literally.
std::vector<std::string> library_names(const std::string &rest);
