// File names as messages show them.
#include "support/file_names.h"

std::string QuotedName(const std::string& name)
{
    std::string quoted = "'";
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            quoted += c;
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\t') {
            quoted += "\\t";
        } else {
            const char hex[] = "0123456789ABCDEF";
            quoted += "\\x";
            quoted += hex[byte >> 4];
            quoted += hex[byte & 15];
        }
    }
    return quoted + "'";
}
