// Texts the conversion tests compare: bytes as hex, as nib.py prints values,
// and the fields of nib.py's one-line JSON.
#ifndef VRD_TESTS_NIBTEXT_H
#define VRD_TESTS_NIBTEXT_H

#include <string>

namespace nibtext {

inline std::string hex(const std::string &bytes)
{
    std::string out;
    for (unsigned char c : bytes)
        out += "0123456789abcdef"[c >> 4], out += "0123456789abcdef"[c & 15];
    return out;
}

// The text of a field (a string with its quotes, a number, a flat list); "?"
// when the key is missing.
inline std::string json(const std::string &text, const std::string &key)
{
    size_t at = text.find("\"" + key + "\": ");
    if (at == std::string::npos)
        return "?";
    at += key.size() + 4;
    const size_t end = text[at] == '"' ? text.find('"', at + 1) + 1
                       : text[at] == '[' ? text.find(']', at) + 1
                                         : text.find_first_of(",}", at);
    return text.substr(at, end - at);
}

} // namespace nibtext

#endif
