// The built-in template of the signing properties file that init_vexa writes.
#pragma once
#include <string>
#include <string_view>

namespace vexa {

// The template with its {vexa_path_folder}, {vexa_name} and {p7b_path} placeholders.
const std::string& properties_template();

// Why a value cannot stand in the properties file as it is, or null when it can. The file has one
// value a line, its reader drops blanks and control characters at both ends of a value, and its
// text ends at a zero byte: a value with a line break or a zero byte would set other properties or
// cut the rest of the file, and one with outer blanks would name another file. The file is UTF-8
// text, so a value that is not (a file system name's other bytes) cannot stand in it either.
const char* property_value_fault(std::string_view value);

// The template filled with the folder and the name of the PKCS#12 file and the chain folder.
// Throws std::invalid_argument, naming the value and its fault, when one of them cannot stand in
// the file as it is (property_value_fault).
std::string fill_properties(const std::string& pfxFolder, const std::string& pfxName,
                            const std::string& p7bFolder);

}  // namespace vexa
