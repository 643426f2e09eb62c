// The built-in template of the signing properties file that init_vexa writes.
#pragma once
#include <string>

namespace vexa {

// The properties file name, relative to the working directory.
inline constexpr const char* kPropertiesFile = "p7Sign.properties";

// The template with its {vexa_path_folder}, {vexa_name} and {p7b_path} placeholders.
const std::string& properties_template();

// The template filled with the folder and the name of the PKCS#12 file and the chain folder.
std::string fill_properties(const std::string& pfxFolder, const std::string& pfxName,
                            const std::string& p7bFolder);

}  // namespace vexa
