// The checks of objtext.h: files read whole within their bounds, text told
// from what is not, and the OBJ and MTL lines looked at before the reader.
//
// Lines are split exactly as the reader splits them, so a line number here is
// the reader's and the file's. A line is only ever blanked, never shortened
// or lengthened. Indices are checked in 64 bits against the counts of v, vn
// and vt lines: a negative index against the count so far (it is relative to
// the line), a positive one against the count of the whole file.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/stat.h>

#include "base/errors.h"
#include "import/objtext.h"

namespace {

constexpr size_t READ_CHUNK = 1u << 16;

struct LineSpan {
    size_t start, length;
};

// The next line from `*pos`, as the reader's line splitter takes it: up to a
// "\n", a "\r\n" or a lone "\r", or the end of the text.
bool next_line(const std::string &text, size_t *pos, LineSpan *span) {
    if (*pos >= text.size()) return false;
    size_t end = *pos;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r') end++;
    span->start = *pos;
    span->length = end - *pos;
    if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') end++;
    *pos = end + 1;
    return true;
}

void blank(std::string *text, const LineSpan &span) {
    for (size_t i = span.start; i < span.start + span.length; i++) (*text)[i] = ' ';
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

const char *skip_blanks(const char *p, const char *end) {
    while (p < end && is_blank(*p)) p++;
    return p;
}

const char *token_end(const char *p, const char *end) {
    while (p < end && !is_blank(*p)) p++;
    return p;
}

std::string quoted(const char *from, const char *to) {
    std::string word(from, (size_t)(to - from) > 24 ? 24 : (size_t)(to - from));
    return "'" + word + ((size_t)(to - from) > 24 ? "...'" : "'");
}

// A decimal number the reader reads whole: [+-] digits [. digits] [e [+-] digits],
// at least one digit before the exponent. Its value, correctly rounded to
// single precision, must be finite.
bool read_number(const char *from, const char *to, float *value) {
    const char *p = from;
    if (p < to && (*p == '+' || *p == '-')) p++;
    int digits = 0;
    while (p < to && is_digit(*p)) p++, digits++;
    if (p < to && *p == '.') {
        p++;
        while (p < to && is_digit(*p)) p++, digits++;
    }
    if (digits == 0) return false;
    if (p < to && (*p == 'e' || *p == 'E')) {
        p++;
        if (p < to && (*p == '+' || *p == '-')) p++;
        int exponent_digits = 0;
        while (p < to && is_digit(*p)) p++, exponent_digits++;
        if (exponent_digits == 0) return false;
    }
    if (p != to) return false;
    std::string copy(from, to);
    *value = strtof(copy.c_str(), nullptr);
    return std::isfinite(*value);
}

// Reads `wanted` numbers from [p, end); returns "" or the reason they
// cannot be used. With `one_for_all`, a single number stands for all of them.
std::string read_numbers(const char *p, const char *end, int wanted, bool one_for_all, float *out) {
    int read = 0;
    for (p = skip_blanks(p, end); p < end && read < wanted; p = skip_blanks(p, end)) {
        const char *stop = token_end(p, end);
        if (!read_number(p, stop, &out[read])) return quoted(p, stop) + ", not a finite number";
        read++;
        p = stop;
    }
    if (read == 1 && one_for_all) {
        for (int i = 1; i < wanted; i++) out[i] = out[0];
        return "";
    }
    if (read < wanted) return wanted == 3 ? "fewer than three numbers" : "too few numbers";
    return "";
}

// [+-] digits, within the range of int.
bool read_index(const char **p, const char *end, long long *value) {
    const char *q = *p;
    bool negative = false;
    if (q < end && (*q == '+' || *q == '-')) negative = *q++ == '-';
    long long v = 0;
    int digits = 0;
    while (q < end && is_digit(*q)) {
        v = v * 10 + (*q++ - '0');
        if (v > INT_MAX) return false;
        digits++;
    }
    if (digits == 0) return false;
    *value = negative ? -v : v;
    *p = q;
    return true;
}

const char *const INDEX_KIND[3] = {"vertex", "texture coordinate", "normal"};

// A positive index beyond the count so far, checked once the file is read.
struct ForwardIndex {
    size_t face;
    LineSpan span;
    size_t corner[3];   // 1-based corner of the largest index of each kind, 0 for none
    long long largest[3];
};

struct FaceCheck {
    std::string refusal;
    ForwardIndex forward;
    bool has_forward;
};

// The corners of an f line: each i, i/j, i//k or i/j/k, every index resolved
// as the reader resolves it and checked. `counts` are the v, vt and vn lines
// before this one.
FaceCheck check_face(const char *p, const char *end, const long long counts[3], size_t *corners) {
    FaceCheck check = {"", {}, false};
    char reason[160];
    *corners = 0;
    for (p = skip_blanks(p, end); p < end; p = skip_blanks(p, end)) {
        const char *stop = token_end(p, end), *q = p;
        size_t corner = ++*corners;
        if (!check.refusal.empty()) {
            p = stop;
            continue;
        }
        long long index[3] = {0, 0, 0};
        bool given[3] = {true, false, false}, well_formed = read_index(&q, stop, &index[0]);
        if (well_formed && q < stop && *q == '/') {
            q++;
            if (q < stop && *q != '/') well_formed = read_index(&q, stop, &index[1]), given[1] = true;
            if (well_formed && q < stop && *q == '/') {
                q++;
                well_formed = read_index(&q, stop, &index[2]);
                given[2] = true;
            } else if (well_formed && !given[1]) {
                well_formed = false;
            }
        }
        if (!well_formed || q != stop) {
            snprintf(reason, sizeof reason, "corner %zu is not a vertex index: %s", corner, quoted(p, stop).c_str());
            check.refusal = reason;
        }
        for (int kind = 0; kind < 3 && check.refusal.empty(); kind++) {
            if (!given[kind]) continue;
            long long i = index[kind];
            if (i == 0) {
                snprintf(reason, sizeof reason, "corner %zu names %s 0, and indices count from 1", corner,
                         INDEX_KIND[kind]);
                check.refusal = reason;
            } else if (i < 0 && counts[kind] + i < 0) {
                snprintf(reason, sizeof reason, "corner %zu names %s %lld, before the first of the %lld read so far",
                         corner, INDEX_KIND[kind], i, counts[kind]);
                check.refusal = reason;
            } else if (i > counts[kind] && i > check.forward.largest[kind]) {
                check.has_forward = true;
                check.forward.largest[kind] = i;
                check.forward.corner[kind] = corner;
            }
        }
        p = stop;
    }
    if (check.refusal.empty() && *corners < 3) {
        snprintf(reason, sizeof reason, "a face of %zu corners", *corners);
        check.refusal = reason;
    } else if (check.refusal.empty() && *corners > READER_CORNER_LIMIT) {
        snprintf(reason, sizeof reason, "a polygon of %zu corners", *corners);
        check.refusal = reason;
    }
    return check;
}

bool starts_keyword(const char *p, const char *end, const char *keyword) {
    size_t n = strlen(keyword);
    return (size_t)(end - p) > n && memcmp(p, keyword, n) == 0 && is_blank(p[n]);
}

[[noreturn]] void refuse_read(TextKind kind, const std::string &name, const char *reason) {
    if (kind == LIBRARY_TEXT) fatal(EXIT_IMPORT_READ, "Couldn't read material library : %s (%s)", name.c_str(), reason);
    fatal(EXIT_IMPORT_READ, "Couldn't read model file : %s (%s)", name.c_str(), reason);
}

[[noreturn]] void refuse_text(TextKind kind, const std::string &name, const char *reason) {
    if (kind == LIBRARY_TEXT)
        fatal(EXIT_IMPORT_NOT_TEXT, "Material library is not text : %s (%s)", name.c_str(), reason);
    fatal(EXIT_IMPORT_NOT_TEXT, "Model file is not text : %s (%s)", name.c_str(), reason);
}

} // namespace

std::string read_text_file(const std::string &path, TextKind kind) {
    size_t limit = kind == LIBRARY_TEXT ? LIBRARY_FILE_LIMIT : MODEL_FILE_LIMIT;
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) refuse_read(kind, path, "a directory");
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) refuse_read(kind, path, strerror(errno));
    std::string text;
    std::vector<char> chunk(READ_CHUNK);
    size_t got;
    while ((got = fread(chunk.data(), 1, chunk.size(), file)) > 0) {
        if (text.size() + got > limit) {
            fclose(file);
            char reason[64];
            snprintf(reason, sizeof reason, "more than %zu bytes", limit);
            refuse_read(kind, path, reason);
        }
        text.append(chunk.data(), got);
    }
    bool failed = ferror(file) != 0;
    int error = errno;
    fclose(file);
    if (failed) refuse_read(kind, path, strerror(error));
    return text;
}

void check_text(const std::string &name, std::string *text, TextKind kind) {
    const unsigned char *bytes = (const unsigned char *)text->data();
    size_t size = text->size();
    auto starts = [&](const char *mark, size_t n) { return size >= n && memcmp(bytes, mark, n) == 0; };
    if (starts("\xFF\xFE\0\0", 4) || starts("\0\0\xFE\xFF", 4))
        refuse_text(kind, name, "UTF-32 text, by its byte order mark; save it as UTF-8");
    if (starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2))
        refuse_text(kind, name, "UTF-16 text, by its byte order mark; save it as UTF-8");
    if (starts("\xEF\xBB\xBF", 3)) text->replace(0, 3, "   ");

    long line = 1;
    size_t length = 0;
    for (size_t i = 0; i < size; i++) {
        unsigned char c = bytes[i];
        if (c == '\n' || c == '\r') {
            if (!(c == '\r' && i + 1 < size && bytes[i + 1] == '\n')) line++;
            length = 0;
            continue;
        }
        char reason[128];
        if (c == 0) {
            // Text in UTF-16 without a byte order mark has a NUL beside
            // nearly every character of its first line.
            bool utf16 = size >= 2 && (bytes[0] == 0) != (bytes[1] == 0);
            snprintf(reason, sizeof reason, "a NUL byte on line %ld: %s", line,
                     utf16 ? "UTF-16 text without a byte order mark? save it as UTF-8" : "a binary file");
            refuse_text(kind, name, reason);
        }
        if ((c < 0x20 && c != '\t' && c != '\f' && c != '\v') || c == 0x7F) {
            snprintf(reason, sizeof reason, "control byte 0x%02X on line %ld: a binary file", c, line);
            refuse_text(kind, name, reason);
        }
        if (++length > TEXT_LINE_LIMIT) {
            snprintf(reason, sizeof reason, "line %ld is longer than %zu characters", line, TEXT_LINE_LIMIT);
            refuse_text(kind, name, reason);
        }
    }
}

ObjScan scan_obj(std::string *text) {
    ObjScan scan;
    std::vector<ForwardIndex> forward;
    long long counts[3] = {0, 0, 0}; // v, vt, vn lines so far
    size_t pos = 0;
    LineSpan span;
    for (long number = 1; next_line(*text, &pos, &span); number++) {
        const char *begin = text->data() + span.start, *end = begin + span.length;
        const char *p = skip_blanks(begin, end);
        if (p == end || *p == '#') continue;
        if (starts_keyword(p, end, "v") || starts_keyword(p, end, "vn")) {
            bool normal = p[1] == 'n';
            float values[3];
            std::string reason = read_numbers(p + (normal ? 3 : 2), end, 3, false, values);
            if (!reason.empty()) (normal ? scan.bad_normals : scan.bad_vertices)[(int)counts[normal ? 2 : 0]] = {number, reason};
            counts[normal ? 2 : 0]++;
        } else if (starts_keyword(p, end, "vt")) {
            counts[1]++;
        } else if (starts_keyword(p, end, "f")) {
            FaceLine face = {number, 0, -1};
            FaceCheck check = check_face(p + 2, end, counts, &face.corners);
            if (!check.refusal.empty()) {
                face.refusal = (int)scan.refusals.size();
                scan.refusals.push_back(check.refusal);
                blank(text, span);
            } else if (check.has_forward) {
                check.forward.face = scan.faces.size();
                check.forward.span = span;
                forward.push_back(check.forward);
            }
            scan.faces.push_back(face);
        } else if (end - p >= 6 && memcmp(p, "usemtl", 6) == 0) {
            const char *name = skip_blanks(p + 6, end);
            scan.usemtl.push_back({number, std::string(name, token_end(name, end))});
        } else if (starts_keyword(p, end, "mtllib")) {
            std::string rest(p + 7, end);
            if (library_names(rest).empty()) {
                scan.notes.push_back({number, "mtllib names no material library"});
                blank(text, span);
            } else {
                scan.mtllib.push_back({number, rest});
            }
        } else {
            blank(text, span);
        }
    }
    // Positive indices may point forward; now the counts are complete.
    for (const ForwardIndex &f : forward) {
        for (int kind = 0; kind < 3; kind++) {
            if (f.corner[kind] == 0 || f.largest[kind] <= counts[kind]) continue;
            char reason[160];
            snprintf(reason, sizeof reason, "corner %zu names %s %lld of %lld", f.corner[kind], INDEX_KIND[kind],
                     f.largest[kind], counts[kind]);
            scan.faces[f.face].refusal = (int)scan.refusals.size();
            scan.refusals.push_back(reason);
            blank(text, f.span);
            break;
        }
    }
    scan.vertex_count = counts[0];
    scan.texcoord_count = counts[1];
    scan.normal_count = counts[2];
    return scan;
}

std::vector<MaterialLine> scan_mtl(const std::string &name, std::string *text) {
    std::vector<MaterialLine> materials;
    size_t pos = 0;
    LineSpan span;
    for (long number = 1; next_line(*text, &pos, &span); number++) {
        const char *begin = text->data() + span.start, *end = begin + span.length;
        while (end > begin && is_blank(end[-1])) end--; // the reader trims the line's end first
        const char *p = skip_blanks(begin, end);
        if (p == end || *p == '#') continue;
        if (starts_keyword(p, end, "newmtl")) {
            materials.push_back({number, std::string(p + 7, end), {0, 0, 0}, {0, 0, 0}, ""});
        } else if ((starts_keyword(p, end, "Kd") || starts_keyword(p, end, "Ke")) && !materials.empty()) {
            MaterialLine &m = materials.back();
            bool diffuse = p[1] == 'd';
            std::string reason = read_numbers(p + 3, end, 3, true, diffuse ? m.diffuse : m.emission);
            if (!reason.empty() && m.refusal.empty())
                m.refusal = std::string(diffuse ? "Kd" : "Ke") + " on line " + std::to_string(number) + " of " + name +
                            " has " + reason;
        } else {
            blank(text, span);
        }
    }
    return materials;
}

std::vector<std::string> library_names(const std::string &rest) {
    std::vector<std::string> names;
    std::string name;
    bool escaping = false;
    for (char c : rest) {
        if (escaping) {
            escaping = false;
        } else if (c == '\\') {
            escaping = true;
            continue;
        } else if (c == ' ') {
            if (!name.empty()) names.push_back(name);
            name.clear();
            continue;
        }
        name += c;
    }
    if (!name.empty()) names.push_back(name);
    return names;
}
