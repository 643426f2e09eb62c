// The built-in template of the signing properties file. The four chain slots name the chain files
// shipped in the folder P7B beside the module, each with the subject key identifier of the
// certificate authority in it that issues user certificates. A deployment that ships other chain
// files changes these lines with them.
#include "vexa_properties.hpp"

#include <stdexcept>
#include <utility>

namespace vexa {

const std::string& properties_template() {
    static const std::string text =
        "LOG.path = logs\n"
        "LOG.file = vexa.log\n"
        "LOG.level = DEBUG\n"
        "PFX.path = {vexa_path_folder}\n"
        "PFX.file = {vexa_name}\n"
        "PFX.checkValid = true\n"
        "PKCS7.digest = SHA256\n"
        "PKCS7.addCert = 1\n"
        "PKCS7.addPlainText = true\n"
        "PKCS7.addTimestamp = false\n"
        "P7B.path = {p7b_path}\n"
        "P7B0.name = Quorelt Secure VEXA_2012.p7b\n"
        "P7B0.SKI = 9DB0468DDECFBE117CD5D28C579901EE9F3583C8\n"
        "P7B1.name = Quorelt Secure VEXA_2014.p7b\n"
        "P7B1.SKI = E99492CB0578102497D25D0BEB0F0C321DD60867FDCBD26507A8FA0B024FA036\n"
        "P7B2.name = MIRVO Financial User VEXA_2014.p7b\n"
        "P7B2.SKI = 4C9DE980C8C830B8E03A5EAC9C2011B0AFBEC526E29CC8D3D74FDF13A887A43A\n"
        "P7B3.name = MIRVO Financial User VEXA_2017.p7b\n"
        "P7B3.SKI = 82852B05F15C6033B2D6EB15720EBE77E5998E6120323B7C46AF874093024BB8\n"
        "    ";
    return text;
}

namespace {

// What the properties reader trims from both ends of a value.
bool trimmed(unsigned char c) { return c <= 0x20 || c == 0x7F; }

// The length of the well-formed UTF-8 sequence at the start of `rest` (shortest form, no
// surrogates, at most U+10FFFF), or 0 when it starts with none.
size_t utf8_sequence(std::string_view rest) {
    const unsigned char c = static_cast<unsigned char>(rest[0]);
    if (c < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (rest.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(rest[i]);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

bool is_utf8(std::string_view value) {
    for (size_t pos = 0; pos < value.size();) {
        const size_t length = utf8_sequence(value.substr(pos));
        if (length == 0) return false;
        pos += length;
    }
    return true;
}

// The value with line breaks, zero bytes, other control characters and bytes that are not UTF-8
// written as escapes, for a message on one line.
std::string escaped(std::string_view value) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t pos = 0; pos < value.size();) {
        const unsigned char c = static_cast<unsigned char>(value[pos]);
        const size_t length = utf8_sequence(value.substr(pos));
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F || length == 0) {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0xF];
        } else {
            out.append(value.substr(pos, length));
            pos += length;
            continue;
        }
        ++pos;
    }
    return out;
}

}  // namespace

const char* property_value_fault(std::string_view value) {
    if (value.find_first_of("\n\r") != std::string_view::npos)
        return "holds a line break, which would start another line of properties";
    if (value.find('\0') != std::string_view::npos)
        return "holds a zero byte, which would end the properties there";
    if (!value.empty() && (trimmed(static_cast<unsigned char>(value.front())) ||
                           trimmed(static_cast<unsigned char>(value.back()))))
        return "begins or ends with a blank or a control character, which the properties reader drops";
    if (!is_utf8(value)) return "holds bytes that are not UTF-8 text, which the properties file cannot hold";
    return nullptr;
}

std::string fill_properties(const std::string& pfxFolder, const std::string& pfxName,
                            const std::string& p7bFolder) {
    const std::pair<const char*, const std::string*> values[] = {{"the certificate's folder", &pfxFolder},
                                                                 {"the certificate's file name", &pfxName},
                                                                 {"the chain folder", &p7bFolder}};
    for (const auto& value : values) {
        if (const char* fault = property_value_fault(*value.second))
            throw std::invalid_argument(std::string(value.first) + " " + fault + ": '" +
                                        escaped(*value.second) + "'");
    }
    // Each placeholder stands once in the template; values are inserted as they are, so braces in
    // a path never start another placeholder.
    std::string text = properties_template();
    const std::pair<const char*, const std::string*> fields[] = {
        {"{vexa_path_folder}", &pfxFolder}, {"{vexa_name}", &pfxName}, {"{p7b_path}", &p7bFolder}};
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t brace = text.find('{', pos);
        if (brace == std::string::npos) {
            out.append(text, pos, std::string::npos);
            break;
        }
        out.append(text, pos, brace - pos);
        bool replaced = false;
        for (const auto& field : fields) {
            size_t len = std::char_traits<char>::length(field.first);
            if (text.compare(brace, len, field.first) == 0) {
                out += *field.second;
                pos = brace + len;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += '{';
            pos = brace + 1;
        }
    }
    return out;
}

}  // namespace vexa
