#include "printable_text.h"

void append_printable(std::string* out, const char* bytes, size_t length) {
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\') {
            out->append("\\\\");
        } else if (c == '\n') {
            out->append("\\n");
        } else if (c == '\t') {
            out->append("\\t");
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[4] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
            out->append(escape, sizeof escape);
        } else {
            out->push_back(char(c));
        }
    }
}
