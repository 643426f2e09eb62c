// The signing library's properties file: lines of key = value.
#pragma once
#include <cstdint>
#include <map>
#include <string>

class cProperty {
public:
    cProperty() = default;
    ~cProperty();
    cProperty(const cProperty&) = delete;
    cProperty& operator=(const cProperty&) = delete;

    std::map<std::string, std::string> properties;  // exact byte keys, last occurrence wins
    int32_t loaded = 0;                             // 1 after a load that produced a property

    // Reads the file once (a relative name from the working directory; a regular file, not read
    // through a symbolic link); true when loaded. After a success, later calls read nothing and give
    // true.
    bool loadFromFile(const char* fileName);
    // Empties the map and fills it from the zero-terminated text; true when a property was read.
    // Lines of any length are read.
    bool parse(const char* text);

    // The value, or the empty text for a null/empty/absent key.
    std::string getProperty(const char* key) const;
    // -1 for an absent key; else the leading decimal integer of the value. A value without digits
    // or outside the signed 32-bit range is refused: an ERROR line and -1.
    int32_t getPropertyInt(const char* key) const;
    // True only when present and equal to "TRUE" ignoring ASCII case.
    bool getPropertyBool(const char* key) const;
};
